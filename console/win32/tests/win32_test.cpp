// koravel_win32_test: checks of the Windows program's window layer, run in
// one process under Wine (or Windows) with the program's own resources. It
// makes the real main window and works on it directly: the controls and
// their styles, the tooltips, the tile painting, the log operations, the
// waits that serve the link threads, and the shutdown.
//
// Prints "ok - NAME" or "not ok - NAME" per test (with the failed checks
// before it) and exits with 1 when a test failed.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "console/console.h"
#include "console/win32/controls.h"
#include "console/win32/main_window.h"
#include "console/win32/resource.h"
#include "console/win32/tile_paint.h"
#include "console/win32/utf16.h"
#include "participants/participants.h"
#include "roster/slot_table.h"

namespace {

using kv::win32::Win32Console;

int g_checksFailed = 0;

bool expect(bool ok, const char* what, int line) {
  if (!ok) {
    ++g_checksFailed;
    std::printf("#   line %d: %s\n", line, what);
  }
  return ok;
}
#define EXPECT(cond) expect((cond), #cond, __LINE__)

Win32Console* g_app = nullptr;
HWND mainWindow() { return g_app->mainWindow; }
HWND item(int id) { return ::GetDlgItem(mainWindow(), id); }

std::string textOf(HWND w) {
  char buf[4096] = "";
  ::GetWindowTextA(w, buf, sizeof buf);
  return buf;
}

std::string logText() {
  const int n = ::GetWindowTextLengthA(item(kv::id::kTrafficLog));
  std::string s(static_cast<std::size_t>(n) + 1, '\0');
  ::GetWindowTextA(item(kv::id::kTrafficLog), s.data(), n + 1);
  s.resize(static_cast<std::size_t>(n));
  return s;
}

ULONGLONG nowMs() { return ::GetTickCount64(); }

// A 32-bit top-down bitmap in a memory device context, filled white.
struct Canvas {
  Canvas(int w, int h) : width(w), height(h) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    dc = ::CreateCompatibleDC(nullptr);
    bitmap = ::CreateDIBSection(dc, &bi, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
    old = ::SelectObject(dc, bitmap);
    RECT all{0, 0, w, h};
    ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    ::GdiFlush();
  }
  ~Canvas() {
    ::SelectObject(dc, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
  }
  COLORREF at(int x, int y) const {
    ::GdiFlush();
    const std::uint32_t v = bits[y * width + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
  }
  int width, height;
  HDC dc;
  HBITMAP bitmap;
  HGDIOBJ old;
  std::uint32_t* bits = nullptr;
};

// ---- resources ----

void testResources() {
  HINSTANCE self = ::GetModuleHandleA(nullptr);
  char text[64] = "";
  ::LoadStringA(self, IDS_APP_TITLE, text, sizeof text);
  EXPECT(std::strcmp(text, "Koravel  v2.0a") == 0);
  ::LoadStringA(self, IDS_WINDOW_CLASS, text, sizeof text);
  EXPECT(std::strcmp(text, "MAIN") == 0);

  // The version Explorer shows, in numbers and as the release names it.
  char path[MAX_PATH] = "";
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  static char info[4096];
  if (EXPECT(::GetFileVersionInfoA(path, 0, sizeof info, info))) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (EXPECT(::VerQueryValueA(info, "\\", reinterpret_cast<void**>(&fixed), &size)))
      EXPECT(fixed->dwProductVersionMS == MAKELONG(0, 2) && fixed->dwProductVersionLS == 0);
    char* value = nullptr;
    if (EXPECT(::VerQueryValueA(info, "\\StringFileInfo\\040904B0\\ProductVersion", reinterpret_cast<void**>(&value), &size)))
      EXPECT(std::strcmp(value, "2.0a") == 0);
  }

  HMENU menu = ::LoadMenuA(self, MAKEINTRESOURCEA(IDC_KORAVEL));
  if (EXPECT(menu != nullptr) && EXPECT(::GetMenuItemCount(menu) == 3)) {
    struct Want {
      const char* item;
      UINT id;  // 0: a separator
    };
    struct Popup {
      const char* name;
      std::vector<Want> items;
    };
    const Popup want[] = {{"&File",
                           {{"Record readings...\tCtrl+R", IDM_RECORD},
                            {"Mark\tF9", IDM_MARK},
                            {"Session report...", IDM_SESSION_REPORT},
                            {"", 0},
                            {"Participants...", IDM_PARTICIPANTS},
                            {"No participants", IDM_NO_PARTICIPANTS},
                            {"Save heard devices as participants...", IDM_SAVE_HEARD},
                            {"", 0},
                            {"E&xit", IDM_EXIT}}},
                          {"&View", {{"&Class display\tF11", IDM_CLASS_DISPLAY}}},
                          {"&Help", {{"&About ...", IDM_ABOUT}}}};
    for (int i = 0; i < 3; ++i) {
      ::GetMenuStringA(menu, static_cast<UINT>(i), text, sizeof text, MF_BYPOSITION);
      EXPECT(std::strcmp(text, want[i].name) == 0);
      HMENU popup = ::GetSubMenu(menu, i);
      if (!EXPECT(popup != nullptr && ::GetMenuItemCount(popup) == static_cast<int>(want[i].items.size()))) continue;
      for (std::size_t k = 0; k < want[i].items.size(); ++k) {
        const Want& w = want[i].items[k];
        const UINT state = ::GetMenuState(popup, static_cast<UINT>(k), MF_BYPOSITION);
        if (w.id == 0) {
          EXPECT((state & MF_SEPARATOR) != 0);
          continue;
        }
        EXPECT(::GetMenuItemID(popup, static_cast<int>(k)) == w.id);
        ::GetMenuStringA(popup, static_cast<UINT>(k), text, sizeof text, MF_BYPOSITION);
        EXPECT(std::strcmp(text, w.item) == 0);
        // "Mark" waits for a recording.
        EXPECT(((state & MF_GRAYED) != 0) == (w.id == IDM_MARK));
      }
    }
    ::DestroyMenu(menu);
  }

  // Alt with the characters "?" and "/": character codes, not virtual keys.
  HACCEL accel = ::LoadAcceleratorsA(self, MAKEINTRESOURCEA(IDC_KORAVEL));
  ACCEL entries[6] = {};
  // F11, a virtual key: the class display; Ctrl+R records, F9 marks.
  if (EXPECT(accel != nullptr) && EXPECT(::CopyAcceleratorTableA(accel, entries, 6) == 5)) {
    for (const ACCEL& a : entries) {
      if (a.cmd == 0) continue;
      if (a.cmd == IDM_CLASS_DISPLAY) {
        EXPECT(a.key == VK_F11 && (a.fVirt & ~0x80) == FVIRTKEY);
        continue;
      }
      if (a.cmd == IDM_RECORD) {
        EXPECT(a.key == 'R' && (a.fVirt & ~0x80) == (FVIRTKEY | FCONTROL));
        continue;
      }
      if (a.cmd == IDM_MARK) {
        EXPECT(a.key == VK_F9 && (a.fVirt & ~0x80) == FVIRTKEY);
        continue;
      }
      EXPECT(a.cmd == IDM_ABOUT);
      EXPECT((a.fVirt & ~0x80) == FALT);  // 0x80: last-entry flag
      EXPECT(a.key == '?' || a.key == '/');
    }
    EXPECT(entries[0].key != entries[1].key);
  }

  // The icons: 32 x 32 for the large one, 16 x 16 for the small one.
  for (const auto& [id, size] : {std::pair{IDI_KORAVEL, 32}, std::pair{IDI_SMALL, 16}}) {
    HRSRC group = ::FindResourceA(self, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(14) /*RT_GROUP_ICON*/);
    if (!EXPECT(group != nullptr)) continue;
    auto* dir = static_cast<PBYTE>(::LockResource(::LoadResource(self, group)));
    const int iconId = ::LookupIconIdFromDirectoryEx(dir, TRUE, size, size, LR_DEFAULTCOLOR);
    HRSRC image = ::FindResourceA(self, MAKEINTRESOURCEA(iconId), MAKEINTRESOURCEA(3) /*RT_ICON*/);
    if (!EXPECT(image != nullptr)) continue;
    const auto* header = static_cast<const BITMAPINFOHEADER*>(::LockResource(::LoadResource(self, image)));
    EXPECT(header->biWidth == size && header->biHeight == 2 * size);
  }

  // The About box template and the manifest.
  HRSRC dialog = ::FindResourceA(self, MAKEINTRESOURCEA(IDD_ABOUTBOX), MAKEINTRESOURCEA(5) /*RT_DIALOG*/);
  if (EXPECT(dialog != nullptr)) {
    const auto* t = static_cast<const DLGTEMPLATE*>(::LockResource(::LoadResource(self, dialog)));
    const DWORD want = WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    EXPECT((t->style & want) == want);
    EXPECT(t->x == 22 && t->y == 17 && t->cx == 230 && t->cy == 75 && t->cdit == 3);
  }
  HRSRC manifest = ::FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24) /*RT_MANIFEST*/);
  if (EXPECT(manifest != nullptr)) {
    const std::string m(static_cast<const char*>(::LockResource(::LoadResource(self, manifest))),
                        ::SizeofResource(self, manifest));
    EXPECT(m.find("Microsoft.Windows.Common-Controls") != std::string::npos);
    EXPECT(m.find("version=\"6.0.0.0\"") != std::string::npos);
    EXPECT(m.find("level=\"asInvoker\"") != std::string::npos);
    EXPECT(m.find("uiAccess=\"false\"") != std::string::npos);
    // Sharp at any scale: each monitor's own dpi.
    EXPECT(m.find(">PerMonitorV2, PerMonitor</dpiAwareness>") != std::string::npos);
    EXPECT(m.find(">true/pm</dpiAware>") != std::string::npos);
  }
}

