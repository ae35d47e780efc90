// How the simulated terminal answers: one table row per scenario.
//
// A scenario turns a received request into a list of writes. The simulator
// makes each write as one write() call on the line (continued only when the
// line is full), waiting the --delay before each one, so a row decides both
// the bytes and how they are split. A write marked after_host_ack waits, like
// a real terminal, until the host has acknowledged the terminal's ACK with
// its own ACK (the host does so only once it has seen the terminal's ACK);
// this keeps "acknowledge, then cancel" apart from "refuse at once" however
// the host polls. Adding a mode means adding a row to the table in
// scenario.cpp.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace catsim {

using Bytes = std::vector<uint8_t>;

// What a scenario's reply functions may look at.
struct ReplyContext {
  const Bytes& request;     // frame text, or the raw command with its "***"
  const Bytes& answer;      // answer text for a frame (without framing)
  const Bytes& raw_answer;  // reply text for a raw command (without the ACK)
};

struct Write {
  Bytes bytes;
  bool after_host_ack = false;  // hold until an ACK from the host arrived
};

struct Scenario {
  std::string_view name;
  std::string_view summary;
  // Writes for a request frame; an empty list sends nothing.
  std::vector<Write> (*on_frame)(const ReplyContext&);
  // Writes for a raw command; nullptr: raw commands get no reply.
  std::vector<Write> (*on_raw)(const ReplyContext&);
  // False for a line that carries no requests at all (a receipt printer):
  // what arrives is recorded and never taken apart as frames or raw
  // commands, so nothing received can make the simulator send.
  bool takes_requests = true;
};

std::span<const Scenario> Scenarios();

// The row called `name`, or nullptr.
const Scenario* FindScenario(std::string_view name);

// STX, answer, ETX, LRC (XOR of the answer bytes and the ETX). Unlike a
// request frame, an answer frame has no 0x17 before its LRC.
Bytes AnswerFrame(const Bytes& answer);

// The answer used when none is given on the command line: "OK:", the request
// text, a blank, and the code page 949 bytes of the Korean word for
// "approved" (BD C2 C0 CE), so a test can tell which request it came from
// and text conversions see non-ASCII bytes.
Bytes DefaultAnswer(const Bytes& request_text);

// The reply text for raw commands when none is given: "TQSIM OK".
Bytes DefaultRawAnswer();

}  // namespace catsim
