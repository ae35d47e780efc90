#!/usr/bin/env bash
# Runs the Windows build under Wine, in a fresh prefix that is thrown away
# afterwards:
#   platform_win32_test.exe  text, profile, module, process and lock
#                          functions of the platform backend (when given);
#   serial_win32_test.exe  the serial backend on a pseudo-terminal line;
#   smoke.exe              Telquin.dll loaded by name, every export called,
#                          exchanges with a fake terminal on that line;
# then checks from the host what landed in the prefix and on the line.
#
#   run-smoke.sh <Telquin.dll> <smoke.exe> <serial_win32_test.exe> <signature fixture dir>
#                [<platform_win32_test.exe>]
#
# Prints one line per check and "N passed, M failed" at the end. Exit code:
# 0 all passed, 1 a check failed, 77 Wine is missing (the test is skipped).
set -euo pipefail

if [[ $# -ne 4 && $# -ne 5 ]]; then
  echo "usage: $0 <Telquin.dll> <smoke.exe> <serial_win32_test.exe> <signature fixture dir>" \
    "[<platform_win32_test.exe>]" >&2
  exit 2
fi
dll=$1
smoke_exe=$2
serial_exe=$3
fixtures=$4
platform_exe=${5:-}
here=$(cd "$(dirname "$0")" && pwd)

wine=${WINE:-}
[[ -n $wine && -x $wine ]] || wine=$(command -v wine || true)
if [[ -z $wine ]]; then
  echo "wine not found; skipping"
  exit 77
fi
wineserver=$(command -v wineserver || echo "$(dirname "$wine")/wineserver")
# Wine for 32-bit Windows is itself a 32-bit program; a kernel booted
# without 32-bit emulation (ia32_emulation=off) cannot start it at all.
if ! version=$("$wine" --version 2>&1); then
  if [[ $version == *"Exec format error"* ]]; then
    echo "this kernel runs no 32-bit programs (32-bit emulation is off); skipping"
    exit 77
  fi
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/telquin-wine.XXXXXX")
export WINEARCH=win32
export WINEDEBUG=-all
# No prompts to install Mono or Gecko into the new prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Nothing here needs a window; keep Wine off any display of the caller.
unset DISPLAY WAYLAND_DISPLAY

terminal_pid=
cleanup() {
  [[ -z $terminal_pid ]] || kill "$terminal_pid" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  rm -rf -- "$WINEPREFIX"
}
trap cleanup EXIT
trap "exit 143" TERM INT HUP

passed=0
failed=0
check() {
  if "${@:2}"; then
    echo "PASS $1"
    passed=$((passed + 1))
  else
    echo "FAIL $1"
    failed=$((failed + 1))
  fi
}

# Runs a Windows program in C:\smoke and adds its "N passed, M failed".
run_program() {
  local name=$1 output=$WINEPREFIX/$1.out status=0 summary
  shift
  (cd "$work" && "$wine" "C:\\smoke\\$name" "$@") >"$output" 2>&1 || status=$?
  tr -d '\r' <"$output" | sed '$d'
  summary=$(tr -d '\r' <"$output" | tail -n 1)
  if [[ $summary =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
    passed=$((passed + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2]))
    [[ $status -eq 0 || ${BASH_REMATCH[2]} -ne 0 ]] ||
      check "$name exit code $status" false
  else
    echo "$summary"
    check "$name ended with its summary line (exit code $status)" false
  fi
}

"$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }

# The missing-port checks need COM77 and COM78 not to exist: drop the COM
# links that the prefix made for the machine's serial devices. (Wine makes
# them again for the devices it finds when it restarts its services, which
# never gives a COM77.)
rm -f -- "$WINEPREFIX"/dosdevices/com*

work=$WINEPREFIX/drive_c/smoke
mkdir -p "$work/sign"
cp -- "$dll" "$smoke_exe" "$serial_exe" "$work/"
[[ -z $platform_exe ]] || cp -- "$platform_exe" "$work/"
names=()
for txt in "$fixtures"/*.txt; do
  [[ -e $txt ]] || continue
  name=$(basename "$txt" .txt)
  [[ -e $fixtures/$name.bmp ]] || continue
  cp -- "$txt" "$fixtures/$name.bmp" "$work/sign/"
  names+=("$name")
done

# COM9: a line to a fake terminal on a pseudo-terminal, one scenario per
# use of the line, in this order.
terminal_port=9
scenarios=(backend answer answer cancel)
terminal_args=()
python=$(command -v python3 || true)
if [[ -n $python ]]; then
  "$python" "$here/fake_terminal.py" "$WINEPREFIX/terminal.path" \
    "$WINEPREFIX/terminal.verdict" "${scenarios[@]}" &
  terminal_pid=$!
  for _ in $(seq 100); do
    [[ -e $WINEPREFIX/terminal.path ]] && break
    sleep 0.1
  done
  if [[ -e $WINEPREFIX/terminal.path ]]; then
    ln -s "$(cat "$WINEPREFIX/terminal.path")" "$WINEPREFIX/dosdevices/com$terminal_port"
    terminal_args=("--terminal=$terminal_port")
  fi
fi
if [[ ${#terminal_args[@]} -eq 0 ]]; then
  echo "SKIP the serial line checks: no fake terminal (python3 missing or not ready)"
fi

[[ -z $platform_exe ]] || run_program "$(basename "$platform_exe")"
[[ ${#terminal_args[@]} -eq 0 ]] || run_program "$(basename "$serial_exe")" "$terminal_port"
run_program "$(basename "$smoke_exe")" "${terminal_args[@]}" 'C:\smoke\sign' "${names[@]}"

# Seen from the host: the library wrote its log into the prefix's C: drive.
logs=("$WINEPREFIX"/drive_c/ORVAlog/[0-9]*.log)
check "host: drive_c/ORVAlog holds the day's log" test -f "${logs[0]}"
check "host: the log holds \"-1 port open error!\"" \
  grep -saqF -- '[-1 port open error!]' "${logs[@]}"
check "host: the log holds the \"Return\" line" \
  grep -saqF -- '[Return           ] [-1]' "${logs[@]}"
check "host: no COM77 in the prefix" test ! -e "$WINEPREFIX/dosdevices/com77"

# What the fake terminal saw on the line.
if [[ ${#terminal_args[@]} -ne 0 ]]; then
  wait "$terminal_pid" || true
  terminal_pid=
  i=0
  for scenario in "${scenarios[@]}"; do
    i=$((i + 1))
    line=$(sed -n "${i}p" "$WINEPREFIX/terminal.verdict" 2>/dev/null || true)
    check "terminal: use $i of the line ($scenario): ${line#"$scenario "}" \
      test "$line" = "$scenario ok"
  done
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
