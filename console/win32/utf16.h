// The core's texts are UTF-8; Windows' own are UTF-16. Conversions into a
// buffer of the caller's (the data path: tile texts, log lines) and, for
// paths and settings, into strings.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>
#include <string>

namespace kv::win32 {

// Converts the UTF-8 text into `out` (`size` wide characters, size > 0),
// always terminated; a text that does not fit is cut at a whole character.
// Returns the length written.
int toUtf16(const char* utf8, wchar_t* out, int size);
// The same for the first `length` bytes of `utf8`.
int toUtf16(const char* utf8, std::size_t length, wchar_t* out, int size);

// A fixed-size wide copy of a UTF-8 text, for one call.
template <int N>
struct Wide {
  explicit Wide(const char* utf8) { length = toUtf16(utf8, text, N); }
  wchar_t text[N];
  int length = 0;
  const wchar_t* c_str() const { return text; }
};

std::wstring widen(const std::string& utf8);
std::string narrow(const wchar_t* utf16);
std::string narrow(const std::wstring& utf16);

}  // namespace kv::win32
