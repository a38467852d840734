#!/usr/bin/env bash
# Configures and builds one configuration into build/<config>.
#   normal  RelWithDebInfo, warnings as errors
#   asan    AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan    ThreadSanitizer
#   fuzz    clang + libFuzzer fuzz targets (tests off)
# Usage: scripts/build.sh [normal|asan|tsan|fuzz] [ninja target...]
set -euo pipefail
cd "$(dirname "$0")/.."
cfg=${1:-normal}
shift || true
args=(-G Ninja -DCORVALITH_WERROR=ON)
case "$cfg" in
  normal) ;;
  asan) args+=(-DCORVALITH_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug) ;;
  tsan) args+=(-DCORVALITH_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug "-DCORVALITH_TEST_FOLDERS=unix;common;cpp;sim") ;;
  fuzz) args+=(-DCORVALITH_FUZZ=ON -DCORVALITH_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  bench) args+=(-DCORVALITH_BENCH=ON -DCORVALITH_TESTS=OFF -DCMAKE_BUILD_TYPE=Release) ;;
  *) echo "unknown configuration: $cfg" >&2; exit 2 ;;
esac
dir=build/$cfg
if [[ ! -f $dir/build.ninja ]]; then
  cmake -S . -B "$dir" "${args[@]}"
fi
cmake --build "$dir" -- "$@"
