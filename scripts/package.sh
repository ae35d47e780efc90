#!/usr/bin/env bash
# Builds the Debian package of the default build (what it holds: README.md,
# "Installing on Linux"):
#
#   scripts/package.sh     ->  build/default/ovtelquin_<version>_<arch>.deb
#
# It installs what building needs, then runs the workflow preset "package":
# configure the default build, build the program and its libraries, and
# package them with CPack. The dates of the files in the package are those
# of the last commit (SOURCE_DATE_EPOCH, unless set already), so packaging
# the same build again gives the same file.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
if ! command -v dpkg-shlibdeps >/dev/null; then
  echo "package.sh: dpkg-shlibdeps is missing (Debian package dpkg-dev)" >&2
  exit 1
fi
SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}"
export SOURCE_DATE_EPOCH
cmake --workflow --preset package