const WORD* skipNameOrOrdinal(const WORD* p) {
  if (*p == 0xFFFF) return p + 2;
  while (*p != 0) ++p;
  return p + 1;
}

// Control `id` of a DIALOG (not DIALOGEX) template, as the resource holds it.
const DLGITEMTEMPLATE* findDialogItem(const DLGTEMPLATE* t, int id) {
  const WORD* p = reinterpret_cast<const WORD*>(t + 1);
  p = skipNameOrOrdinal(p);  // menu
  p = skipNameOrOrdinal(p);  // class
  p = skipNameOrOrdinal(p);  // caption
  if (t->style & DS_SETFONT) p = skipNameOrOrdinal(p + 1);  // point size, face name
  for (int i = 0; i < t->cdit; ++i) {
    const auto at = (reinterpret_cast<UINT_PTR>(p) + 3) & ~static_cast<UINT_PTR>(3);  // items are DWORD-aligned
    const auto* item = reinterpret_cast<const DLGITEMTEMPLATE*>(at);
    if (item->id == static_cast<WORD>(id)) return item;
    p = skipNameOrOrdinal(skipNameOrOrdinal(reinterpret_cast<const WORD*>(item + 1)));  // class, title
    p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p + 1) + *p);      // creation data
  }
  return nullptr;
}

// The About box's icon control: 20 x 20 dialog units at 14, 9 in the
// template, showing the program's icon. A static control with SS_ICON
// sizes its window to the icon it loads, so the template is where its
// size is kept; the window is checked for its place and its icon.
void testAboutBox() {
  HINSTANCE self = ::GetModuleHandleA(nullptr);
  HRSRC resource = ::FindResourceA(self, MAKEINTRESOURCEA(IDD_ABOUTBOX), MAKEINTRESOURCEA(5) /*RT_DIALOG*/);
  if (!EXPECT(resource != nullptr)) return;
  const auto* t = static_cast<const DLGTEMPLATE*>(::LockResource(::LoadResource(self, resource)));
  const DLGITEMTEMPLATE* item = findDialogItem(t, IDC_ABOUT_ICON);
  if (EXPECT(item != nullptr) && !EXPECT(item->x == 14 && item->y == 9 && item->cx == 20 && item->cy == 20))
    std::printf("#   icon control in the template at %d,%d size %dx%d\n", item->x, item->y, item->cx, item->cy);

  HWND about = ::CreateDialogParamA(self, MAKEINTRESOURCEA(IDD_ABOUTBOX), mainWindow(), kv::win32::aboutDialogProc, 0);
  if (!EXPECT(about != nullptr)) return;
  HWND icon = ::GetDlgItem(about, IDC_ABOUT_ICON);
  if (EXPECT(icon != nullptr)) {
    RECT place{14, 9, 0, 0};
    ::MapDialogRect(about, &place);
    RECT got{};
    ::GetWindowRect(icon, &got);
    ::MapWindowPoints(HWND_DESKTOP, about, reinterpret_cast<POINT*>(&got), 2);
    EXPECT(got.left == place.left && got.top == place.top);
    const auto shown = reinterpret_cast<HICON>(::SendMessageA(icon, STM_GETICON, 0, 0));
    EXPECT(shown != nullptr);
    // Icons loaded by id are shared: the control's is the program's own.
    EXPECT(shown == ::LoadIconA(self, MAKEINTRESOURCEA(IDI_KORAVEL)));
  }
  ::DestroyWindow(about);
}

