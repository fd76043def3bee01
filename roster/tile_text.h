// The texts a tile and its hover text show.
#pragma once

#include <cstddef>

namespace kv {

inline constexpr std::size_t kTileTextSize = 100;
inline constexpr const char* kEmptyTileText = "empty";

// A linked tile: "name\nHR: h , RR: r\nBat: b%" (the RR part only when r is
// not 0). Any other tile: "name\n\n". `out` holds kTileTextSize characters.
// The name is decoded (decodeText, base/text.h): UTF-8, its control
// characters shown as kStandIn.
void formatTileText(char* out, const char* name, bool linked, int heartRate, int rrInterval, int battery);

// The text of a tile whose device has gone silent `seconds` ago: linked,
// "name\nHR: -- (12 s)\nBat: b%" (the battery as last heard, "Bat: --" when
// none came); any other, "name\n-- (12 s)\n". `out` holds kTileTextSize
// characters.
void formatSilentTileText(char* out, const char* name, bool linked, int seconds, int battery);

// "%d" into `out` (at least 12 characters).
void formatLinkedCount(char* out, int count);

// A tile's text as a button's label. Both toolkits take "&" as the mark of a
// keyboard mnemonic, so every "&" is doubled to be shown as it is ("Team&Go"
// is drawn so, and Alt+G does not press the tile). `out` holds
// kTileLabelSize characters; a null text is an empty one.
inline constexpr std::size_t kTileLabelSize = 2 * kTileTextSize;
void tileLabel(const char* text, char* out);

}  // namespace kv
