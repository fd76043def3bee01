// The recorder's CSV: the header and one row per report, built into a
// caller's buffer (no allocation: rows are made on the reader thread).
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/parser.h"

namespace kv::record {

// Room for the longest row: every field at its widest, the name quoted with
// each of its characters doubled.
inline constexpr std::size_t kMaxRowSize = 256;

// The header row, with its CR LF.
const char* csvHeader();

// `unixMs`: the wall-clock time of the report (milliseconds since 1970,
// UTC); `sinceStartMs`: since the recording began. Returns the row's length,
// CR LF included; `out` (at least kMaxRowSize) ends with a NUL.
std::size_t formatCsvRow(char* out, std::int64_t unixMs, std::int64_t sinceStartMs, const DeviceReport& report);

// "2026-12-09T15:34:19.123Z" into `out` (at least 25 characters); its length.
std::size_t formatIsoUtc(char* out, std::int64_t unixMs);

// The name as recorded: up to its first NUL, without the trailing spaces that
// pad the field. Into `out` (at least 26 characters).
void trimmedName(char* out, const char* name);

// "Mirabeat", "Polar" or "other", as the roster tells a name's brand.
const char* brandLabel(const char* name);

}  // namespace kv::record