// ---- the main window and its controls ----

void expectControl(const kv::win32::ControlDef& def, int id) {
  HWND w = item(id);
  if (!expect(w != nullptr, ("control " + std::to_string(id) + " exists").c_str(), __LINE__)) return;
  char cls[64] = "";
  ::GetClassNameA(w, cls, sizeof cls);
  expect(_stricmp(cls, def.className) == 0, ("class of control " + std::to_string(id)).c_str(), __LINE__);
  const auto style = static_cast<DWORD>(::GetWindowLongA(w, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(::GetWindowLongA(w, GWL_EXSTYLE));
  // A combo box's own style bits come back with extras; the ones asked for
  // must all be there.
  expect((style & def.style) == def.style, ("style of control " + std::to_string(id)).c_str(), __LINE__);
  // WS_EX_WINDOWEDGE is the system's to set or clear on a child.
  const DWORD wantEx = def.exStyle & ~static_cast<DWORD>(WS_EX_WINDOWEDGE);
  expect((exStyle & wantEx) == wantEx, ("extended style of control " + std::to_string(id)).c_str(),
         __LINE__);
  if (def.text != nullptr)
    expect(textOf(w) == def.text, ("text of control " + std::to_string(id)).c_str(), __LINE__);
}

void testControls() {
  for (const auto& def : kv::win32::kOperatorControls) expectControl(def, def.id);
  for (int i = 0; i < kv::kTileCount; ++i) expectControl(kv::win32::kTileControl, kv::id::kFirstTile + i);
  expectControl(kv::win32::kTrafficLogControl, kv::id::kTrafficLog);
  EXPECT(::SendMessageA(item(kv::id::kTrafficLog), EM_GETLIMITTEXT, 0, 0) == 2097152);

  int tooltips = 0;
  for (int i = 0; i < kv::kTileCount; ++i) {
    HWND tile = g_app->view.tileWindows[i];
    HWND tip = g_app->view.tileTooltips[i];
    EXPECT(tile == item(kv::id::kFirstTile + i));
    if (!EXPECT(tip != nullptr)) continue;
    char cls[64] = "";
    ::GetClassNameA(tip, cls, sizeof cls);
    const auto style = static_cast<DWORD>(::GetWindowLongA(tip, GWL_STYLE));
    tooltips += _stricmp(cls, TOOLTIPS_CLASSA) == 0 && ::GetWindow(tip, GW_OWNER) == mainWindow() &&
                (style & (TTS_ALWAYSTIP | TTS_BALLOON)) == (TTS_ALWAYSTIP | TTS_BALLOON);
  }
  EXPECT(tooltips == kv::kTileCount);

  // The tiles were put on top of their siblings in order, so tile 39 is
  // first in the sibling order and tile 0 follows the other 39.
  EXPECT(::GetWindow(mainWindow(), GW_CHILD) == item(kv::id::kFirstTile + 39));
  EXPECT(::GetWindow(item(kv::id::kFirstTile + 1), GW_HWNDNEXT) == item(kv::id::kFirstTile + 0));
  // The status line was made last, after the traffic log: it is the last
  // sibling, right after the log.
  EXPECT(::GetWindow(item(kv::id::kTrafficLog), GW_HWNDNEXT) == item(kv::id::kStatusLine));
  EXPECT(item(kv::id::kStatusLine) != nullptr && ::GetWindow(item(kv::id::kStatusLine), GW_HWNDNEXT) == nullptr);

  // The window's class.
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  if (EXPECT(::GetClassInfoExA(::GetModuleHandleA(nullptr), "MAIN", &wc))) {
    EXPECT(wc.style == (CS_HREDRAW | CS_VREDRAW));
    EXPECT(wc.hbrBackground == reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENUBAR + 1)));
    EXPECT(wc.lpszMenuName == MAKEINTRESOURCEA(IDC_KORAVEL));
    EXPECT(wc.hIcon != nullptr && wc.hIconSm != nullptr && wc.hCursor != nullptr);
  }
}

// ---- tooltips ----

std::string toolText(HWND tip, HWND tile) {
  char text[128] = "";
  TOOLINFOA ti{};
  ti.cbSize = sizeof ti;
  ti.hwnd = mainWindow();
  ti.uId = reinterpret_cast<UINT_PTR>(tile);
  ti.lpszText = text;
  ::SendMessageA(tip, TTM_GETTEXTA, sizeof text, reinterpret_cast<LPARAM>(&ti));
  return text;
}

