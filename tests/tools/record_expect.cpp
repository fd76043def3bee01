// record_expect RECORD: what the console should have applied of a simulated
// dongle's record, as key=value lines for bench/program-bench.
// record_expect RECORD --csv FILE [--all]: whether a recorder's CSV holds
// each report of the record as one row (the Wine tests); exit 1 when not.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "support/record_replay.h"
#include "support/recording_check.h"

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[2], "--csv") == 0 && (argc == 4 || (argc == 5 && std::strcmp(argv[4], "--all") == 0))) {
    std::ifstream in(argv[3], std::ios::binary);
    const std::string csv((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const kv::test::RecordingCheck c = kv::test::checkRecording(argv[1], csv, argc == 5);
    std::printf("rows=%zu\nexpected=%zu\nlate=%zu\nproblem=%s\n", c.rows, c.expected, c.late, c.problem.c_str());
    return c.problem.empty() && c.expected > 0 ? 0 : 1;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: record_expect RECORD [--csv FILE [--all]]\n");
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
