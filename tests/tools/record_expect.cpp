// record_expect RECORD: what the console should have applied of a simulated
// dongle's record, as key=value lines for bench/program-bench.
#include <cstdio>

#include "support/record_replay.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: record_expect RECORD\n");
    return 2;
  }
  const kv::test::SimRecordSummary s = kv::test::summariseSimRecord(argv[1]);
  const kv::ReceiveCounters replay = kv::bench::replayRecord(argv[1]);
  std::printf("reports_sent=%llu\nreports_intact=%llu\nreports_to_apply=%llu\nreplay_applied=%u\n"
              "replay_bad_seals=%u\noverruns=%llu\n",
              static_cast<unsigned long long>(s.reportsSent), static_cast<unsigned long long>(s.reportsIntact),
              static_cast<unsigned long long>(s.reportsToApply), replay.readingsApplied, replay.badSeals,
              static_cast<unsigned long long>(s.overruns));
  return 0;
}