void testTooltipOneToolPerTile() {
  auto& view = g_app->view;
  HWND tip = view.tileTooltips[3];
  HWND tile = view.tileWindows[3];
  EXPECT(::SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0) == 0);
  view.setTileTooltip(3, "0A:1B:2C:3D:4E:5F");
  EXPECT(::SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0) == 1);
  EXPECT(toolText(tip, tile) == "0A:1B:2C:3D:4E:5F");
  for (int i = 0; i < 5; ++i) view.setTileTooltip(3, "0A:1B:2C:3D:4E:5F");
  view.setTileTooltip(3, "11:22:33:44:55:66");  // another device in the same tile
  EXPECT(::SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0) == 1);
  EXPECT(toolText(tip, tile) == "11:22:33:44:55:66");
  // Switched off and on again, the tool is still the one.
  view.deactivateTooltip(3);
  view.setTileTooltip(3, "0A:1B:2C:3D:4E:5F");
  EXPECT(::SendMessageA(tip, TTM_GETTOOLCOUNT, 0, 0) == 1);
  // The other tiles' tooltips are untouched; bad slots are ignored.
  view.setTileTooltip(-1, "x");
  view.setTileTooltip(40, "x");
  EXPECT(::SendMessageA(view.tileTooltips[4], TTM_GETTOOLCOUNT, 0, 0) == 0);

  // A posted tooltip request becomes command 1400 + slot, which the core
  // answers with the slot's address.
  auto& core = g_app->core;
  const int slot = core.roster.registerDevice("Coros HRM 1", "A1B2C3D4E5F6");
  view.postTooltipRequest(slot);
  MSG msg;
  while (::PeekMessageA(&msg, mainWindow(), WM_COMMAND, WM_COMMAND, PM_REMOVE)) ::DispatchMessageA(&msg);
  EXPECT(::SendMessageA(view.tileTooltips[slot], TTM_GETTOOLCOUNT, 0, 0) == 1);
  EXPECT(toolText(view.tileTooltips[slot], view.tileWindows[slot]) == "A1:B2:C3:D4:E5:F6");
  core.roster.resetRoster();
}

// ---- tile labels ----

bool tileLinked(int slot) {
  std::uint8_t brand = 0;
  return g_app->core.roster.linkedBrand(slot, &brand);
}

// Alt+letter as a dialog's keyboard handling sees it: the character with
// Alt held, for whichever control has a matching "&" mark.
void pressAltWith(char letter) {
  MSG msg{};
  msg.hwnd = mainWindow();
  msg.message = WM_SYSCHAR;
  msg.wParam = static_cast<WPARAM>(letter);
  msg.lParam = 0x20000001;  // repeat 1, Alt down
  ::IsDialogMessageA(mainWindow(), &msg);
}

void testTileLabels() {
  auto& core = g_app->core;
  const int slot = core.roster.registerDevice("Team&Go 7", "0A1B2C3D4E70");
  if (!EXPECT(slot >= 0)) return;
  HWND tile = g_app->view.tileWindows[slot];

  // A label with a single "&" would be a mnemonic: Alt+G presses the tile
  // and links it. Without this the check below would prove nothing.
  ::SetWindowTextA(tile, "Team&Go 7\n\n");
  pressAltWith('g');
  EXPECT(tileLinked(slot));
  core.roster.toggleLink(kv::id::kFirstTile + slot);
  EXPECT(!tileLinked(slot));

  // The name as the core shows it: drawn as it is, "&" and all.
  core.roster.showTileText(slot, 65535, 65535, 65535);
  EXPECT(textOf(tile) == "Team&&Go 7\n\n");
  for (char letter : {'g', 'G'}) {
    pressAltWith(letter);
    EXPECT(!tileLinked(slot));
  }
  // Names without "&" are set unchanged.
  g_app->view.setTileText(slot, "Coros HRM 0001\n\n");
  EXPECT(textOf(tile) == "Coros HRM 0001\n\n");
  core.roster.resetRoster();
  EXPECT(textOf(tile) == "empty");
}

// ---- tile painting ----

NMCUSTOMDRAW customDraw(int slot, HDC dc, RECT rc, UINT state, int code = NM_CUSTOMDRAW) {
  NMCUSTOMDRAW cd{};
  cd.hdr.hwndFrom = g_app->view.tileWindows[slot];
  cd.hdr.idFrom = static_cast<UINT_PTR>(kv::id::kFirstTile + slot);
  cd.hdr.code = static_cast<UINT>(code);
  cd.dwDrawStage = CDDS_PREPAINT;
  cd.hdc = dc;
  cd.rc = rc;
  cd.uItemState = state;
  return cd;
}

void testGradientBrush() {
  kv::win32::GdiBrushMaker maker;
  Canvas canvas(4, 10);
  maker.setDeviceContext(canvas.dc);
  const auto brush = maker.makeGradientBrush(kv::Rgb{0, 0, 0}, kv::Rgb{255, 255, 255}, 4, 10);
  EXPECT(brush != 0 && maker.liveBrushes() == 1);
  RECT all{0, 0, 4, 10};
  ::FillRect(canvas.dc, &all, reinterpret_cast<HBRUSH>(brush));
  const int grey[10] = {0, 25, 51, 76, 102, 127, 153, 178, 204, 229};
  for (int y = 0; y < 10; ++y) {
    expect(canvas.at(0, y) == RGB(grey[y], grey[y], grey[y]) && canvas.at(3, y) == canvas.at(0, y),
           ("gradient row " + std::to_string(y)).c_str(), __LINE__);
  }
  maker.releaseBrush(brush);
  EXPECT(maker.liveBrushes() == 0);
  // Without a device context the screen's is used.
  maker.setDeviceContext(nullptr);
  const auto flat = maker.makeGradientBrush(kv::Rgb{1, 2, 3}, kv::Rgb{1, 2, 3}, 0, 0);
  EXPECT(flat != 0);
  maker.releaseBrush(flat);
}

