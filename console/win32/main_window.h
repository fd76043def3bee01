// The Windows program: its texts, the main window's class and window
// procedure, start-up, the message loop and the shutdown.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "console/console.h"
#include "console/win32/class_display.h"
#include "console/win32/tile_paint.h"
#include "console/win32/win32_view.h"

namespace kv::win32 {

inline constexpr int kTextSize = 256;

// Everything the program keeps for its one main window. The window finds
// it through its creation parameter.
struct Win32Console {
  Win32Console() {
    core.brushes.setMaker(&brushMaker);
    classDisplay.core = &core;
  }
  Win32Console(const Win32Console&) = delete;
  Win32Console& operator=(const Win32Console&) = delete;

  HINSTANCE instance = nullptr;
  wchar_t title[kTextSize] = {};
  wchar_t className[kTextSize] = {};
  HWND mainWindow = nullptr;
  // The view and the brush maker outlive the core that uses them.
  Win32View view;
  GdiBrushMaker brushMaker;
  ConsoleCore core{view};
  ClassDisplay classDisplay;
};

// Loads the window title (string 103) and the class name (string 109).
void loadTexts(Win32Console& app, HINSTANCE instance);
// Registers the main window's class; the result may be ignored.
ATOM registerMainClass(Win32Console& app);
// Makes the main window and its controls and starts the console; true when
// it is up and shown.
bool createMainWindow(Win32Console& app, int showCommand);
// Runs the message loop until the quit message; returns its exit code.
int runMessageLoop(Win32Console& app);
// The whole program: returns its exit code.
int runConsole(HINSTANCE instance, int showCommand);

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kv::win32
