#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those missing.
#   scripts/install-deps.sh build   what building and running needs (Qt 6
#                                   Widgets for the desktop face, a Korean
#                                   font for its texts, dpkg-dev for the
#                                   package's dependencies)
#   scripts/install-deps.sh test    that, plus the sanitizer/fuzzer runtime,
#                                   the Windows cross-compiler, Wine,
#                                   Node.js, npm and chromium for the
#                                   browser tests, and an X server with a
#                                   notification area and the tools that
#                                   drive and photograph the desktop tests
set -euo pipefail

build_packages=(cmake ninja-build g++ libgtest-dev libboost-dev qt6-base-dev fonts-nanum
                dpkg-dev)
test_packages=(clang-14 libclang-rt-14-dev python3 g++-mingw-w64-i686 wine wine32:i386
               xvfb trayer xdotool x11-utils imagemagick desktop-file-utils)
# Package and the command it brings. A command already on the PATH will do:
# a Node.js from elsewhere ships its own npm and conflicts with Debian's.
test_commands=(nodejs:node npm:npm chromium:chromium)

want=("${build_packages[@]}")
if [[ "${1:-build}" == test ]]; then
  want+=("${test_packages[@]}")
fi

missing=()
for pkg in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
if [[ "${1:-build}" == test ]]; then
  for entry in "${test_commands[@]}"; do
    command -v "${entry#*:}" >/dev/null || missing+=("${entry%%:*}")
  done
fi
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
echo "Installing: ${missing[*]}"
# The 32-bit Wine runtime comes from the i386 architecture.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