void testPaintTile() {
  auto& core = g_app->core;
  auto& maker = g_app->brushMaker;
  const int mira = core.roster.registerDevice("Mirabeat HR-7 1", "0A1B2C3D4E5F");
  const int other = core.roster.registerDevice("Coros HRM 2", "0A1B2C3D4E60");
  const int idle = core.roster.registerDevice("Wahoo TICKR 3", "0A1B2C3D4E61");
  core.roster.toggleLink(kv::id::kFirstTile + mira);
  core.roster.toggleLink(kv::id::kFirstTile + other);
  const RECT rc{0, 0, 60, 30};

  struct Case {
    int slot;
    UINT state;
    COLORREF fill;
  } const cases[] = {{mira, 0, RGB(0, 128, 255)},
                     {mira, CDIS_HOT, RGB(11, 53, 189)},
                     {other, 0, RGB(213, 64, 183)},
                     {other, CDIS_HOT | CDIS_FOCUS, RGB(166, 36, 140)}};
  for (const Case& c : cases) {
    Canvas canvas(60, 30);
    const HGDIOBJ penBefore = ::GetCurrentObject(canvas.dc, OBJ_PEN);
    const HGDIOBJ brushBefore = ::GetCurrentObject(canvas.dc, OBJ_BRUSH);
    NMCUSTOMDRAW cd = customDraw(c.slot, canvas.dc, rc, c.state);
    EXPECT(kv::win32::paintTile(core.roster, core.brushes, maker, &cd.hdr) == CDRF_DODEFAULT);
    expect(canvas.at(30, 15) == c.fill, ("fill of slot " + std::to_string(c.slot)).c_str(), __LINE__);
    EXPECT(canvas.at(0, 15) == RGB(0, 0, 0) && canvas.at(30, 29) == RGB(0, 0, 0));  // outline
    EXPECT(canvas.at(0, 0) == RGB(255, 255, 255));                                     // round corner
    EXPECT(::GetCurrentObject(canvas.dc, OBJ_PEN) == penBefore);
    EXPECT(::GetCurrentObject(canvas.dc, OBJ_BRUSH) == brushBefore);
  }
  // One brush per tile and mouse state, kept for the next paintings.
  EXPECT(core.brushes.cachedCount() == 4 && maker.liveBrushes() == 4);
  {
    Canvas canvas(60, 30);
    NMCUSTOMDRAW cd = customDraw(mira, canvas.dc, rc, 0);
    kv::win32::paintTile(core.roster, core.brushes, maker, &cd.hdr);
    EXPECT(maker.liveBrushes() == 4);
  }

  // An idle tile, and a notification that is not custom drawing, keep the
  // standard look.
  for (const NMCUSTOMDRAW& cd : {customDraw(idle, nullptr, rc, 0), customDraw(mira, nullptr, rc, 0, NM_CLICK)}) {
    Canvas canvas(60, 30);
    NMCUSTOMDRAW copy = cd;
    copy.hdc = canvas.dc;
    EXPECT(kv::win32::paintTile(core.roster, core.brushes, maker, &copy.hdr) == CDRF_DODEFAULT);
    EXPECT(canvas.at(30, 15) == RGB(255, 255, 255) && canvas.at(0, 15) == RGB(255, 255, 255));
  }

  // Through the window: painted only while the scan runs.
  for (int scanning : {0, 1}) {
    core.words.scanning = scanning;
    Canvas canvas(60, 30);
    NMCUSTOMDRAW cd = customDraw(mira, canvas.dc, rc, 0);
    ::SendMessageA(mainWindow(), WM_NOTIFY, cd.hdr.idFrom, reinterpret_cast<LPARAM>(&cd));
    EXPECT(canvas.at(30, 15) == (scanning ? RGB(0, 128, 255) : RGB(255, 255, 255)));
  }
  core.words.scanning = 0;

  core.brushes.emptyBrushCaches();
  EXPECT(maker.liveBrushes() == 0);
  core.roster.resetRoster();
}

// ---- the class display ----

// Saves a canvas as a 32-bit BMP (the Wine tests turn it into a PNG).
void saveBmp(const Canvas& canvas, const std::string& path) {
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = canvas.width;
  info.biHeight = -canvas.height;
  info.biPlanes = 1;
  info.biBitCount = 32;
  info.biCompression = BI_RGB;
  const DWORD bytes = static_cast<DWORD>(canvas.width * canvas.height * 4);
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + bytes;
  ::GdiFlush();
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&file, sizeof file, 1, f);
    std::fwrite(&info, sizeof info, 1, f);
    std::fwrite(canvas.bits, bytes, 1, f);
    std::fclose(f);
  }
}

void testClassDisplay() {
  auto& core = g_app->core;
  kv::win32::ClassDisplay& display = g_app->classDisplay;
  // Opened and closed by the menu's command; one screen: a normal window of
  // 1280 x 720.
  ::SendMessageA(mainWindow(), WM_COMMAND, IDM_CLASS_DISPLAY, 0);
  if (EXPECT(display.window != nullptr)) {
    char title[64] = "", cls[64] = "";
    ::GetWindowTextA(display.window, title, sizeof title);
    ::GetClassNameA(display.window, cls, sizeof cls);
    EXPECT(std::strcmp(title, "Koravel class display") == 0 && std::strcmp(cls, "KoravelClassDisplay") == 0);
    RECT client{};
    ::GetClientRect(display.window, &client);
    EXPECT(!display.fullScreen && client.right == 1280 && client.bottom == 720);
    EXPECT(::IsWindowVisible(display.window));
    EXPECT(display.shown.count == 0);
  }
  // A linked device appears, an unlinked one leaves.
  char name[32], address[16];
  for (int i = 0; i < kv::kTileCount; ++i) {
    std::snprintf(name, sizeof name, i % 3 == 1 ? "Coros %d" : "Mirabeat %d", i + 1);
    std::snprintf(address, sizeof address, "C0FFEE%06d", i);
    const int slot = core.roster.registerDevice(name, address);
    core.roster.applyReading(slot, address, 55 + 3 * i, 60000 / (55 + 3 * i), i == 2 ? 9 : 80);
    if (i < 5) core.roster.toggleLink(kv::id::kFirstTile + slot);
  }
  core.roster.toggleLink(kv::id::kFirstTile + 4);
  EXPECT(kv::win32::refreshClassDisplay(display) && display.shown.count == 4);
  EXPECT(!kv::win32::refreshClassDisplay(display));  // nothing new: no repaint
  EXPECT(std::strcmp(display.shown.cells[2].detail, "RR 983 ms   LOW BATTERY 9 %") == 0);

  // Painted at 1920 x 1080: each cell in its brand's colour; a silent one
  // grey.
  const char* shots = std::getenv("KV_SCREENSHOT_DIR");
  auto paint = [&](int count, const char* file) {
    Canvas canvas(1920, 1080);
    kv::win32::paintClassDisplay(canvas.dc, 1920, 1080, display.shown.cells, count);
    const kv::CellGrid grid = kv::cellGrid(count, 1920, 1080);
    for (int i = 0; i < count; ++i) {
      const kv::CellRect r = kv::cellRect(grid, i, 1920, 1080);
      const COLORREF want = kv::win32::colorRefOf(display.shown.cells[i].fill);
      expect(canvas.at(r.x + 3, r.y + 3) == want, ("cell " + std::to_string(i) + "'s fill").c_str(), __LINE__);
    }
    EXPECT(canvas.at(2, 2) == RGB(0, 0, 0));
    if (shots != nullptr && file != nullptr) saveBmp(canvas, std::string(shots) + "\\" + file);
  };
  paint(4, "class-display-4-win32.bmp");
  display.shown.cells[1].silent = true;
  display.shown.cells[1].fill = kv::kSilentColour;
  std::snprintf(display.shown.cells[1].heartRate, sizeof display.shown.cells[1].heartRate, "silent");
  paint(4, nullptr);
  for (int i = 0; i < kv::kTileCount; ++i)
    if (i != 0 && i != 1 && i != 2 && i != 3) core.roster.toggleLink(kv::id::kFirstTile + i);
  EXPECT(kv::win32::refreshClassDisplay(display) && display.shown.count == 40);
  paint(40, "class-display-40-win32.bmp");
  core.roster.toggleLink(kv::id::kFirstTile + 1);
  EXPECT(kv::win32::refreshClassDisplay(display) && display.shown.count == 39 && display.shown.cells[1].slot == 2);
  // Nothing linked: the line that says how.
  {
    Canvas canvas(1920, 1080);
    kv::win32::paintClassDisplay(canvas.dc, 1920, 1080, display.shown.cells, 0);
    bool text = false;
    for (int x = 0; x < 1920 && !text; x += 2) text = canvas.at(x, 540) == RGB(255, 255, 255);
    EXPECT(text);
  }
  ::SendMessageA(mainWindow(), WM_COMMAND, IDM_CLASS_DISPLAY, 0);
  EXPECT(display.window == nullptr);
  core.roster.resetRoster();
}

