// Reading the simulated dongle's record file (--record, SimOptions::
// recordPath) and working out from it what the console should have shown:
// shared by the end-to-end tests and the soak benchmark.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kv::test {

// One line of the record: a frame sent (tx) or received (rx), or an event
// comment ("# t_ms=... event=scan-start").
struct SimRecordLine {
  double tMs = 0;
  bool isEvent = false;
  std::string event;   // events: the text after t_ms, "event=scan-start"
  bool tx = false;
  std::string kind;    // report, ack, config, unknown, garbage; rx: soft-reset, ...
  std::string fault;   // none, or a comma-joined list
  bool intact = false;
  int device = -1;
  std::vector<std::uint8_t> bytes;

  bool hasFault(const char* name) const;
  // An event line of this name ("scan-start", "overrun").
  bool eventIs(const char* name) const;
};

// Calls `fn` for every frame and event line of the record, in order; false
// when the file cannot be read. Settings comments are skipped.
bool forEachSimRecordLine(const std::string& path, const std::function<void(const SimRecordLine&)>& fn);
std::vector<SimRecordLine> readSimRecord(const std::string& path);

// The fields of a 55-byte device report as the dongle sent them.
struct ReportFields {
  std::string nameField;  // the 25 name characters as the console copies them (up to a NUL)
  std::string name;       // the same without its trailing padding
  std::string address;   // 12 characters
  std::uint8_t check = 0;
  int heartRate = 0;
  int rrInterval = 0;
  int battery = 0;
  int rssi = 0;           // signed
};
ReportFields reportFields(const std::vector<std::uint8_t>& frame);

// A report the console must apply: sent whole with a good seal, check byte
// 0x80, from a device whose name the roster accepts (not "Polar...").
bool reportIsApplied(const SimRecordLine& line);

// Lower-case hexadecimal, two digits a byte, as the console dumps a frame
// with a bad seal.
std::string lowerHex(const std::vector<std::uint8_t>& bytes);

// "0A1B2C3D4E5F" as "0A:1B:2C:3D:4E:5F".
std::string colonAddress(const std::string& address);

// Counts over a whole record, for figures.
struct SimRecordSummary {
  std::uint64_t framesSent = 0;       // tx lines other than garbage runs
  std::uint64_t reportsSent = 0;
  std::uint64_t reportsIntact = 0;
  std::uint64_t reportsToApply = 0;   // reportIsApplied
  std::uint64_t badSealReports = 0;   // reports with a bad seal and no byte left out
  std::uint64_t dropByteReports = 0;
  std::uint64_t splitReports = 0;
  std::uint64_t unknownFrames = 0;
  std::uint64_t garbageRuns = 0;
  std::uint64_t overruns = 0;         // "event=overrun": the console was not reading
};
SimRecordSummary summariseSimRecord(const std::string& path);

}  // namespace kv::test
