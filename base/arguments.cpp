#include "base/arguments.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>
#endif

namespace kv {

std::vector<std::string> utf8Arguments(int argc, char** argv) {
  std::vector<std::string> out;
#ifdef _WIN32
  int n = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  for (int i = 0; wide != nullptr && i < n; ++i) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), size, nullptr, nullptr);
    s.resize(std::char_traits<char>::length(s.c_str()));
    out.push_back(s);
  }
  if (wide != nullptr) ::LocalFree(wide);
  if (!out.empty()) return out;
#endif
  for (int i = 0; i < argc; ++i) out.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return out;
}

std::vector<const char*> argumentPointers(const std::vector<std::string>& args) {
  std::vector<const char*> out;
  out.reserve(args.size());
  for (const std::string& a : args) out.push_back(a.c_str());
  return out;
}

}  // namespace kv
