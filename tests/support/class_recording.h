// A class, recorded: what koravel-record writes of a group at work, made up.
// Each device's heart rate follows the session's effort (a warm-up,
// intervals, a cool-down) at its wearer's own level; its RR is the last
// beat's of a heart that beats on a clock of its own, so that reports
// closer together than a beat repeat it, with a missed beat now and then;
// markers at the intervals; now and then a device falls silent for a
// while. The rows are the recording's own (recording/csv.h). For the
// session report's tests and its benchmark.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kv::test {

struct ClassRecording {
  int devices = 4;
  double rateHz = 1;  // reports a second from each device
  int seconds = 600;
  int markerEvery = 120;  // seconds between markers, 0: none
  bool people = true;     // the participants' columns (every fifth device is worn by nobody)
  bool silentGaps = true; // every third device is silent for a while, once
  std::uint32_t seed = 1;
  std::int64_t startUnixMs = 1796810400000;  // 2026-12-09 10:00:00 UTC
};

// Writes the recording to `out`; returns the rows written, header not
// counted.
std::uint64_t writeClassRecording(std::FILE* out, const ClassRecording& what);

// The same into the file at `path`; false when it cannot be written.
bool writeClassRecordingFile(const std::string& path, const ClassRecording& what, std::uint64_t* rows = nullptr);

}  // namespace kv::test
