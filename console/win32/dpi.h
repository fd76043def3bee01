// Dots per inch. The program says it is aware of each monitor's own (its
// manifest): Windows then draws nothing of it stretched, and the program
// lays itself out at the monitor's scale, sizes given at 96 dpi.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kv::win32 {

inline constexpr int kBaseDpi = 96;

// The window's monitor's dpi (the system's on a Windows before 10).
int dpiOf(HWND window);
// The system's dpi, for a window not yet made.
int systemDpi();
// `value` (at 96 dpi) at `dpi`.
inline int scaled(int value, int dpi) { return ::MulDiv(value, dpi, kBaseDpi); }

}  // namespace kv::win32
