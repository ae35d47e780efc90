#!/usr/bin/env bash
# Runs the system against the terminal simulator.
#
#   scripts/run.sh [ARGS]            the agent, serving the example page;
#                                    ARGS go to the agent (--headless keeps
#                                    it in the console on a desktop)
#   scripts/run.sh exchange [ARGS]   one exchange through libTelquin.so
#
# Both install what is missing, build (default preset) and start the
# terminal simulator on a pseudo-terminal as COM5. The data root is
# OVTELQUIN_ROOT when set, else build/demo-root of this checkout, so the
# demo never adds a port link to a real installation.
#
# The agent runs in the foreground with its working folder in the data
# root (where it keeps orvaResult.txt); on a desktop it shows its tray icon
# too. Its settings are the data root's
# OVVarsel/OVVARSEL.ini, written on first use: COM5 at 115200 baud,
# WebSocket mode on port 8088 (cancel on 8089). Ctrl-C ends the agent and
# the simulator; during a payment the agent first lets it finish, and a
# second Ctrl-C ends it at once. When the page asks for a restart (RRUN),
# the script follows the agent that replaced the first one.
#
# The exchange mode passes ARGS to the demo program: a request text
# replaces the default, and "***VER" sends a raw command.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=agent
if [[ "${1:-}" == exchange ]]; then
  mode=exchange
  shift
fi

scripts/install-deps.sh build
cmake --preset default >/dev/null
if [[ $mode == exchange ]]; then
  cmake --build --preset default --target Telquin catsim telquin_demo
else
  cmake --build --preset default --target OVTelquin Telquin OrvaPrintV105 catsim
fi

export OVTELQUIN_ROOT="${OVTELQUIN_ROOT:-$PWD/build/demo-root}"
mkdir -p "$OVTELQUIN_ROOT"
OVTELQUIN_ROOT=$(cd "$OVTELQUIN_ROOT" && pwd)

# The simulator announces itself with "READY <device>" once COM5 exists.
coproc SIM { exec build/default/tools/catsim/catsim --root "$OVTELQUIN_ROOT" --com 5 \
  --record "$OVTELQUIN_ROOT/catsim-com5.record"; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT
read -r -t 10 ready device <&"${SIM[0]}" || true
if [[ "${ready:-}" != READY ]]; then
  echo "the terminal simulator did not start" >&2
  exit 1
fi
echo "terminal simulator on $device (COM5)"

if [[ $mode == exchange ]]; then
  build/default/examples/link_exchange/telquin_demo --com 5 --baud 115200 "$@"
  echo "line record: $OVTELQUIN_ROOT/catsim-com5.record"
  exit 0
fi

ini="$OVTELQUIN_ROOT/OVVarsel/OVVARSEL.ini"
if [[ ! -e "$ini" ]]; then
  mkdir -p "$(dirname "$ini")"
  printf '[CAT]\nCatComPort=5\nCatComBaud=115200\n[HTTP]\nWebMode=0\nServerPortWebsocket=8088\n' >"$ini"
fi
port=$(sed -n 's/^ServerPortWebsocket=\([0-9][0-9]*\).*/\1/p' "$ini" | head -n 1)
port=${port:-8088}

agent="$PWD/build/default/bin/OVTelquin"
page="$PWD/examples/pos-page/index.html"
cat <<EOF
settings : $ini
agent    : WebSocket on port $port, cancel on port $((port + 1))
page     : file://${page// /%20}
           (open it in a browser; set its Port field when it is not 8088)
logs     : $OVTELQUIN_ROOT/ORVAlog/OVTelquin_$(date +%Y%m%d).log (agent)
           $OVTELQUIN_ROOT/ORVAlog/$(date +%Y%m%d).log (terminal link)
           $OVTELQUIN_ROOT/catsim-com5.record (bytes on the line)
Ctrl-C ends the agent and the simulator (during a payment: press it twice
to end at once).
EOF

# An agent of this data root started by another agent (a restart): same
# program, OVTELQUIN_ROOT in its environment.
successor() {
  local dir
  for dir in /proc/[0-9]*; do
    [[ "$(readlink "$dir/exe" 2>/dev/null)" == "$agent" ]] || continue
    if tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qxF "OVTELQUIN_ROOT=$OVTELQUIN_ROOT"; then
      echo "${dir#/proc/}"
      return
    fi
  done
}

status=0
(cd "$OVTELQUIN_ROOT" && exec "$agent" "$@") || status=$?
# Status 3: the agent started its successor and ended (RRUN). Follow the
# successors while there is one; they run in this terminal's process
# group, so Ctrl-C reaches them too.
if [[ $status -eq 3 ]]; then
  status=0
  pid=""
  for _ in $(seq 50); do
    pid=$(successor)
    [[ -n "$pid" ]] && break
    sleep 0.1
  done
  while [[ -n "$pid" ]]; do
    echo "the agent restarted itself: now pid $pid"
    tail --pid="$pid" -f /dev/null || true
    pid=$(successor)
  done
fi
exit "$status"
