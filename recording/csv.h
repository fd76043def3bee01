// A recording's CSV: the header, a row per reading and a row per marker,
// each built into a caller's buffer (no allocation).
//
// Columns: time (ISO 8601, UTC, ms), seconds (since the recording began),
// address, name, brand, heart_rate, rr_ms, battery_pct, rssi, check, marker,
// person, max_hr, pct_max, zone. A value the device did not send is an
// empty cell; a marker row has only its time, seconds and marker. The last
// four are the participant wearing the device, when the participants file
// names one: the person's name, maximum heart rate, the reading's whole
// percent of it and its zone (0 for rest, 1 to 5); empty when not known. Texts from the air are decoded to UTF-8
// without control characters, and no text cell can be taken for a formula
// (putCsvField). CR LF line ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/frame.h"
#include "participants/participants.h"

namespace kv {

// The longest marker text kept, in bytes of UTF-8 (a longer one is cut at a
// whole character).
inline constexpr std::size_t kMarkerTextSize = 100;

// Room for the longest row: every field at its widest, each text quoted
// with each of its characters doubled and an apostrophe in front.
inline constexpr std::size_t kMaxRowSize = 1024;

// The header row, with its CR LF.
const char* csvHeader();
// The number of columns.
inline constexpr int kCsvColumns = 15;

// A reading's row. `unixMs`: its wall-clock time (milliseconds since 1970,
// UTC); `sinceStartMs`: since the recording began. `name` and `address` are
// the report's fields as they came (at most kDeviceNameWidth and
// kAddressWidth bytes, NUL-padded or not). `person`: who wears the device,
// or null. Returns the row's length, CR LF included; `out` (at least
// kMaxRowSize) ends with a NUL.
std::size_t formatReadingRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const DeviceReport& report,
                             const Participant* person = nullptr);

// A marker's row: `text` (UTF-8, terminated) in the marker column.
std::size_t formatMarkerRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const char* text);

// The dongle's row: the dongle's line (its name, address and version, as
// the window shows it) in the name column, "dongle" in the brand column,
// the rest empty. A recording has one when it begins (if the dongle is
// known) and one whenever the dongle says something else.
inline constexpr const char* kDongleBrand = "dongle";
std::size_t formatDongleRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const char* line);

// "2026-12-09T15:34:19.123Z" into `out` (at least 25 characters); its length.
std::size_t formatIsoUtc(char* out, std::int64_t unixMs);

// "koravel-20261209-153419Z.csv" for a recording begun at `unixMs`, into
// `out` (at least 32 characters).
void defaultRecordingName(char* out, std::int64_t unixMs);

// A device name as recorded: decoded, without the trailing spaces that pad
// the field. Into `out` (decodedTextSize(kDeviceNameWidth)).
void recordedName(char* out, const char* name);

// "Mirabeat", "Polar" or "other", as the roster tells a name's brand.
const char* brandLabel(const char* name);

// Milliseconds since 1970 (UTC) now.
std::int64_t unixMsNow();

}  // namespace kv