// Names in full Unicode and people in zones: a participants file (UTF-8)
// put in force through the console's own reading of it.
void testParticipantsAndUnicode() {
  auto& core = g_app->core;
  auto& view = g_app->view;
  // A tile's label and hover text keep every character.
  const int slot = core.roster.registerDevice("Zo\xC3\xAB's \xCE\x95\xCE\xBB\xCE\xAD\xCE\xBD\xCE\xB7", "0A1B2C3D4E71");
  if (EXPECT(slot >= 0)) {
    core.roster.showTileText(slot, 65535, 65535, 65535);
    wchar_t label[64] = L"";
    ::GetWindowTextW(view.tileWindows[slot], label, 64);
    EXPECT(std::wcsncmp(label, L"Zo\u00EB's \u0395\u03BB\u03AD\u03BD\u03B7", 11) == 0);
  }
  view.setStatusLine("Participants: Zo\xC3\xAB");
  wchar_t status[64] = L"";
  ::GetWindowTextW(item(kv::id::kStatusLine), status, 64);
  EXPECT(std::wcscmp(status, L"Participants: Zo\u00EB") == 0);
  core.roster.resetRoster();

  // The File menu's recording item follows the recording.
  HMENU menu = ::GetMenu(mainWindow());
  wchar_t text[64] = L"";
  view.showRecording(kv::kStopRecordingMenuText, true);
  ::GetMenuStringW(menu, IDM_RECORD, text, 64, MF_BYCOMMAND);
  EXPECT(std::wcscmp(text, L"Stop recording\tCtrl+R") == 0);
  EXPECT((::GetMenuState(menu, IDM_MARK, MF_BYCOMMAND) & MF_GRAYED) == 0);
  view.showRecording(kv::kRecordMenuText, false);
  ::GetMenuStringW(menu, IDM_RECORD, text, 64, MF_BYCOMMAND);
  EXPECT(std::wcscmp(text, L"Record readings...\tCtrl+R") == 0);
  EXPECT((::GetMenuState(menu, IDM_MARK, MF_BYCOMMAND) & MF_GRAYED) != 0);

  // 40 people; the first four with maxima that put them in rest and zones 1
  // to 3, the rest with ages.
  wchar_t folder[MAX_PATH] = L"";
  ::GetTempPathW(MAX_PATH, folder);
  const std::wstring file = std::wstring(folder) + L"koravel-people-\u00EB.csv";
  std::string people = "name;address;max_hr;age\r\n";
  const char* names[] = {"Zo\xC3\xAB", "Ben", "\xCE\x95\xCE\xBB\xCE\xAD\xCE\xBD\xCE\xB7", "\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD"};
  const int maxima[] = {200, 180, 190, 190};
  char line[128];
  for (int i = 0; i < kv::kTileCount; ++i) {
    if (i < 4)
      std::snprintf(line, sizeof line, "%s;C0FFEE%06d;%d;\r\n", names[i], i, maxima[i]);
    else
      std::snprintf(line, sizeof line, "Person %d;C0:FF:EE:%02d:%02d:%02d;;%d\r\n", i + 1, 0, i / 100, i % 100,
                    20 + i);
    people += line;
  }
  HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  if (!EXPECT(h != INVALID_HANDLE_VALUE)) return;
  ::WriteFile(h, people.data(), static_cast<DWORD>(people.size()), &written, nullptr);
  ::CloseHandle(h);
  const std::string path = kv::win32::narrow(file);
  EXPECT(kv::loadParticipants(core, path.c_str()) && core.participants != nullptr &&
         core.participants->count() == kv::kTileCount);
  ::DeleteFileW(file.c_str());

  kv::win32::ClassDisplay& display = g_app->classDisplay;
  char name[32], address[16];
  for (int i = 0; i < kv::kTileCount; ++i) {
    std::snprintf(name, sizeof name, i % 3 == 1 ? "Coros %d" : "Mirabeat %d", i + 1);
    std::snprintf(address, sizeof address, "C0FFEE%06d", i);
    const int s = core.roster.registerDevice(name, address);
    const int hr = i < 4 ? 70 + 25 * i : 80 + 3 * i;
    core.roster.applyReading(s, address, hr, 60000 / hr, 80);
    if (i < 4) core.roster.toggleLink(kv::id::kFirstTile + s);
  }
  EXPECT(kv::win32::refreshClassDisplay(display) && display.shown.count == 4);
  EXPECT(std::strcmp(display.shown.cells[0].name, "Zo\xC3\xAB") == 0);
  EXPECT(std::strcmp(display.shown.cells[0].detail, "REST   35 %") == 0);
  EXPECT(std::strcmp(display.shown.cells[1].detail, "ZONE 1   52 %") == 0);
  EXPECT(std::strcmp(display.shown.cells[2].detail, "ZONE 2   63 %") == 0);
  EXPECT(std::strcmp(display.shown.cells[3].detail, "ZONE 3   76 %") == 0);
  const char* shots = std::getenv("KV_SCREENSHOT_DIR");
  auto paint = [&](int count, const char* shot) {
    Canvas canvas(1920, 1080);
    kv::win32::paintClassDisplay(canvas.dc, 1920, 1080, display.shown.cells, count);
    const kv::CellGrid grid = kv::cellGrid(count, 1920, 1080);
    for (int i = 0; i < count; ++i) {
      const kv::CellRect r = kv::cellRect(grid, i, 1920, 1080);
      expect(canvas.at(r.x + 3, r.y + 3) == kv::win32::colorRefOf(display.shown.cells[i].fill),
             ("zone cell " + std::to_string(i) + "'s fill").c_str(), __LINE__);
    }
    if (shots != nullptr) saveBmp(canvas, std::string(shots) + "\\" + shot);
  };
  // Rest and zones 1 to 3 in the zones' own colours.
  paint(4, "class-display-zones-4-win32.bmp");
  for (int i = 0; i < 4; ++i)
    EXPECT(kv::win32::colorRefOf(display.shown.cells[i].fill) == kv::win32::colorRefOf(kv::zoneColour(i)));
  // Across a boundary: 139 is 69 % of 200 (zone 2), 140 is 70 % (zone 3).
  for (const auto& [hr, detail, zone] : {std::tuple{139, "ZONE 2   69 %", 2}, std::tuple{140, "ZONE 3   70 %", 3}}) {
    core.roster.applyReading(0, "C0FFEE000000", hr, 60000 / hr, 80);
    EXPECT(kv::win32::refreshClassDisplay(display) && std::strcmp(display.shown.cells[0].detail, detail) == 0);
    EXPECT(kv::win32::colorRefOf(display.shown.cells[0].fill) == kv::win32::colorRefOf(kv::zoneColour(zone)));
  }
  for (int i = 4; i < kv::kTileCount; ++i) core.roster.toggleLink(kv::id::kFirstTile + i);
  EXPECT(kv::win32::refreshClassDisplay(display) && display.shown.count == kv::kTileCount);
  paint(kv::kTileCount, "class-display-zones-40-win32.bmp");
  kv::forgetParticipants(core);
  EXPECT(kv::win32::refreshClassDisplay(display) && std::strcmp(display.shown.cells[0].name, "Mirabeat 1") == 0);
  core.roster.resetRoster();
}

