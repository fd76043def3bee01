#include "base/text.h"

#include <cstring>

namespace kv {

void formatHex(const std::uint8_t* bytes, std::size_t count, char* out, bool upperCase) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  for (std::size_t i = 0; i < count; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0x0F];
  }
  out[2 * count] = '\0';
}

void copyTextField(char* out, const std::uint8_t* field, std::size_t width) {
  std::memcpy(out, field, width);
  out[width] = '\0';
}

bool isControlCodePoint(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

namespace {

// One UTF-8 character at `s` (n bytes left): its code point and length.
// 0: not valid UTF-8 here; -1: valid so far but cut short by the end.
int decodeUtf8(const unsigned char* s, std::size_t n, std::uint32_t* cp) {
  const unsigned char c = s[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  int len = 0;
  std::uint32_t v = 0, min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, v = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, v = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    if (static_cast<std::size_t>(i) >= n) return -1;
    if ((s[i] & 0xC0) != 0x80) return 0;
    v = (v << 6) | (s[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

// The bytes that are the text: up to the first NUL, at most `length`.
std::size_t textLength(const char* text, std::size_t length) { return strnlen(text, length); }

// Valid UTF-8 all through; a character cut short at the very end counts
// only when `cutAllowed`.
bool validUtf8(const unsigned char* s, std::size_t n, bool cutAllowed) {
  std::size_t i = 0;
  while (i < n) {
    std::uint32_t cp = 0;
    const int len = decodeUtf8(s + i, n - i, &cp);
    if (len == 0) return false;
    if (len < 0) return cutAllowed;
    i += static_cast<std::size_t>(len);
  }
  return true;
}

std::size_t encodeUtf8(std::uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

std::size_t decodeText(char* out, std::size_t size, const char* text, std::size_t length) {
  if (size == 0) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const std::size_t n = textLength(text, length);
  // Only a text that fills all of its length can have been cut short.
  const bool utf8 = validUtf8(s, n, n == length);
  std::size_t o = 0;
  std::size_t i = 0;
  while (i < n) {
    std::uint32_t cp = s[i];
    std::size_t used = 1;
    if (utf8) {
      const int len = decodeUtf8(s + i, n - i, &cp);
      if (len < 0) break;  // cut short by the end of the field
      used = static_cast<std::size_t>(len);
    }
    char encoded[4];
    std::size_t m = 1;
    if (isControlCodePoint(cp)) {
      encoded[0] = kStandIn;
    } else {
      m = encodeUtf8(cp, encoded);
    }
    if (o + m + 1 > size) break;
    std::memcpy(out + o, encoded, m);
    o += m;
    i += used;
  }
  out[o] = '\0';
  return o;
}

std::size_t decodeText(char* out, std::size_t size, const char* text) {
  // A terminated text ends where it was meant to: nothing in it is cut.
  const std::size_t n = std::strlen(text);
  return decodeText(out, size, text, n + 1);
}

bool isValidUtf8(const char* text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const std::size_t n = std::strlen(text);
  std::size_t i = 0;
  while (i < n) {
    std::uint32_t cp = 0;
    const int len = decodeUtf8(s + i, n - i, &cp);
    if (len <= 0) return false;
    i += static_cast<std::size_t>(len);
  }
  return true;
}

std::size_t utf8Length(const char* text) {
  std::size_t n = 0;
  for (const char* c = text; *c != '\0'; ++c) n += (static_cast<unsigned char>(*c) & 0xC0) != 0x80;
  return n;
}

void formatColonAddress(const char* address, std::size_t count, char* out) {
  if (count > 12) count = 12;
  std::size_t o = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && i % 2 == 0) out[o++] = ':';
    const auto c = static_cast<unsigned char>(address[i]);
    out[o++] = c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : kStandIn;
  }
  out[o] = '\0';
}

char* putCsvField(char* out, const char* text) {
  const char first = text[0];
  const bool formula = first == '=' || first == '+' || first == '-' || first == '@' || first == '\t' || first == '\r';
  const bool quoted = std::strpbrk(text, ",\"\r\n") != nullptr;
  if (quoted) *out++ = '"';
  if (formula) *out++ = '\'';
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c == '"') *out++ = '"';
    *out++ = *c;
  }
  if (quoted) *out++ = '"';
  return out;
}

}  // namespace kv
