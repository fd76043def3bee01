#!/usr/bin/env bash
# Builds the parser fuzzer (clang, own build directory build/fuzz) and runs
# it for SECONDS seconds on a copy of the seed corpus, so that a normal run
# leaves fuzz/corpus/parser as it is. Exits non-zero when the fuzzer finds a
# crash; the crashing input is left in build/fuzz/artifacts/.
#   fuzz/run-fuzz.sh [SECONDS]     (default 30)
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
cxx="${KV_FUZZ_CXX:-clang++}"
jobs="${KV_JOBS:-2}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DKV_BUILD_FUZZERS=ON -DKV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target parser_fuzzer -j "$jobs"

corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
cp "$root/fuzz/corpus/parser/"* "$corpus/"
mkdir -p "$build/artifacts"

"$build/fuzz/parser_fuzzer" \
  -max_total_time="$seconds" \
  -max_len=8192 \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" \
  "$corpus"