// ---- the log ----

void testLogOperations() {
  auto& view = g_app->view;
  // Wide enough that no line wraps, so that lines are text lines.
  HWND log = item(kv::id::kTrafficLog);
  ::SetWindowPos(log, nullptr, 0, 0, 4000, 300, SWP_NOZORDER);
  view.clearLog();
  EXPECT(logText().empty());
  // 300 lines of 23 characters, 30 to an append.
  std::string all;
  for (int i = 0; i < 300; i += 30) {
    std::string block;
    for (int k = i; k < i + 30; ++k) {
      char line[40];
      std::snprintf(line, sizeof line, "line %03d ............\r\n", k);
      block += line;
    }
    view.appendLog(block.c_str());
    all += block;
  }
  EXPECT(logText() == all);
  view.trimLogFront(4000);
  EXPECT(logText() == all.substr(4000));
  // The caret is back at the end: the next line goes after the others.
  view.appendLog("last\r\n");
  EXPECT(logText() == all.substr(4000) + "last\r\n");
  view.trimLogFront(4000);  // shorter than 4000: all of it goes
  EXPECT(logText().empty());
  view.appendLog("a\r\nb\r\nc");
  EXPECT(view.logCaretLine() == 2);
  ::SetWindowPos(log, nullptr, 0, 0, 10, 10, SWP_NOZORDER);

  // Every change of the log goes through the command handler, which trims:
  // 1,500 lines in blocks of 100, and the caret never passes line 800.
  std::string block;
  for (int i = 0; i < 100; ++i) block += "x\r\n";
  unsigned highest = 0;
  for (int i = 0; i < 15; ++i) {
    view.appendLog(block.c_str());
    const unsigned line = view.logCaretLine();
    if (line > highest) highest = line;
  }
  EXPECT(highest <= 800 && highest >= 700);
  EXPECT(logText().size() < 1500 * 3);
  view.clearLog();
}

