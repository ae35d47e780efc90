#!/usr/bin/env python3
"""A card terminal on a pseudo-terminal, for the smoke test's exchanges.

    fake_terminal.py <file for the device path> <verdict file> <scenario>...

Writes the device path of the pty (the end that Wine opens as a COM port)
to the first file, then plays one exchange per scenario, in order:

  answer   host: 02 'A' 'B' 'C' 03 17 43 (request "ABC", LRC 0x43)
           terminal: 06 (ACK)             host: 06 (ACK)
           terminal: 02 'O' 'K' 03 <LRC>  host: 06 06 06
  cancel   as answer up to the host's ACK; then the terminal stays silent
           and expects the host's EOT (04), which only a cancel sends.
  backend  host: "PING"; 300 ms later the terminal answers "PONG" (for the
           serial backend's own test, no protocol).

Appends one line per scenario to the verdict file: "<scenario> ok" or what
went wrong. Gives up after 60 seconds in all.
"""
import os
import select
import sys
import termios
import time
import tty

REQUEST = bytes([0x02]) + b"ABC" + bytes([0x03, 0x17, 0x43])
ANSWER = bytes([0x02]) + b"OK" + bytes([0x03])
ANSWER += bytes([ANSWER[1] ^ ANSWER[2] ^ ANSWER[3]])
ACK, EOT = b"\x06", b"\x04"
DEADLINE = time.monotonic() + 60


def read_exactly(fd, count):
    data = b""
    while len(data) < count:
        left = DEADLINE - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            break
        try:
            data += os.read(fd, count - len(data))
        except OSError:  # the other end is between two openings
            time.sleep(0.05)
    return data


def expect(fd, wanted, what):
    got = read_exactly(fd, len(wanted))
    if got != wanted:
        raise AssertionError("%s: got %s, expected %s" % (what, got.hex() or "nothing", wanted.hex()))


def play(fd, scenario):
    if scenario == "backend":
        expect(fd, b"PING", "PING")
        time.sleep(0.3)
        os.write(fd, b"PONG")
        return
    expect(fd, REQUEST, "request frame")
    os.write(fd, ACK)
    expect(fd, ACK, "ACK after the terminal's ACK")
    if scenario == "answer":
        os.write(fd, ANSWER)
        expect(fd, ACK * 3, "three ACKs after the answer")
    elif scenario == "cancel":
        expect(fd, EOT, "EOT of the cancel")
    else:
        raise AssertionError("unknown scenario " + scenario)


def main():
    path_file, verdict_file, scenarios = sys.argv[1], sys.argv[2], sys.argv[3:]
    master, slave = os.openpty()
    # This process keeps the device end open too, so the line stays up while
    # the host closes and reopens the port between exchanges.
    tty.setraw(slave, termios.TCSANOW)
    tty.setraw(master, termios.TCSANOW)
    with open(path_file + ".tmp", "w") as f:
        f.write(os.ttyname(slave) + "\n")
    os.rename(path_file + ".tmp", path_file)

    for scenario in scenarios:
        try:
            play(master, scenario)
            verdict = "ok"
        except AssertionError as e:
            verdict = str(e)
        with open(verdict_file, "a") as f:
            f.write("%s %s\n" % (scenario, verdict))
    # Let the host close the port before the line goes.
    time.sleep(2)


if __name__ == "__main__":
    main()
