#include "console/win32/controls.h"

#include <commctrl.h>

#include "console/console.h"
#include "console/layout.h"
#include "console/win32/dpi.h"
#include "console/win32/utf16.h"
#include "console/win32/win32_view.h"
#include "link/link.h"
#include "roster/tile_text.h"

namespace kv::win32 {

static_assert(kTooltipStyle == (WS_POPUP | TTS_ALWAYSTIP | TTS_BALLOON));

const ControlDef kOperatorControls[8] = {
    {id::kPortLabel, "STATIC", kPortLabelText, WS_CHILD | WS_VISIBLE, 0},
    {id::kPortList, "COMBOBOX", nullptr, WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST, 0},
    {id::kStart, "BUTTON", kStartText, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, WS_EX_WINDOWEDGE},
    {id::kClearUseless, "BUTTON", kClearUselessText, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, WS_EX_WINDOWEDGE},
    {id::kClearLog, "BUTTON", kClearLogText, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, WS_EX_WINDOWEDGE},
    {id::kLogButton, "BUTTON", kLogButtonText, WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, WS_EX_WINDOWEDGE},
    {id::kDongleLine, "edit", nullptr, WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | ES_WANTRETURN,
     WS_EX_CLIENTEDGE},
    {id::kLinkedCount, "edit", nullptr, WS_CHILD | WS_VISIBLE | ES_READONLY, WS_EX_CLIENTEDGE},
};

const ControlDef kTileControl = {id::kFirstTile, "BUTTON", kEmptyTileText,
                                  WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON | BS_PUSHLIKE | BS_MULTILINE,
                                  WS_EX_CLIENTEDGE};

const ControlDef kTrafficLogControl = {
    id::kTrafficLog, "edit", nullptr,
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_WANTRETURN,
    WS_EX_CLIENTEDGE | WS_EX_DLGMODALFRAME};

const ControlDef kStatusLineControl = {id::kStatusLine, "STATIC", "",
                                       WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, 0};

namespace {

HWND createControl(const ControlDef& def, int id, HWND parent, HINSTANCE instance) {
  const std::wstring className = widen(def.className);
  const std::wstring text = def.text == nullptr ? std::wstring() : widen(def.text);
  return ::CreateWindowExW(def.exStyle, className.c_str(), def.text == nullptr ? nullptr : text.c_str(), def.style,
                           0, 0, kCreationSize, kCreationSize, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

}  // namespace

void createControls(HWND mainWindow, HINSTANCE tooltipInstance, Win32View& view, Link& link) {
  const auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(mainWindow, GWLP_HINSTANCE));
  // A control that cannot be made is simply missing: messages to it do
  // nothing.
  for (const ControlDef& def : kOperatorControls) createControl(def, def.id, mainWindow, instance);

  for (int i = 0; i < kTileCount; ++i) {
    createControl(kTileControl, id::kFirstTile + i, mainWindow, instance);
    view.tileWindows[i] = ::GetDlgItem(mainWindow, id::kFirstTile + i);
    view.tileTooltips[i] =
        ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, kTooltipStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                          CW_USEDEFAULT, mainWindow, nullptr, tooltipInstance, nullptr);
    view.tileToolAdded[i] = false;
  }

  createControl(kTrafficLogControl, kTrafficLogControl.id, mainWindow, instance);
  createControl(kStatusLineControl, kStatusLineControl.id, mainWindow, instance);
  link.enumerateComPorts();
  ::SendDlgItemMessageW(mainWindow, id::kTrafficLog, EM_LIMITTEXT, kLogTextLimit, 0);
}

void layoutControls(HWND mainWindow) {
  RECT client;
  if (!::GetClientRect(mainWindow, &client)) client = RECT{0, 0, 0, 0};
  const int x0 = client.left;
  const int y0 = client.top;
  // The places are given at 96 dpi; on a monitor of another scale they grow
  // with it (at 96 dpi they are the places themselves).
  const int dpi = dpiOf(mainWindow);
  auto place = [&](const ControlPlace& p, HWND after, UINT flags) {
    ::SetWindowPos(::GetDlgItem(mainWindow, p.id), after, x0 + scaled(p.x, dpi), y0 + scaled(p.y, dpi),
                   scaled(p.width, dpi), scaled(p.height, dpi), flags);
  };
  for (const ControlPlace& p : kPlacedControls) place(p, nullptr, SWP_NOZORDER);
  place(kStatusLinePlace, nullptr, SWP_NOZORDER);
  for (int i = 0; i < kTileCount; ++i) place(tilePlace(i), HWND_TOP, 0);
}

INT_PTR CALLBACK aboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        ::EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace kv::win32