// Takes the UI thread's messages (timers among them) for `ms`, or until
// done() holds.
template <class F>
bool pumpUntil(F done, ULONGLONG ms) {
  const ULONGLONG end = nowMs() + ms;
  for (;;) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
    if (done()) return true;
    if (nowMs() >= end) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

void testHeldReadingLines() {
  auto& view = g_app->view;
  view.clearLog();
  pumpUntil([] { return false; }, kv::View::kLogShowEveryMs + 20);
  // After a quiet spell a reading's line goes in at once.
  view.appendReadingLog("r1\r\n");
  EXPECT(logText() == "r1\r\n");
  // Lines held back are there for whatever the log is asked next, in order.
  view.appendReadingLog("r2\r\n");
  view.appendReadingLog("r3\r\n");
  EXPECT(view.logCaretLine() == 3);
  view.appendReadingLog("r4\r\n");
  view.appendLog("event\r\n");
  EXPECT(logText() == "r1\r\nr2\r\nr3\r\nr4\r\nevent\r\n");
  // One held with nothing after it goes in by the timer.
  view.appendReadingLog("r5\r\n");
  EXPECT(pumpUntil([] { return logText() == "r1\r\nr2\r\nr3\r\nr4\r\nevent\r\nr5\r\n"; }, 2000));
  // "Clear Log" drops what is held too.
  view.appendReadingLog("r6\r\n");
  view.clearLog();
  pumpUntil([] { return false; }, kv::View::kLogShowEveryMs + 20);
  EXPECT(logText().empty());
}

void testPortList() {
  auto& view = g_app->view;
  const int before = static_cast<int>(::SendMessageA(item(kv::id::kPortList), CB_GETCOUNT, 0, 0));
  EXPECT(view.addPort("\\\\.\\COM63"));
  EXPECT(view.selectedPort() == -1);
  ::SendMessageA(item(kv::id::kPortList), CB_SETCURSEL, before, 0);
  EXPECT(view.selectedPort() == before);
  char name[32] = "?";
  view.portName(before, name, sizeof name);
  EXPECT(std::strcmp(name, "\\\\.\\COM63") == 0);
  char tiny[4] = "?";
  view.portName(before, tiny, sizeof tiny);  // does not fit: nothing is copied
  EXPECT(tiny[0] == '\0');
  ::SendMessageA(item(kv::id::kPortList), CB_DELETESTRING, before, 0);
}

// ---- waits that serve the link threads ----

// A thread standing in for a link thread. Joining it serves sent messages,
// so a thread stuck in a SendMessage to this thread fails the test instead
// of hanging it.
struct LinkThread {
  template <class F>
  explicit LinkThread(F body) : fn(body) {
    handle = ::CreateThread(nullptr, 0, [](void* self) -> DWORD {
      static_cast<LinkThread*>(self)->fn();
      return 0;
    }, this, 0, nullptr);
  }
  ~LinkThread() { join(); }
  bool join() {
    if (handle == nullptr) return true;
    const ULONGLONG deadline = nowMs() + 5000;
    while (::MsgWaitForMultipleObjects(1, &handle, FALSE, 50, QS_SENDMESSAGE) != WAIT_OBJECT_0) {
      MSG msg;
      ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      if (nowMs() > deadline) return false;
    }
    ::CloseHandle(handle);
    handle = nullptr;
    return true;
  }
  std::function<void()> fn;
  HANDLE handle = nullptr;
};

void testWaitServesSentMessagesOnly() {
  auto& view = g_app->view;
  view.clearLog();
  const UINT kProbe = WM_APP + 77;
  ::PostMessageA(mainWindow(), kProbe, 0, 0);

  std::atomic<ULONGLONG> served{0};
  const ULONGLONG start = nowMs();
  LinkThread link([&] {
    ::Sleep(30);
    view.appendLog("from the link\r\n");  // a SendMessage to the log
    served = nowMs();
  });
  view.waitServingLink(300);
  const ULONGLONG waited = nowMs() - start;
  EXPECT(link.join());
  EXPECT(waited >= 290 && waited < 1000);
  EXPECT(served != 0 && served - start < 200);
  EXPECT(logText() == "from the link\r\n");
  // The posted message was not taken during the wait.
  MSG msg;
  EXPECT(::PeekMessageA(&msg, mainWindow(), kProbe, kProbe, PM_REMOVE) != FALSE);

  std::atomic<bool> done{false};
  std::atomic<DWORD> ranOn{0};
  const ULONGLONG start2 = nowMs();
  LinkThread worker([&] {
    ::Sleep(50);
    view.runOnUiThread([](void* arg) { *static_cast<std::atomic<DWORD>*>(arg) = ::GetCurrentThreadId(); }, &ranOn);
    done = true;
  });
  const bool finished = view.waitServingLinkUntil([](void* arg) { return static_cast<std::atomic<bool>*>(arg)->load(); },
                                                  &done, 3000);
  const ULONGLONG took = nowMs() - start2;
  EXPECT(worker.join());
  EXPECT(finished && took < 1000);
  EXPECT(ranOn == ::GetCurrentThreadId());
  const ULONGLONG start3 = nowMs();
  EXPECT(!view.waitServingLinkUntil([](void*) { return false; }, nullptr, 100));
  EXPECT(nowMs() - start3 >= 90);
  view.clearLog();
}

// ---- shutdown ----

void testShutdown() {
  HWND w = mainWindow();
  const ULONGLONG start = nowMs();
  ::DestroyWindow(w);
  const ULONGLONG took = nowMs() - start;
  EXPECT(took >= 290 && took < 2000);  // the wait that lets the reset out
  MSG msg{};
  bool quit = false;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quit = true;
      EXPECT(msg.wParam == 0);
      break;
    }
  }
  EXPECT(quit);
  EXPECT(g_app->core.link.stopLink() == 0);
}

struct Test {
  const char* name;
  void (*run)();
};

}  // namespace

int main() {
  const ULONGLONG started = nowMs();
  static Win32Console app;
  g_app = &app;
  kv::win32::loadTexts(app, ::GetModuleHandleA(nullptr));
  kv::win32::registerMainClass(app);
  if (!kv::win32::createMainWindow(app, SW_SHOWNOACTIVATE)) {
    std::printf("not ok - the main window is created\n");
    return 1;
  }
  std::printf("#   main window up in %llu ms\n", static_cast<unsigned long long>(nowMs() - started));

  const Test tests[] = {
      {"resources: texts, menu, accelerators, icons, About box, manifest", testResources},
      {"About box: icon control 20 x 20 dialog units at 14, 9 in the template, holding icon 107", testAboutBox},
      {"controls: classes, texts, styles, tooltip windows, sibling order, window class", testControls},
      {"tooltips: one tool per tile, its text replaced", testTooltipOneToolPerTile},
      {"tile labels: an \"&\" in a name is shown as it is, not taken as a mnemonic", testTileLabels},
      {"gradient brush: rows 0 to 9 from black to white", testGradientBrush},
      {"tile painting: brand colours, hot colours, outline, caching, only while scanning", testPaintTile},
      {"class display: opened and closed by its command, cells in brand colours, the linked ones only", testClassDisplay},
      {"participants and Unicode: names in full, zones on the class display, the recording's menu item",
       testParticipantsAndUnicode},
      {"log: append, trim from the front, caret at the end, trim on change", testLogOperations},
      {"log: reading lines held back at most 100 ms, shown before anything else", testHeldReadingLines},
      {"port list: selection and item text", testPortList},
      {"waits serve sent messages only; runOnUiThread runs on the UI thread", testWaitServesSentMessagesOnly},
      {"shutdown: the wait, then the quit message with 0", testShutdown},
  };
  int failed = 0;
  for (const Test& t : tests) {
    const int before = g_checksFailed;
    const ULONGLONG started = nowMs();
    t.run();
    std::printf("#   %llu ms\n", static_cast<unsigned long long>(nowMs() - started));
    const bool ok = g_checksFailed == before;
    failed += !ok;
    std::printf("%s - %s\n", ok ? "ok" : "not ok", t.name);
    std::fflush(stdout);
  }
  return failed == 0 ? 0 : 1;
}
