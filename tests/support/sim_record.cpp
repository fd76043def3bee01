#include "support/sim_record.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/text.h"
#include "link/frame.h"

namespace kv::test {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::vector<std::uint8_t> fromHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(hexDigit(text[i]) << 4 | hexDigit(text[i + 1])));
  return bytes;
}

// "# t_ms=12.5 event=scan-start ...": false for the settings comments.
bool parseEvent(const std::string& text, SimRecordLine* line) {
  static const char kPrefix[] = "# t_ms=";
  if (text.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return false;
  char* end = nullptr;
  line->tMs = std::strtod(text.c_str() + sizeof kPrefix - 1, &end);
  line->isEvent = true;
  line->event = *end == ' ' ? std::string(end + 1) : std::string(end);
  return true;
}

void parseFrame(const std::string& text, SimRecordLine* line) {
  std::istringstream in(text);
  std::string field;
  while (in >> field) {
    const auto eq = field.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = field.substr(0, eq);
    const std::string value = field.substr(eq + 1);
    if (key == "t_ms") line->tMs = std::strtod(value.c_str(), nullptr);
    else if (key == "dir") line->tx = value == "tx";
    else if (key == "kind") line->kind = value;
    else if (key == "fault") line->fault = value;
    else if (key == "intact") line->intact = value == "1";
    else if (key == "dev") line->device = std::atoi(value.c_str());
    else if (key == "hex") line->bytes = fromHex(value);
  }
}

}  // namespace

bool SimRecordLine::hasFault(const char* name) const {
  std::size_t start = 0;
  while (start <= fault.size()) {
    std::size_t end = fault.find(',', start);
    if (end == std::string::npos) end = fault.size();
    if (fault.compare(start, end - start, name) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool SimRecordLine::eventIs(const char* name) const {
  if (!isEvent) return false;
  const std::string prefix = std::string("event=") + name;
  return event.compare(0, prefix.size(), prefix) == 0 && (event.size() == prefix.size() || event[prefix.size()] == ' ');
}

bool forEachSimRecordLine(const std::string& path, const std::function<void(const SimRecordLine&)>& fn) {
  std::ifstream in(path);
  if (!in) return false;
  std::string text;
  while (std::getline(in, text)) {
    if (text.empty()) continue;
    SimRecordLine line;
    if (text[0] == '#') {
      if (!parseEvent(text, &line)) continue;
    } else {
      // A line still being written has no hex field yet: leave it out.
      if (text.find(" hex=") == std::string::npos || in.eof()) continue;
      parseFrame(text, &line);
    }
    fn(line);
  }
  return true;
}

std::vector<SimRecordLine> readSimRecord(const std::string& path) {
  std::vector<SimRecordLine> lines;
  forEachSimRecordLine(path, [&lines](const SimRecordLine& l) { lines.push_back(l); });
  return lines;
}

ReportFields reportFields(const std::vector<std::uint8_t>& frame) {
  ReportFields r;
  if (frame.size() < kDeviceDataSize) return r;
  char field[kDeviceNameWidth + 1];
  copyTextField(field, frame.data() + off::kDeviceName, kDeviceNameWidth);
  r.nameField = field;
  r.name = r.nameField;
  while (!r.name.empty() && (r.name.back() == ' ' || r.name.back() == '\0')) r.name.pop_back();
  r.address.assign(frame.begin() + off::kDeviceAddress, frame.begin() + off::kDeviceAddress + kAddressWidth);
  r.check = frame[off::kCheck];
  r.heartRate = frame[off::kHeartRate];
  r.rrInterval = frame[off::kRrInterval] << 8 | frame[off::kRrInterval + 1];
  r.battery = frame[off::kBattery];
  r.rssi = static_cast<std::int8_t>(frame[off::kRssi]);
  return r;
}

bool reportIsApplied(const SimRecordLine& line) {
  if (!line.tx || line.kind != "report" || !line.intact || line.bytes.size() != kDeviceDataSize) return false;
  const ReportFields r = reportFields(line.bytes);
  return r.check == kReadingApplied && r.name.compare(0, 5, "Polar") != 0;
}

std::string lowerHex(const std::vector<std::uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string colonAddress(const std::string& address) {
  std::string out;
  for (std::size_t i = 0; i < address.size(); i += 2) {
    if (i > 0) out += ':';
    out += address.substr(i, 2);
  }
  return out;
}

SimRecordSummary summariseSimRecord(const std::string& path) {
  SimRecordSummary s;
  forEachSimRecordLine(path, [&s](const SimRecordLine& l) {
    if (l.isEvent) {
      s.overruns += l.eventIs("overrun");
      return;
    }
    if (!l.tx) return;
    if (l.kind == "garbage") {
      ++s.garbageRuns;
      return;
    }
    ++s.framesSent;
    if (l.kind == "unknown") ++s.unknownFrames;
    if (l.kind != "report") return;
    ++s.reportsSent;
    s.reportsIntact += l.intact;
    s.reportsToApply += reportIsApplied(l);
    s.badSealReports += l.hasFault("bad-seal") && !l.hasFault("drop-byte");
    s.dropByteReports += l.hasFault("drop-byte");
    s.splitReports += l.hasFault("split");
  });
  return s;
}

}  // namespace kv::test
