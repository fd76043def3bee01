#include "support/recording_check.h"

#include <cstdio>
#include <sstream>

#include "link/frame.h"
#include "support/sim_record.h"

namespace kv::test {

namespace {

std::string cell(int value, int none) { return value == none ? std::string() : std::to_string(value); }

}  // namespace

std::vector<CsvRow> readCsvRows(const std::string& csv, std::string* problem) {
  std::vector<CsvRow> rows;
  std::istringstream in(csv);
  std::string line;
  bool header = true;
  while (std::getline(in, line)) {
    if (line.empty() || line.back() != '\r') {
      if (problem->empty()) *problem = "no CR LF: " + line;
    } else {
      line.pop_back();
    }
    if (header) {
      if (line != "time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check")
        *problem = "header: " + line;
      header = false;
      continue;
    }
    std::vector<std::string> f;
    std::stringstream fields(line);
    std::string field;
    while (std::getline(fields, field, ',')) f.push_back(field);
    if (!line.empty() && line.back() == ',') f.push_back("");
    if (f.size() != 10 || f[0].size() != 24) {
      if (problem->empty()) *problem = "malformed row: " + line;
      continue;
    }
    rows.push_back({f[2] + "|" + f[3] + "|" + f[5] + "|" + f[6] + "|" + f[7] + "|" + f[8] + "|" + f[9], std::stod(f[1])});
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
    want.push_back(r.address + "|" + r.name + "|" + cell(r.heartRate, 255) + "|" + cell(r.rrInterval, 65535) + "|" +
                   cell(r.battery, 255) + "|" + std::to_string(r.rssi) + "|" + check);
    if (l.tMs < lastReset - 300) ++result.expected;
    else ++result.late;
  });
  const std::vector<CsvRow> rows = readCsvRows(csv, &result.problem);
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
