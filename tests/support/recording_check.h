// A recorder's CSV against the simulated dongle's record of what it sent:
// shared by the recorder's tests and record_expect (the Wine tests).
#pragma once

#include <string>
#include <vector>

namespace kv::test {

struct CsvRow {
  std::string key;      // address|name|heart rate|RR|battery|rssi|check, cells as written
  double seconds = 0;
};

// The rows of a recording; a malformed one (not ten fields, no CR LF, a
// wrong header) is named in *problem.
std::vector<CsvRow> readCsvRows(const std::string& csv, std::string* problem);

struct RecordingCheck {
  std::size_t rows = 0;
  std::size_t expected = 0;  // reports that must each be a row
  std::size_t late = 0;      // reports sent as the recording ended, which may be
  std::string problem;       // "" when every report is one row, in order, none invented
};

// Every intact report of the record (with check byte 0x80, or any with
// `all`) sent more than 300 ms before the last soft reset the dongle got
// must be exactly one row, in the order sent; those sent after may be.
RecordingCheck checkRecording(const std::string& simRecord, const std::string& csv, bool all);

}  // namespace kv::test
