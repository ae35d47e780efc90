# shellcheck shell=bash disable=SC2034,SC2317
# Checks shared by the install and Debian package tests, sourced by
# check_install.sh and check_deb.sh. Each check takes a tree TREE that holds
# an installed system below it (a DESTDIR, or an unpacked .deb), with the
# program under TREE$PREFIX and the login start entry under
# TREE$AUTOSTARTDIR.
#
# The caller sets, from its command line (parse_args):
#   PREFIX BINDIR PRIVATEDIR DATADIR AUTOSTARTDIR   the layout (the last one
#                                                   absolute, the others as
#                                                   GNUInstallDirs has them)
#   QT (ON/OFF) VERSION ICONS (the committed icons) CATSIM READELF
#   BUILD (the build tree) CMAKE CPACK

set -euo pipefail

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
note() { echo "-- $*"; }

# Ends the test: status 0 when no check failed.
finish() {
  if ((failures > 0)); then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

parse_args() {
  FACE=console
  while (($# > 0)); do
    case "$1" in
      --prefix) PREFIX=$2 ;;
      --bindir) BINDIR=$2 ;;
      --privatedir) PRIVATEDIR=$2 ;;
      --datadir) DATADIR=$2 ;;
      --autostartdir) AUTOSTARTDIR=$2 ;;
      --qt) QT=$2 ;;
      --version) VERSION=$2 ;;
      --icons) ICONS=$2 ;;
      --catsim) CATSIM=$2 ;;
      --readelf) READELF=$2 ;;
      --build) BUILD=$2 ;;
      --cmake) CMAKE=$2 ;;
      --cpack) CPACK=$2 ;;
      --face) FACE=$2 ;;
      *) echo "unknown argument $1" >&2; exit 2 ;;
    esac
    shift 2
  done
}

# Processes started by a test, ended (by their id) when the test ends.
started_pids=()
temp_dirs=()
cleanup() {
  local pid
  for pid in "${started_pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  local dir
  for dir in "${temp_dirs[@]}"; do rm -rf "$dir"; done
}
trap cleanup EXIT

# Makes a temporary folder, removed when the test ends, and sets the
# variable named by $1 to its path (no command substitution: the folder
# must be registered in this shell).
new_temp_dir() {
  local dir
  dir=$(mktemp -d "${TMPDIR:-/tmp}/ovt-package.XXXXXX")
  temp_dirs+=("$dir")
  printf -v "$1" '%s' "$dir"
}

