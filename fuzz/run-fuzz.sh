#!/usr/bin/env bash
# Builds the fuzz targets (clang, a build directory of their own) and runs
# each for SECONDS seconds on one core, on a copy of its corpus, so that a
# normal run leaves fuzz/corpus/ as it is: parser_fuzzer (the receive
# parser, fuzz/corpus/parser) and report_fuzzer (the recording reader and
# the session report made of it, fuzz/corpus/report). Exits non-zero when a
# fuzzer finds a crash; the crashing input is left in BUILD/artifacts/.
#
#   fuzz/run-fuzz.sh [--fast] [--grow] [--runs N] [--only parser|report] [SECONDS]   (default 30 s each)
#
#   --fast    the coverage-only build (build/fuzz-fast): no AddressSanitizer
#             or UBSan, several times the executions a second, for long runs
#   --grow    then merge what the run found into the corpus, keeping the
#             smallest set of inputs that covers as much (-merge=1)
#   --runs N  stop after N executions rather than after SECONDS
#   --only T  run that target alone
set -euo pipefail

fast=0 grow=0 runs="" targets="parser report"
while [ $# -gt 0 ]; do
  case "$1" in
    --fast) fast=1 ;;
    --grow) grow=1 ;;
    --runs) runs="$2"; shift ;;
    --only)
      case "$2" in
        parser|report) targets="$2" ;;
        *) echo "run-fuzz: --only takes parser or report" >&2; exit 2 ;;
      esac
      shift ;;
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
for target in $targets; do
  cmake --build "$build" --target "${target}_fuzzer" -j "$jobs"
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/artifacts"

for target in $targets; do
  # A recording worth reading is longer than a frame program.
  max_len=8192
  [ "$target" = report ] && max_len=16384
  corpus="$scratch/$target"
  mkdir -p "$corpus"
  cp "$root/fuzz/corpus/$target/"* "$corpus/"
  limit=(-max_total_time="$seconds")
  [ -n "$runs" ] && limit=(-runs="$runs")
  echo "run-fuzz: ${target}_fuzzer"
  "$build/fuzz/${target}_fuzzer" \
    "${limit[@]}" \
    -max_len="$max_len" \
    -timeout=10 \
    -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" \
    "$corpus"

  if [ "$grow" = 1 ]; then
    merged="$scratch/$target-merged"
    mkdir -p "$merged"
    "$build/fuzz/${target}_fuzzer" -merge=1 -max_len="$max_len" "$merged" "$root/fuzz/corpus/$target" "$corpus" 2>&1 | tail -n 2
    rm -f "$root/fuzz/corpus/$target/"*
    cp "$merged/"* "$root/fuzz/corpus/$target/"
    echo "run-fuzz: fuzz/corpus/$target now holds $(ls "$root/fuzz/corpus/$target" | wc -l) inputs"
  fi
done
