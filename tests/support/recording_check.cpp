#include "support/recording_check.h"

#include <cstdio>
#include <sstream>

#include "base/text.h"
#include "link/frame.h"
#include "support/sim_record.h"

namespace kv::test {

namespace {

std::string cell(int value, int none) { return value == none ? std::string() : std::to_string(value); }

// A field from the air (`width` bytes wide) as its cell reads: decoded,
// without the padding at its end, with an apostrophe in front of what a
// spreadsheet would take for a formula.
std::string airCell(const std::string& field, std::size_t width) {
  char text[decodedTextSize(kDeviceNameWidth)];
  decodeText(text, sizeof text, field.c_str(), width);
  std::string s = text;
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return !s.empty() && std::string("=+-@\t\r").find(s[0]) != std::string::npos ? "'" + s : s;
}

}  // namespace

std::vector<std::string> csvCells(const std::string& line) {
  std::vector<std::string> cells(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        cells.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cells.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      cells.emplace_back();
    } else {
      cells.back() += c;
    }
  }
  return cells;
}

std::vector<CsvRow> readCsvRows(const std::string& csv, std::string* problem) {
  std::vector<CsvRow> rows;
  auto complain = [&](const std::string& what) {
    if (problem->empty()) *problem = what;
  };
  std::size_t at = 0;
  bool header = true;
  while (at < csv.size()) {
    // A row ends at a CR LF outside quotes.
    std::size_t end = at;
    bool quoted = false;
    while (end < csv.size() && !(csv[end] == '\n' && !quoted)) {
      if (csv[end] == '"') quoted = !quoted;
      ++end;
    }
    std::string line = csv.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line.back() != '\r') {
      complain("no CR LF: " + line);
    } else {
      line.pop_back();
    }
    if (header) {
      if (line != "time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check,marker,person,max_hr,pct_max,zone")
        complain("header: " + line);
      header = false;
      continue;
    }
    const std::vector<std::string> f = csvCells(line);
    if (f.size() != 15 || f[0].size() != 24) {
      complain("malformed row: " + line);
      continue;
    }
    CsvRow row;
    row.time = f[0];
    row.seconds = std::stod(f[1]);
    row.marker = f[10];
    row.person = f[11];
    row.maxHr = f[12];
    row.pctMax = f[13];
    row.zone = f[14];
    row.brand = f[4];
    if (row.brand == "dongle") {
      row.name = f[3];
      rows.push_back(row);
      continue;
    }
    if (row.marker.empty()) {
      row.address = f[2];
      row.name = f[3];
      row.key = f[2] + "|" + f[3] + "|" + f[5] + "|" + f[6] + "|" + f[7] + "|" + f[8] + "|" + f[9];
    } else {
      for (int i : {2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14})
        if (!f[static_cast<std::size_t>(i)].empty()) complain("a marker row with readings: " + line);
    }
    rows.push_back(row);
  }
  return rows;
}

RecordingCheck checkRecording(const std::string& simRecord, const std::string& csv, bool all) {
  RecordingCheck result;
  double lastReset = -1;
  forEachSimRecordLine(simRecord, [&](const SimRecordLine& l) {
    if (!l.tx && !l.isEvent && l.kind == "soft-reset") lastReset = l.tMs;
  });
  std::vector<std::string> want;
  forEachSimRecordLine(simRecord, [&](const SimRecordLine& l) {
    if (!l.tx || l.kind != "report" || !l.intact || l.bytes.size() != kDeviceDataSize) return;
    const ReportFields r = reportFields(l.bytes);
    if (!all && r.check != kReadingApplied) return;
    char check[8];
    std::snprintf(check, sizeof check, "0x%02X", r.check);
    want.push_back(airCell(r.address, kAddressWidth) + "|" + airCell(r.nameField, kDeviceNameWidth) + "|" + cell(r.heartRate, 255) + "|" + cell(r.rrInterval, 65535) + "|" +
                   cell(r.battery, 255) + "|" + std::to_string(r.rssi) + "|" + check);
    if (l.tMs < lastReset - 300) ++result.expected;
    else ++result.late;
  });
  std::vector<CsvRow> rows;
  for (CsvRow& row : readCsvRows(csv, &result.problem))
    if (row.marker.empty() && row.brand != "dongle") rows.push_back(row);
  result.rows = rows.size();
  if (!result.problem.empty()) return result;
  if (rows.size() < result.expected) {
    result.problem = "reports lost: " + std::to_string(rows.size()) + " rows, " + std::to_string(result.expected) +
                     " reports sent";
    return result;
  }
  if (rows.size() > want.size()) {
    result.problem = "rows invented: " + std::to_string(rows.size()) + " rows, " + std::to_string(want.size()) +
                     " reports sent";
    return result;
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].key != want[i]) {
      result.problem = "row " + std::to_string(i + 1) + " is " + rows[i].key + ", the report sent " + want[i];
      return result;
    }
  }
  return result;
}

}  // namespace kv::test
