#include "console/win32/utf16.h"

#include <cstring>

namespace kv::win32 {

int toUtf16(const char* utf8, wchar_t* out, int size) {
  return toUtf16(utf8, utf8 == nullptr ? 0 : std::strlen(utf8), out, size);
}

int toUtf16(const char* utf8, std::size_t length, wchar_t* out, int size) {
  if (out == nullptr || size <= 0) return 0;
  out[0] = L'\0';
  if (utf8 == nullptr || length == 0) return 0;
  int bytes = length > static_cast<std::size_t>(size) ? size : static_cast<int>(length);
  // A UTF-8 text never has more UTF-16 units than bytes: cut to what the
  // buffer holds, at the start of a character.
  if (bytes > size - 1) {
    bytes = size - 1;
    while (bytes > 0 && (static_cast<unsigned char>(utf8[bytes]) & 0xC0) == 0x80) --bytes;
  }
  if (bytes <= 0) return 0;
  // The core's texts are valid UTF-8; should one not be, the converter's
  // replacement character stands for what is wrong.
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8, bytes, out, size - 1);
  if (n < 0) n = 0;
  out[n] = L'\0';
  return n;
}

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string narrow(const wchar_t* utf16) {
  if (utf16 == nullptr || utf16[0] == L'\0') return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, utf16, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

std::string narrow(const std::wstring& utf16) { return narrow(utf16.c_str()); }

}  // namespace kv::win32
