// The texts a tile and its hover text show.
#pragma once

#include <cstddef>

namespace kv {

inline constexpr std::size_t kTileTextSize = 100;
inline constexpr const char* kEmptyTileText = "empty";

// A linked tile: "name\nHR: h , RR: r\nBat: b%" (the RR part only when r is
// not 0). Any other tile: "name\n\n". `out` holds kTileTextSize characters.
void formatTileText(char* out, const char* name, bool linked, int heartRate, int rrInterval, int battery);

// "%d" into `out` (at least 12 characters).
void formatLinkedCount(char* out, int count);

}  // namespace kv
