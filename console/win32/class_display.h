// The class display (View > Class display, F11): the linked devices, big,
// in a window of its own for a TV or projector. What it shows and where
// comes from the core (console/class_display.h); this paints it with GDI.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "console/class_display.h"

namespace kv {
class ConsoleCore;
}

namespace kv::win32 {

inline constexpr const char* kClassDisplayClass = "KoravelClassDisplay";
inline constexpr const wchar_t* kClassDisplayClassW = L"KoravelClassDisplay";

// The window, made when it opens and destroyed when it closes.
struct ClassDisplay {
  ConsoleCore* core = nullptr;
  HWND window = nullptr;
  bool fullScreen = false;
  ClassDisplayCells shown;
};

// Opens it (full screen on the largest monitor other than `mainWindow`'s,
// when there is one; otherwise a normal window), or closes it when open.
void toggleClassDisplay(ClassDisplay& display, HINSTANCE instance, HWND mainWindow);
// Closes it if open.
void closeClassDisplay(ClassDisplay& display);
// Looks at the roster; true when what it shows changed.
bool refreshClassDisplay(ClassDisplay& display);
// Paints `count` cells (none: the line that says how to link) over a
// width x height area of `dc`.
void paintClassDisplay(HDC dc, int width, int height, const ClassCell* cells, int count);

}  // namespace kv::win32
