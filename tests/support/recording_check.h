// A recorder's CSV against the simulated dongle's record of what it sent:
// shared by the recorder's tests and record_expect (the Wine tests).
#pragma once

#include <string>
#include <vector>

namespace kv::test {

struct CsvRow {
  std::string key;      // address|name|heart rate|RR|battery|rssi|check, cells as written (readings)
  std::string address, name;  // as read from their cells (the dongle's row: its line in `name`)
  std::string brand;          // "dongle" on the dongle's row
  std::string marker;   // the marker cell ("" on a reading's row)
  std::string person, maxHr, pctMax, zone;  // the participant's cells
  double seconds = 0;
  std::string time;
};

// The rows of a recording, readings and markers; a malformed one (not
// fifteen fields, no CR LF, a wrong header, a marker row with readings) is
// named in *problem. Cells are read as RFC 4180 says.
std::vector<CsvRow> readCsvRows(const std::string& csv, std::string* problem);
// The cells of one CSV line (without its CR LF).
std::vector<std::string> csvCells(const std::string& line);

struct RecordingCheck {
  std::size_t rows = 0;
  std::size_t expected = 0;  // reports that must each be a row
  std::size_t late = 0;      // reports sent as the recording ended, which may be
  std::string problem;       // "" when every report is one row, in order, none invented
};

// Every intact report of the record (with check byte 0x80, or any with
// `all`) sent more than 300 ms before the last soft reset the dongle got
// must be exactly one row, in the order sent; those sent after may be. Its
// name and address are expected as a recording writes texts from the air:
// decoded, and never a formula.
RecordingCheck checkRecording(const std::string& simRecord, const std::string& csv, bool all);

}  // namespace kv::test
