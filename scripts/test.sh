#!/usr/bin/env bash
# Installs what is missing, builds and runs every test:
#   - all tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#   - the threaded tests again under ThreadSanitizer,
#   - each libFuzzer harness for a short fixed run,
#   - the Windows DLL cross-built with mingw-w64 and its smoke test under Wine,
#   - the normal build (library, simulator, demo, benchmark) compiles.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

jobs=$(nproc)
step() { printf '\n=== %s\n' "$*"; }

step "ASan + UBSan: build and run all tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

step "TSan: build and run the threaded tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"

step "libFuzzer harnesses"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz

step "Windows cross-build and Wine smoke test"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
ctest --preset mingw

step "Normal build"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -R shared_library_exports
