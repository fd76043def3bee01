#!/usr/bin/env bash
# Builds the parser fuzzer (clang, a build directory of its own) and runs it
# for SECONDS seconds on one core, on a copy of the corpus, so that a normal
# run leaves fuzz/corpus/parser as it is. Exits non-zero when the fuzzer
# finds a crash; the crashing input is left in BUILD/artifacts/.
#
#   fuzz/run-fuzz.sh [--fast] [--grow] [--runs N] [SECONDS]   (default 30 s)
#
#   --fast    the coverage-only build (build/fuzz-fast): no AddressSanitizer
#             or UBSan, several times the executions a second, for long runs
#   --grow    then merge what the run found into fuzz/corpus/parser, keeping
#             the smallest set of inputs that covers as much (-merge=1)
#   --runs N  stop after N executions rather than after SECONDS
set -euo pipefail

fast=0 grow=0 runs=""
while [ $# -gt 0 ]; do
  case "$1" in
    --fast) fast=1 ;;
    --grow) grow=1 ;;
    --runs) runs="$2"; shift ;;
    -*) echo "run-fuzz: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
  shift
done
seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
sanitize=ON
if [ "$fast" = 1 ]; then
  build="$root/build/fuzz-fast"
  sanitize=OFF
fi
cxx="${KV_FUZZ_CXX:-clang++}"
jobs="${KV_JOBS:-2}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DKV_BUILD_FUZZERS=ON -DKV_FUZZ_SANITIZE="$sanitize" -DKV_BUILD_TESTS=OFF -DKV_BUILD_QT=OFF >/dev/null
cmake --build "$build" --target parser_fuzzer -j "$jobs"

corpus="$(mktemp -d)"
trap 'rm -rf "$corpus"' EXIT
cp "$root/fuzz/corpus/parser/"* "$corpus/"
mkdir -p "$build/artifacts"

limit=(-max_total_time="$seconds")
[ -n "$runs" ] && limit=(-runs="$runs")
"$build/fuzz/parser_fuzzer" \
  "${limit[@]}" \
  -max_len=8192 \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="$build/artifacts/" \
  "$corpus"

if [ "$grow" = 1 ]; then
  merged="$(mktemp -d)"
  "$build/fuzz/parser_fuzzer" -merge=1 -max_len=8192 "$merged" "$root/fuzz/corpus/parser" "$corpus" 2>&1 | tail -n 2
  rm -f "$root/fuzz/corpus/parser/"*
  cp "$merged/"* "$root/fuzz/corpus/parser/"
  rm -rf "$merged"
  echo "run-fuzz: fuzz/corpus/parser now holds $(ls "$root/fuzz/corpus/parser" | wc -l) inputs"
fi
