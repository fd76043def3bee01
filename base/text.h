// Text helpers every layer uses: fixed-width fields, hex, and the texts that
// come over the air.
//
// A device's name and address, and the dongle's, are whatever their owner
// chose. They are decoded once into UTF-8 (valid UTF-8 as it is, anything
// else as Latin-1) and every character that a window, a terminal or a
// spreadsheet would obey rather than show is replaced by kStandIn, so that
// every output (tiles, hover texts, the class display, the log, CSV files,
// terminals) gets the same, harmless text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// What a text shows in place of a character it must not carry.
inline constexpr char kStandIn = '?';

// Writes `count` bytes as two hex digits each, high nibble first, in upper or
// lower case, into `out` (2 * count + 1 characters) and terminates it.
void formatHex(const std::uint8_t* bytes, std::size_t count, char* out, bool upperCase);

// Copies exactly `width` bytes of a text field and terminates it: `out`
// must hold width + 1 characters.
void copyTextField(char* out, const std::uint8_t* field, std::size_t width);

// Room for a text of `width` bytes once decoded: a Latin-1 byte may take two
// bytes in UTF-8; plus the terminator.
constexpr std::size_t decodedTextSize(std::size_t width) { return 2 * width + 1; }

// Whether the code point is one that a window, terminal or spreadsheet may
// obey rather than show: C0 controls, DEL, C1 controls (U+0080 to U+009F),
// the line and paragraph separators (U+2028, U+2029, which break lines in
// a label) and the bidirectional embeddings, overrides and isolates
// (U+202A to U+202E, U+2066 to U+2069, which reorder the text around them).
bool isControlCodePoint(std::uint32_t cp);

// Decodes a text that came from outside: its bytes up to the first NUL, at
// most `length` (a field's width). When they are valid UTF-8 they are taken
// as UTF-8 (when they fill the whole width, a character cut short at its
// end is left out: the name was cut to fit the field); otherwise every byte
// is a Latin-1 character, so "Zo\xEB" is "Zoë" too.
// Writes UTF-8 into `out` (`size` bytes, terminator included; a character
// that does not fit whole ends the text there), each control character
// (isControlCodePoint) as kStandIn. Returns the bytes written, terminator
// not counted. `out` of decodedTextSize(length) always holds the whole text.
std::size_t decodeText(char* out, std::size_t size, const char* text, std::size_t length);

// The same for a terminated text, which is never cut short.
std::size_t decodeText(char* out, std::size_t size, const char* text);

// Whether `text` (terminated) is valid UTF-8.
bool isValidUtf8(const char* text);

// The number of characters (code points) of valid UTF-8 `text`.
std::size_t utf8Length(const char* text);

// Writes the first `count` (at most 12) characters of an address in pairs
// with ':' between pairs into `out` (at least 18 characters) and terminates
// it: 12 characters give six pairs, 17 characters. A character other than
// printable ASCII, the NUL of an address cut short included, is kStandIn.
inline constexpr std::size_t kColonAddressLength = 17;
void formatColonAddress(const char* address, std::size_t count, char* out);

// One CSV text cell (RFC 4180), for a text that may come from anybody: a
// text that begins with "=", "+", "-", "@", a tab or a CR, which a
// spreadsheet would run as a formula, gets an apostrophe in front; a cell
// that holds a comma, a quote, a CR or a LF is quoted, its quotes doubled.
// Writes into `out` and returns the end of what it wrote; `out` needs
// csvFieldRoom(strlen(text)) bytes.
constexpr std::size_t csvFieldRoom(std::size_t length) { return 2 * length + 3; }
char* putCsvField(char* out, const char* text);

}  // namespace kv