# Polls `"$@"` every 50 ms until it succeeds or SECONDS_LEFT seconds passed.
wait_until() {
  local limit=$1
  shift
  local deadline=$((SECONDS + limit))
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

# ---------------------------------------------------------------------------
# The layout

# The path of the private folder and of the link, from the filesystem's root
# and without the leading slash.
private_path() { echo "${PREFIX#/}/$PRIVATEDIR"; }
link_path() { echo "${PREFIX#/}/$BINDIR/OVTelquin"; }

# Every entry that is not a folder, one a line: TYPE MODE PATH [TARGET].
# Nothing else may be installed: no test, benchmark, simulator or example.
expected_layout() {
  local private share="${PREFIX#/}/$DATADIR" size
  private=$(private_path)
  {
    echo "f 755 $private/OVTelquin"
    echo "f 644 $private/libTelquin.so"
    echo "f 644 $private/libOrvaPrintV105.so"
    [[ $QT == ON ]] && echo "f 644 $private/libOVTelquinQt.so"
    # Relative, so that it holds inside a DESTDIR or an unpacked package.
    echo "l 777 $(link_path) $(realpath -m --relative-to="/${PREFIX#/}/$BINDIR" "/$private/OVTelquin")"
    echo "f 644 $share/applications/ovtelquin.desktop"
    echo "f 644 ${AUTOSTARTDIR#/}/ovtelquin.desktop"
    for size in 32 48 256; do
      echo "f 644 $share/icons/hicolor/${size}x${size}/apps/ovtelquin.png"
    done
    echo "f 644 $share/icons/hicolor/scalable/apps/ovtelquin.svg"
    echo "f 644 $share/pixmaps/ovtelquin.png"
  } | sort
}

actual_layout() {
  (cd "$1" && find . -mindepth 1 ! -type d -printf '%y %m %P %l\n' | sed 's/ $//' | sort)
}

check_layout() {
  local tree=$1
  local expected actual
  expected=$(expected_layout)
  actual=$(actual_layout "$tree")
  if [[ "$expected" != "$actual" ]]; then
    fail "installed files differ from the expected layout (< expected, > installed):"
    diff <(echo "$expected") <(echo "$actual") >&2 || true
  fi
  # What the layout promises, whatever the folders are called: the link on
  # the PATH leads to the program, and its libraries lie beside it.
  [[ "$PRIVATEDIR" == */ovtelquin ]] || fail "private folder $PRIVATEDIR is not a folder of its own"
  local resolved
  resolved=$(realpath -e "$tree/$(link_path)" 2>/dev/null || true)
  [[ "$resolved" == "$(realpath "$tree/$(private_path)/OVTelquin")" ]] ||
    fail "$(link_path) leads to '$resolved', not to the program in $(private_path)"
}

# ---------------------------------------------------------------------------
# The binaries

# Dynamic section entries of one kind (NEEDED, RPATH, RUNPATH) of an ELF file.
elf_entries() {
  "$READELF" -d "$1" | sed -n "s/.*(${2}).*\[\(.*\)\]/\1/p"
}

check_binaries() {
  local tree=$1 private file
  private="$tree/$(private_path)"
  for file in "$private"/*; do
    [[ -z "$(elf_entries "$file" RPATH)$(elf_entries "$file" RUNPATH)" ]] ||
      fail "$(basename "$file") carries a run path: $(elf_entries "$file" R.*PATH)"
  done
  # The program loads its libraries by file name and links none of them,
  # nor Qt: a headless agent maps no Qt at all.
  local needed
  needed=$(elf_entries "$private/OVTelquin" NEEDED)
  if grep -Eq 'Qt|Telquin|OrvaPrint' <<<"$needed"; then
    fail "the program links what it should load: $(tr '\n' ' ' <<<"$needed")"
  fi
  if [[ $QT == ON ]]; then
    grep -qx 'libQt6Widgets.so.6' <<<"$(elf_entries "$private/libOVTelquinQt.so" NEEDED)" ||
      fail "libOVTelquinQt.so does not link Qt 6 Widgets"
  fi
}

# ---------------------------------------------------------------------------
# The desktop entries and icons

# The value of KEY in the [Desktop Entry] group of FILE (empty when missing).
entry_value() {
  awk -v key="$2" '
    /^\[/ { group = $0; next }
    group == "[Desktop Entry]" && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
  ' "$1"
}

check_entry_file() {
  local tree=$1 file=$2 kind=$3
  local name=${file#"$tree"/}
  [[ -f "$file" ]] || { fail "$name missing"; return; }
  [[ "$(head -n 1 "$file")" == "[Desktop Entry]" ]] || fail "$name does not start with [Desktop Entry]"
  iconv -f UTF-8 -t UTF-8 "$file" >/dev/null 2>&1 || fail "$name is not UTF-8"
  local pair key want got
  for pair in Type=Application Name=OVTelquin Exec=OVTelquin TryExec=OVTelquin Icon=ovtelquin \
              Terminal=false "Categories=Office;Finance;"; do
    key=${pair%%=*}
    want=${pair#*=}
    got=$(entry_value "$file" "$key")
    [[ "$got" == "$want" ]] || fail "$name: $key is '$got', not '$want'"
  done
  [[ -n "$(entry_value "$file" Comment)" ]] || fail "$name has no Comment"
  LC_ALL=C.UTF-8 grep -qP '^Comment\[ko\]=.*\p{Hangul}' "$file" ||
    fail "$name has no Korean Comment[ko]"
  case $kind in
    autostart)
      [[ "$(entry_value "$file" X-GNOME-Autostart-enabled)" == true ]] ||
        fail "$name: X-GNOME-Autostart-enabled is not true"
      [[ "$(entry_value "$file" Hidden)" != true ]] || fail "$name is hidden"
      ;;
    menu)
      [[ "$(entry_value "$file" NoDisplay)" != true ]] || fail "$name is not shown in the menu"
      ;;
  esac
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$file" >&2 || fail "desktop-file-validate refuses $name"
  fi
}

check_desktop_entries() {
  local tree=$1
  local menu="$tree/${PREFIX#/}/$DATADIR/applications/ovtelquin.desktop"
  local autostart="$tree/${AUTOSTARTDIR#/}/ovtelquin.desktop"
  check_entry_file "$tree" "$menu" menu
  check_entry_file "$tree" "$autostart" autostart
  # The login start entry is the menu entry with the autostart keys.
  diff <(grep -v '^X-GNOME-Autostart' "$autostart") "$menu" >/dev/null ||
    fail "the login start entry and the menu entry differ beyond the autostart keys"
  # Exec and TryExec name the program as the PATH finds it: the link.
  local found
  found=$(PATH="$tree/${PREFIX#/}/$BINDIR" command -v "$(entry_value "$menu" Exec)" || true)
  [[ -n "$found" && "$(realpath "$found")" == "$(realpath "$tree/$(private_path)/OVTelquin")" ]] ||
    fail "Exec=$(entry_value "$menu" Exec) does not find the installed program on $PREFIX/$BINDIR"
}

# Width and height of a PNG, from its IHDR chunk.
png_size() {
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

check_icons() {
  local share="$1/${PREFIX#/}/$DATADIR" size file
  for size in 32 48 256; do
    file="$share/icons/hicolor/${size}x${size}/apps/ovtelquin.png"
    [[ -f "$file" ]] || continue  # the layout check names it
    [[ "$(png_size "$file")" == "${size}x${size}" ]] ||
      fail "hicolor ${size}x${size} icon is $(png_size "$file")"
    # The application icon (resource 128), not the tray icon.
    cmp -s "$file" "$ICONS/app-$size.png" || fail "hicolor ${size}x${size} icon is not app-$size.png"
  done
  cmp -s "$share/icons/hicolor/scalable/apps/ovtelquin.svg" "$ICONS/app.svg" ||
    fail "the scalable icon is not app.svg"
  cmp -s "$share/pixmaps/ovtelquin.png" "$ICONS/app-256.png" ||
    fail "the pixmaps icon is not app-256.png"
}

# ---------------------------------------------------------------------------
# The installed program, run as the desktop entries run it

# A home folder for one run, with a terminal simulator on COM5 under its
# data root ~/.ovtelquin (no settings folder: the agent searches the ports,
# and finds only the simulator's link).
HOME_DIR=""
start_home_with_terminal() {
  new_temp_dir HOME_DIR
  local root="$HOME_DIR/.ovtelquin"
  mkdir -p "$root"
  "$CATSIM" --root "$root" --com 5 >"$HOME_DIR/catsim.out" 2>&1 &
  started_pids+=($!)
  wait_until 10 grep -q '^READY' "$HOME_DIR/catsim.out" ||
    { fail "the terminal simulator did not start: $(cat "$HOME_DIR/catsim.out")"; return 1; }
}

agent_log() { cat "$HOME_DIR"/.ovtelquin/ORVAlog/OVTelquin_*.log 2>/dev/null || true; }
startup_ended() { agent_log | grep -Eq '\]\[OnInitDialog +\]\[===========END==========\]'; }

# Runs OVTelquin found on the PATH in the installed tree, from the home
# folder (as a login start does), with a clean environment. DISPLAY, when
# given, is the X display to show the desktop face on; the rest are the
# program's arguments.
AGENT_PID=""
start_agent() {
  local tree=$1 display=$2
  shift 2
  local environment=(HOME="$HOME_DIR" LANG=C.UTF-8 PATH="$tree/${PREFIX#/}/$BINDIR:/usr/bin:/bin")
  [[ -n "$display" ]] && environment+=(DISPLAY="$display")
  (cd "$HOME_DIR" && exec env -i "${environment[@]}" OVTelquin "$@" \
     >"$HOME_DIR/agent.out" 2>"$HOME_DIR/agent.err") &
  AGENT_PID=$!
  started_pids+=("$AGENT_PID")
}

# The agent runs (a process that ended is a zombie until it is reaped): its
# state, the field after the name in /proc/PID/stat, is neither Z nor X.
agent_alive() {
  local state
  state=$(sed -E 's/^.*\) (.) .*/\1/' "/proc/$AGENT_PID/stat" 2>/dev/null) || return 1
  [[ -n "$state" && "$state" != [ZX] ]]
}

agent_gone() { ! agent_alive; }

# SIGTERM ends the agent with status 0.
stop_agent() {
  local status=0
  if ! agent_alive; then
    wait "$AGENT_PID" || status=$?
    fail "the agent ended by itself with status $status: $(cat "$HOME_DIR/agent.err")"
    return
  fi
  kill -TERM "$AGENT_PID"
  if ! wait_until 30 agent_gone; then
    fail "the agent did not end within 30 s of SIGTERM"
    return
  fi
  wait "$AGENT_PID" || status=$?
  [[ $status -eq 0 ]] || fail "the agent ended on SIGTERM with status $status: $(cat "$HOME_DIR/agent.err")"
}

startup_settled() { startup_ended || ! agent_alive; }

# Start-up found the terminal through the link library from the installed
# folder; the program runs from there.
check_started() {
  local tree=$1
  wait_until 60 startup_settled || true
  if ! startup_ended; then
    fail "the installed agent did not finish its start-up: $(cat "$HOME_DIR/agent.err")"
    agent_log >&2
    return 1
  fi
  agent_log | grep -Eq "\]\[FILE VERSION +\]\[$VERSION\]" || fail "the log names no version $VERSION"
  agent_log | grep -q '\]\[ReqToCat_WS Success\]' ||
    fail "the start-up did not reach the terminal through libTelquin.so"
  [[ "$(readlink "/proc/$AGENT_PID/exe")" == "$(realpath "$tree/$(private_path)/OVTelquin")" ]] ||
    fail "the agent runs $(readlink "/proc/$AGENT_PID/exe"), not the installed program"
  [[ ! -e "$HOME_DIR/.ovtelquin/OVVarsel" ]] || fail "the agent made the settings folder"
}

check_program_console() {
  local tree=$1
  local out status=0
  out=$(env -i PATH="$tree/${PREFIX#/}/$BINDIR:/usr/bin:/bin" OVTelquin --version 2>&1) || status=$?
  [[ $status -eq 0 && "$out" == "OVTelquin $VERSION "* ]] ||
    fail "OVTelquin --version said '$out' (status $status)"

  start_home_with_terminal || return
  start_agent "$tree" ""
  if check_started "$tree"; then
    grep -q 'libQt6' "/proc/$AGENT_PID/maps" && fail "the headless agent mapped Qt"
  fi
  stop_agent

  # Without its link library beside it the program cannot start: nothing
  # else (a build tree, a run path, the system) supplies the library.
  local private
  private="$tree/$(private_path)"
  mv "$private/libTelquin.so" "$private/libTelquin.so.away"
  status=0
  out=$(cd "$HOME_DIR" && env -i HOME="$HOME_DIR" PATH="$tree/${PREFIX#/}/$BINDIR:/usr/bin:/bin" \
        timeout 30 OVTelquin 2>&1) || status=$?
  mv "$private/libTelquin.so.away" "$private/libTelquin.so"
  [[ $status -eq 1 && "$out" == *Telquin.dll* ]] ||
    fail "without libTelquin.so beside it the agent ended with $status: $out"
}

# The desktop face under Xvfb with a notification area (trayer): the Qt
# module is loaded from the installed folder, the start-up finishes and
# SIGTERM ends the agent with status 0. Returns 77 (skipped) without Xvfb,
# trayer or xdotool.
check_program_desktop() {
  local tree=$1
  if ! command -v Xvfb >/dev/null || ! command -v trayer >/dev/null ||
     ! command -v xdotool >/dev/null; then
    echo "Xvfb, trayer or xdotool not found: desktop face not checked"
    return 77
  fi
  start_home_with_terminal || return 0
  local displayfile="$HOME_DIR/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$displayfile" \
    >"$HOME_DIR/xvfb.log" 2>&1 &
  started_pids+=($!)
  wait_until 20 grep -q '[0-9]' "$displayfile" || { fail "Xvfb did not start"; return 0; }
  local display
  display=":$(tr -dc 0-9 <"$displayfile")"
  DISPLAY=$display trayer --edge top >"$HOME_DIR/trayer.log" 2>&1 &
  started_pids+=($!)
  wait_until 20 bash -c "DISPLAY=$display xdotool search --classname trayer >/dev/null 2>&1" ||
    { fail "trayer did not start"; return 0; }
  start_agent "$tree" "$display"
  if check_started "$tree"; then
    grep -q " $(realpath "$tree/$(private_path)")/libOVTelquinQt.so\$" "/proc/$AGENT_PID/maps" ||
      fail "the desktop face was not loaded from the installed folder"
  fi
  stop_agent
}
