#include "console/win32/dpi.h"

namespace kv::win32 {

namespace {

// Windows 10's calls, looked up so that the program still starts on an
// older Windows.
template <class F>
F user32Function(const char* name) {
  HMODULE user32 = ::GetModuleHandleW(L"user32.dll");
  return user32 == nullptr ? nullptr : reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(user32, name)));
}

int screenDpi() {
  HDC screen = ::GetDC(nullptr);
  const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : kBaseDpi;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : kBaseDpi;
}

}  // namespace

int dpiOf(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto forWindow = user32Function<GetDpiForWindowFn>("GetDpiForWindow");
  if (forWindow != nullptr && window != nullptr) {
    const UINT dpi = forWindow(window);
    if (dpi > 0) return static_cast<int>(dpi);
  }
  return systemDpi();
}

int systemDpi() {
  using GetDpiForSystemFn = UINT(WINAPI*)();
  static const auto forSystem = user32Function<GetDpiForSystemFn>("GetDpiForSystem");
  if (forSystem != nullptr) {
    const UINT dpi = forSystem();
    if (dpi > 0) return static_cast<int>(dpi);
  }
  return screenDpi();
}

}  // namespace kv::win32
