// The main window's controls: what they are, where they go, and the About
// box.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace kv {
class Link;
}

namespace kv::win32 {

class Win32View;

// One child control as it is created (at 0, 0, 10 x 10).
struct ControlDef {
  int id;
  const char* className;
  const char* text;
  DWORD style;
  DWORD exStyle;
};

// The operator controls, in order of creation (the tiles and the traffic
// log come after them).
extern const ControlDef kOperatorControls[8];
extern const ControlDef kTileControl;      // id: that of tile 0
extern const ControlDef kTrafficLogControl;
extern const ControlDef kStatusLineControl;  // made last, after the traffic log
inline constexpr DWORD kTooltipStyle = WS_POPUP | 0x01 /*TTS_ALWAYSTIP*/ | 0x40 /*TTS_BALLOON*/;

// WM_CREATE: makes every control, the 40 tiles with their tooltip windows
// (owned by `mainWindow`, made with `tooltipInstance`), lists the ports
// through the link and limits the traffic log's text.
void createControls(HWND mainWindow, HINSTANCE tooltipInstance, Win32View& view, Link& link);

// WM_SIZE: puts the controls at their fixed places.
void layoutControls(HWND mainWindow);

// The About box's dialog procedure.
INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace kv::win32
