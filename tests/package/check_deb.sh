#!/usr/bin/env bash
# The Debian package made by CPack from the build (into a temporary folder,
# as `cpack -G DEB` makes it): its name and control fields, the computed
# Depends, no maintainer scripts, the login start entry as a conffile,
# files owned by root; then, unpacked, the same layout, entries, icons and
# program checks as the install.
# Arguments: see parse_args in package_checks.sh.
# shellcheck source=tests/package/package_checks.sh
source "$(dirname "$0")/package_checks.sh"
parse_args "$@"

new_temp_dir out
note "cpack -G DEB into $out"
if ! "$CPACK" -G DEB --config "$BUILD/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
  cat "$out/cpack.log" >&2
  fail "cpack failed"
  finish
fi
arch=$(dpkg --print-architecture)
deb="$out/ovtelquin_${VERSION}_${arch}.deb"
if [[ ! -f "$deb" ]]; then
  fail "no $(basename "$deb") among: $(cd "$out" && ls)"
  finish
fi
note "$(basename "$deb"): $(stat -c %s "$deb") bytes"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
for pair in Package=ovtelquin "Version=$VERSION" "Architecture=$arch"; do
  [[ "$(field "${pair%%=*}")" == "${pair#*=}" ]] ||
    fail "${pair%%=*} is '$(field "${pair%%=*}")', not '${pair#*=}'"
done
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^\ \>]+@[^\ \>]+\>$ ]] ||
  fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[[ -n "$(field Description | head -n 1)" && $(field Description | wc -l) -gt 1 ]] ||
  fail "Description lacks a summary or a long description"

# Depends: the C++ runtime and, with the desktop face, Qt 6 Widgets (found
# by dpkg-shlibdeps) and the Korean font (named by hand).
depends=$(field Depends)
names=$(tr ',' '\n' <<<"$depends" | sed -E 's/^ +//; s/[ (|].*//' | sort)
wanted=(libc6 libstdc++6)
[[ $QT == ON ]] && wanted+=(libqt6widgets6 libqt6gui6 fonts-nanum)
for name in "${wanted[@]}"; do
  grep -qx "$name" <<<"$names" || fail "Depends lacks $name: $depends"
done
# Nothing of the build's own tools (test frameworks, Boost) is needed.
if grep -Eq 'gtest|gmock|boost|-dev$' <<<"$names"; then
  fail "Depends names build-only packages: $depends"
fi
# apt installs it with what this machine has installed (every runtime
# dependency of the build, and the font): an empty list folder keeps apt to
# the installed packages, so the answer does not depend on the archive.
mkdir -p "$out/lists/partial"
if ! apt-get install --simulate --no-install-recommends -o Debug::NoLocking=1 \
       -o Dir::State::Lists="$out/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
       "$deb" >"$out/apt.log" 2>&1; then
  cat "$out/apt.log" >&2
  fail "apt-get cannot install the package with the installed packages"
fi

# Control members: no maintainer scripts; the login start entry is a
# conffile.
members=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | sort | tr '\n' ' ')
[[ "$members" == "conffiles control md5sums " ]] ||
  fail "control members are '$members', not conffiles, control and md5sums"
conffiles=$(dpkg-deb -I "$deb" conffiles 2>/dev/null || true)
[[ "$conffiles" == "$AUTOSTARTDIR/ovtelquin.desktop" ]] ||
  fail "conffiles is '$conffiles', not $AUTOSTARTDIR/ovtelquin.desktop"

# Every file belongs to root.
owners=$(dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u)
[[ "$owners" == "root/root" ]] || fail "files owned by $(tr '\n' ' ' <<<"$owners")"

# Unpacked: what `cmake --install` gives, stripped.
tree="$out/root"
dpkg-deb -x "$deb" "$tree"
check_layout "$tree"
check_binaries "$tree"
for file in "$tree/$(private_path)"/*; do
  if "$READELF" -S "$file" | grep -q '\.debug_info'; then
    fail "$(basename "$file") is not stripped"
  fi
done
check_desktop_entries "$tree"
check_icons "$tree"
check_program_console "$tree"
finish
