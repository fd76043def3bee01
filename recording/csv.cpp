#include "recording/csv.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "roster/slot_table.h"

namespace kv {

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(std::int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

char* putUnsigned(char* at, unsigned value) {
  char digits[12];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *at++ = digits[--n];
  return at;
}

// The time and seconds cells, each followed by a comma.
char* putTimes(char* at, std::int64_t unixMs, std::int64_t sinceStartMs) {
  at += formatIsoUtc(at, unixMs);
  *at++ = ',';
  if (sinceStartMs < 0) sinceStartMs = 0;
  at = putUnsigned(at, static_cast<unsigned>(sinceStartMs / 1000));
  at += std::snprintf(at, 6, ".%03d,", static_cast<int>(sinceStartMs % 1000));
  return at;
}

}  // namespace

const char* csvHeader() {
  return "time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check,marker,person,max_hr,pct_max,zone\r\n";
}

std::int64_t unixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::size_t formatIsoUtc(char* out, std::int64_t unixMs) {
  const std::int64_t days = floorDiv(unixMs, 86400000);
  const std::int64_t msOfDay = unixMs - days * 86400000;
  int year = 0, month = 0, day = 0;
  civilFromDays(days, &year, &month, &day);
  const int s = static_cast<int>(msOfDay / 1000);
  const int n = std::snprintf(out, 25, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day, s / 3600, s / 60 % 60,
                              s % 60, static_cast<int>(msOfDay % 1000));
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void defaultRecordingName(char* out, std::int64_t unixMs) {
  char iso[32];
  formatIsoUtc(iso, unixMs);
  // 2026-12-09T15:34:19.123Z -> koravel-20261209-153419Z.csv
  std::snprintf(out, 32, "koravel-%.4s%.2s%.2s-%.2s%.2s%.2sZ.csv", iso, iso + 5, iso + 8, iso + 11, iso + 14, iso + 17);
}

void recordedName(char* out, const char* name) {
  std::size_t n = decodeText(out, decodedTextSize(kDeviceNameWidth), name, kDeviceNameWidth);
  while (n > 0 && out[n - 1] == ' ') --n;
  out[n] = '\0';
}

const char* brandLabel(const char* name) {
  switch (brandOfName(name)) {
    case kBrandMirabeat: return "Mirabeat";
    case kBrandPolar: return "Polar";
    default: return "other";
  }
}

std::size_t formatReadingRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const DeviceReport& report,
                             const Participant* person) {
  char* at = putTimes(out, unixMs, sinceStartMs);
  char address[decodedTextSize(kAddressWidth)];
  decodeText(address, sizeof address, report.address, kAddressWidth);
  at = putCsvField(at, address);
  *at++ = ',';
  char name[decodedTextSize(kDeviceNameWidth)];
  recordedName(name, report.name);
  at = putCsvField(at, name);
  *at++ = ',';
  // The brand as the roster tells it, from the name as it came.
  char raw[kDeviceNameWidth + 1];
  const std::size_t rawLength = strnlen(report.name, kDeviceNameWidth);
  std::memcpy(raw, report.name, rawLength);
  raw[rawLength] = '\0';
  at = putCsvField(at, brandLabel(raw));
  *at++ = ',';
  if (report.heartRate != kNoReading8) at = putUnsigned(at, report.heartRate);
  *at++ = ',';
  if (report.rrInterval != kNoReading16) at = putUnsigned(at, report.rrInterval);
  *at++ = ',';
  if (report.battery != kNoReading8) at = putUnsigned(at, report.battery);
  // rssi, check, and the marker's empty cell.
  at += std::snprintf(at, 16, ",%d,0x%02X,,", static_cast<int>(report.rssi), static_cast<unsigned>(report.check));
  if (person != nullptr) {
    at = putCsvField(at, person->name);
    *at++ = ',';
    if (person->maxHr > 0) at = putUnsigned(at, static_cast<unsigned>(person->maxHr));
    *at++ = ',';
    const int hr = report.heartRate == kNoReading8 ? -1 : report.heartRate;
    const int pct = percentOfMax(hr, person->maxHr);
    if (pct >= 0) {
      at = putUnsigned(at, static_cast<unsigned>(pct));
      *at++ = ',';
      at = putUnsigned(at, static_cast<unsigned>(zoneOf(hr, person->maxHr)));
    } else {
      *at++ = ',';
    }
  } else {
    std::memcpy(at, ",,,", 3);
    at += 3;
  }
  std::memcpy(at, "\r\n", 3);
  return static_cast<std::size_t>(at + 2 - out);
}

std::size_t formatDongleRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const char* line) {
  char* at = putTimes(out, unixMs, sinceStartMs);
  *at++ = ',';  // no address
  char text[kMarkerTextSize + 1];
  decodeText(text, sizeof text, line);
  at = putCsvField(at, text);
  *at++ = ',';
  at = putCsvField(at, kDongleBrand);
  // heart_rate to zone: empty.
  std::memcpy(at, ",,,,,,,,,,\r\n", 13);
  at += 12;
  return static_cast<std::size_t>(at - out);
}

std::size_t formatMarkerRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const char* text) {
  char* at = putTimes(out, unixMs, sinceStartMs);
  // address, name, brand, heart_rate, rr_ms, battery_pct, rssi, check: empty.
  std::memcpy(at, ",,,,,,,,", 8);
  at += 8;
  char marker[kMarkerTextSize + 1];
  decodeText(marker, sizeof marker, text);
  at = putCsvField(at, marker);
  // person, max_hr, pct_max, zone: empty.
  std::memcpy(at, ",,,,\r\n", 6);
  at += 6;
  *at = '\0';
  return static_cast<std::size_t>(at - out);
}

}  // namespace kv
