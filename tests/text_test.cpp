// Texts from outside: addresses in pairs, names decoded to UTF-8 without
// the characters a window, terminal or spreadsheet would obey, and CSV cells
// that no spreadsheet runs as a formula.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/text.h"

namespace kv {
namespace {

// As a field of `raw`'s size (terminated: one more).
std::string decoded(const std::string& raw, std::size_t size = 64, bool full = false) {
  char out[128];
  const std::size_t n = decodeText(out, size, raw.data(), raw.size() + (full ? 0 : 1));
  EXPECT_EQ(n, std::strlen(out));
  return out;
}

TEST(Text, ColonAddress) {
  char out[20];
  formatColonAddress("0A1B2C3D4E5F", 12, out);
  EXPECT_STREQ(out, "0A:1B:2C:3D:4E:5F");
  EXPECT_EQ(std::strlen(out), kColonAddressLength);
  formatColonAddress("0A1B2C3D4E5F99", 14, out);  // only the first twelve count
  EXPECT_STREQ(out, "0A:1B:2C:3D:4E:5F");
  formatColonAddress("0A1B2", 5, out);
  EXPECT_STREQ(out, "0A:1B:2");
  // An address cut short by NULs, or holding control characters or bytes
  // beyond ASCII, keeps its six pairs and shows the stand-in.
  formatColonAddress("0A1B2C\0\0\r\n\x7f\xe9", 12, out);
  EXPECT_STREQ(out, "0A:1B:2C:??:??:??");
}

TEST(Text, NamesAreUtf8ElseLatin1) {
  EXPECT_EQ(decoded("Zo\xc3\xab"), "Zo\xc3\xab");                  // UTF-8 as it is
  EXPECT_EQ(decoded("Zo\xeb"), "Zo\xc3\xab");                      // Latin-1, the same name
  EXPECT_EQ(decoded("\xe5\xbf\x83\xf0\x9f\x92\x93"), "\xe5\xbf\x83\xf0\x9f\x92\x93");
  // One byte that cannot be UTF-8 makes the whole name Latin-1.
  EXPECT_EQ(decoded("\xc3\xab\xff"), "\xc3\x83\xc2\xab\xc3\xbf");
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  EXPECT_EQ(decoded("\xc0\xaf"), "\xc3\x80\xc2\xaf");
  EXPECT_EQ(decoded("\xed\xa0\x80").substr(0, 4), "\xc3\xad\xc2\xa0");
  EXPECT_EQ(decoded("\xf4\x90\x80\x80").substr(0, 2), "\xc3\xb4");
  // A character cut short by the field's end is left out, as the name was
  // cut; one cut short before the field is full is a Latin-1 name.
  EXPECT_EQ(decoded(std::string("Zo\xc3", 3), 64, true), "Zo");
  EXPECT_EQ(decoded(std::string("ab\xf0\x9f\x92", 5), 64, true), "ab");
  EXPECT_EQ(decoded("Zo\xc3"), "Zo\xc3\x83");
  EXPECT_EQ(decoded("Ren\xe9"), "Ren\xc3\xa9");
  // Up to the first NUL only.
  EXPECT_EQ(decoded(std::string("ab\0\xff", 4)), "ab");
}

TEST(Text, ControlsAreShownNotObeyed) {
  // C0, DEL and C1, in either encoding; the line separators and the
  // bidirectional overrides too.
  EXPECT_EQ(decoded("\r\n\t\x1b[2J\x7f A~"), "????[2J? A~");
  EXPECT_EQ(decoded("a\x85\x9b" "b"), "a??b");                         // C1 as Latin-1
  EXPECT_EQ(decoded("a\xc2\x85\xc2\x9b" "b"), "a??b");                 // C1 as UTF-8
  EXPECT_EQ(decoded("a\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xae\xe2\x81\xa6" "b"), "a????b");
  EXPECT_EQ(decoded("a\xc2\xa0\xe2\x80\x8e" "b"), "a\xc2\xa0\xe2\x80\x8e" "b");  // NBSP and LRM are shown
  EXPECT_TRUE(isControlCodePoint(0x9F));
  EXPECT_FALSE(isControlCodePoint(0xA0));
}

TEST(Text, DecodingStopsAtAWholeCharacterThatFits) {
  EXPECT_EQ(decoded("abcdef", 4), "abc");
  EXPECT_EQ(decoded("ab\xc3\xab", 4), "ab");  // the two-byte character does not fit whole
  EXPECT_EQ(decoded("ab\xeb", 5), "ab\xc3\xab");
  // A full field of Latin-1 always fits its decodedTextSize.
  const std::string field(25, '\xe9');
  char out[decodedTextSize(25)];
  EXPECT_EQ(decodeText(out, sizeof out, field.data(), field.size()), 50u);
  EXPECT_TRUE(isValidUtf8(out));
  EXPECT_EQ(utf8Length(out), 25u);
  EXPECT_FALSE(isValidUtf8("\xe9"));
}

std::string cell(const char* text) {
  char out[128];
  char* end = putCsvField(out, text);
  EXPECT_LE(static_cast<std::size_t>(end - out), csvFieldRoom(std::strlen(text)));
  return std::string(out, end);
}

TEST(Text, CsvCellsAreNeverFormulas) {
  EXPECT_EQ(cell("Mirabeat 0007"), "Mirabeat 0007");
  EXPECT_EQ(cell(""), "");
  for (const char* formula : {"=1+2", "+1", "-2", "@SUM(A1)", "\tx", "\rx"})
    EXPECT_EQ(cell(formula)[0] == '"' ? cell(formula)[1] : cell(formula)[0], '\'') << formula;
  EXPECT_EQ(cell("=HYPERLINK(\"x\")"), "\"'=HYPERLINK(\"\"x\"\")\"");
  EXPECT_EQ(cell("Team \"A\", lane 3"), "\"Team \"\"A\"\", lane 3\"");
  EXPECT_EQ(cell("a\r\nb"), "\"a\r\nb\"");
  EXPECT_EQ(cell("a=b-c"), "a=b-c");  // only the first character counts
  // The widest cell fits its room.
  const std::string quotes(25, '"');
  EXPECT_EQ(cell(("=" + quotes).c_str()).size(), csvFieldRoom(26) - 1);
}

}  // namespace
}  // namespace kv
