#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job on its built-in
# default: the terminal simulator on a pseudo-terminal as COM5, and one
# exchange with it through libTelquin.so. Prints the terminal's answer and
# where the day's link log is.
#
# The data root is OVTELQUIN_ROOT when set, else build/demo-root of this
# checkout, so the demo never adds a port link to a real installation.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset default >/dev/null
cmake --build --preset default --target Telquin catsim telquin_demo

export OVTELQUIN_ROOT="${OVTELQUIN_ROOT:-$PWD/build/demo-root}"
mkdir -p "$OVTELQUIN_ROOT"

# The simulator announces itself with "READY <device>" once COM5 exists.
coproc SIM { exec build/default/tools/catsim/catsim --root "$OVTELQUIN_ROOT" --com 5 \
  --record "$OVTELQUIN_ROOT/catsim-com5.record"; }
trap 'kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true' EXIT
read -r -t 10 ready device <&"${SIM[0]}" || true
if [[ "${ready:-}" != READY ]]; then
  echo "the terminal simulator did not start" >&2
  exit 1
fi
echo "terminal simulator on $device"
build/default/examples/link_exchange/telquin_demo --com 5 --baud 115200 "$@"
echo "line record: $OVTELQUIN_ROOT/catsim-com5.record"
