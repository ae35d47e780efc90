#!/usr/bin/env bash
# Installs what is missing, builds and runs every test:
#   - all tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#   - the threaded tests again under ThreadSanitizer,
#   - each libFuzzer harness for a short fixed run,
#   - the Windows DLL cross-built with mingw-w64 and its smoke test under Wine,
#   - the normal build (agent, library, simulator, demo, benchmark, the Qt
#     face) compiles, the Qt face's dialogs are tested in process, and the
#     install and the Debian package are checked,
#   - the agent with its Qt face on a private Xvfb with a notification area,
#     driven by xdotool, with screenshots,
#   - the example page in chromium against the agent and the simulator
#     (the Node.js packages come from `npm ci`).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh test

jobs=$(nproc)
step() { printf '\n=== %s\n' "$*"; }

# Each ctest run's counts add up to one closing line for the whole job.
passed=0
failed=0
run_ctest() {
  local out
  out=$(mktemp)
  local rc=0
  ctest "$@" 2>&1 | tee "$out" || rc=$?
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$out" | tail -n 1 || true)
  rm -f "$out"
  if [[ -n "$line" ]]; then
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
  if [[ $rc -ne 0 ]]; then
    echo "$passed passed, $((failed > 0 ? failed : 1)) failed"
    exit "$rc"
  fi
}

step "ASan + UBSan: build and run all tests"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
# The browser tests run once, against the normal build (last step).
run_ctest --preset asan -j "$jobs" -LE e2e

step "TSan: build and run the threaded tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
run_ctest --preset tsan -j "$jobs"

step "libFuzzer harnesses"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
run_ctest --preset fuzz

step "Windows cross-build and Wine smoke test"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
run_ctest --preset mingw

step "Normal build: the exports, the desktop face's dialogs"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
run_ctest --preset default -R shared_library_exports
run_ctest --preset default -L 'qt|package' --no-tests=error

step "The desktop face under Xvfb"
run_ctest --preset default -L desktop --no-tests=error

step "Browser end-to-end tests"
# The pinned Node.js packages, installed again when the lock file changed.
if [[ ! -f node_modules/.package-lock.json || package-lock.json -nt node_modules/.package-lock.json ]]; then
  npm ci --ignore-scripts --no-audit --no-fund
fi
run_ctest --preset default -L e2e --no-tests=error

step "All runs"
echo "$passed passed, $failed failed"
