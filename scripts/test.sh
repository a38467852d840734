#!/usr/bin/env bash
# The whole test suite from a fresh machine: installs packages, builds every
# configuration and runs all tests. CI runs exactly this.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${CTEST_JOBS:-2}

scripts/setup.sh

for cfg in normal asan tsan fuzz; do
  scripts/build.sh "$cfg"
done

run() {
  local cfg=$1
  shift
  echo "=== tests: $cfg $*"
  ctest --test-dir "build/$cfg" --output-on-failure --timeout 120 -j "$jobs" "$@"
}

run normal
run asan
# ThreadSanitizer covers the threaded parts: FIFOs, the link engine, the
# device server and the object layer on top of them.
# libzmq, CZMQ, umockdev and GLib are not instrumented; scripts/tsan.supp
# says why their internals are left out of the reports.
TSAN_OPTIONS="suppressions=$PWD/scripts/tsan.supp${TSAN_OPTIONS:+ $TSAN_OPTIONS}" run tsan
run fuzz -L fuzz
echo "=== all tests passed"
