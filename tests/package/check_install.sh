#!/usr/bin/env bash
# `cmake --install` of the build into a temporary DESTDIR, with the prefix
# the Debian package uses. --face console: the layout, the binaries, the
# desktop entries and the icons, and the installed program run from there
# without a display. --face desktop: only the run, with the tray face under
# Xvfb (status 77, skipped, without Xvfb, trayer or xdotool).
# Arguments: see parse_args in package_checks.sh.
# shellcheck source=tests/package/package_checks.sh
source "$(dirname "$0")/package_checks.sh"
parse_args "$@"

new_temp_dir tree
tree="$tree/root"
note "installing into $tree"
if ! DESTDIR="$tree" "$CMAKE" --install "$BUILD" --prefix "$PREFIX" >"$tree.log" 2>&1; then
  cat "$tree.log" >&2
  fail "cmake --install failed"
  finish
fi

case $FACE in
  console)
    check_layout "$tree"
    check_binaries "$tree"
    check_desktop_entries "$tree"
    check_icons "$tree"
    check_program_console "$tree"
    ;;
  desktop)
    status=0
    check_program_desktop "$tree" || status=$?
    [[ $status -eq 77 ]] && exit 77
    ;;
  *) echo "unknown face $FACE" >&2; exit 2 ;;
esac
finish
