#include "console/record/csv_row.h"

#include <cstdio>
#include <cstring>

#include "link/frame.h"
#include "roster/slot_table.h"

namespace kv::record {

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

// A text field, quoted when it holds a comma, a quote or a line break.
char* putField(char* at, const char* text) {
  if (std::strpbrk(text, ",\"\r\n") == nullptr) {
    const std::size_t n = std::strlen(text);
    std::memcpy(at, text, n);
    return at + n;
  }
  *at++ = '"';
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '"') *at++ = '"';
    *at++ = *c;
  }
  *at++ = '"';
  return at;
}

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

}  // namespace

const char* csvHeader() { return "time,seconds,address,name,brand,heart_rate,rr_ms,battery_pct,rssi,check\r\n"; }

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

void trimmedName(char* out, const char* name) {
  std::size_t n = strnlen(name, kDeviceNameWidth);
  while (n > 0 && name[n - 1] == ' ') --n;
  std::memcpy(out, name, n);
  out[n] = '\0';
}

const char* brandLabel(const char* name) {
  switch (brandOfName(name)) {
    case kBrandMirabeat: return "Mirabeat";
    case kBrandPolar: return "Polar";
    default: return "other";
  }
}

std::size_t formatCsvRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const DeviceReport& report) {
  char* at = out + formatIsoUtc(out, unixMs);
  *at++ = ',';
  if (sinceStartMs < 0) sinceStartMs = 0;
  at = putUnsigned(at, static_cast<unsigned>(sinceStartMs / 1000));
  at += std::snprintf(at, 6, ".%03d,", static_cast<int>(sinceStartMs % 1000));
  char address[kAddressWidth + 1];
  const std::size_t addressLength = strnlen(report.address, kAddressWidth);
  std::memcpy(address, report.address, addressLength);
  address[addressLength] = '\0';
  at = putField(at, address);
  *at++ = ',';
  char name[kDeviceNameWidth + 1];
  trimmedName(name, report.name);
  at = putField(at, name);
  *at++ = ',';
  at = putField(at, brandLabel(report.name));
  *at++ = ',';
  if (report.heartRate != kNoReading8) at = putUnsigned(at, report.heartRate);
  *at++ = ',';
  if (report.rrInterval != kNoReading16) at = putUnsigned(at, report.rrInterval);
  *at++ = ',';
  if (report.battery != kNoReading8) at = putUnsigned(at, report.battery);
  at += std::snprintf(at, 16, ",%d,0x%02X\r\n", static_cast<int>(report.rssi), static_cast<unsigned>(report.check));
  return static_cast<std::size_t>(at - out);
}

}  // namespace kv::record
