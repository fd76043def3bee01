#include "console/win32/class_display.h"

#include <algorithm>
#include <cstring>

#include "console/console.h"
#include "console/win32/dpi.h"
#include "console/win32/tile_paint.h"
#include "console/win32/utf16.h"

namespace kv::win32 {

namespace {

constexpr UINT_PTR kRefreshTimer = 1;
constexpr DWORD kNormalStyle = WS_OVERLAPPEDWINDOW;

HFONT boldFont(int px) {
  // DEFAULT_CHARSET: the font's every script, so that a name in Greek or
  // Cyrillic is drawn in its own letters.
  return ::CreateFontW(-std::max(1, px), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Arial");
}

// One line in the largest bold font no taller than its size in which it fits.
void drawLine(HDC dc, const TextLine& line) {
  const CellRect& r = line.rect;
  const Wide<256> wide(line.text);
  const wchar_t* text = wide.c_str();
  const int n = wide.length;
  HFONT font = boldFont(line.px);
  HGDIOBJ old = ::SelectObject(dc, font);
  SIZE size{};
  ::GetTextExtentPoint32W(dc, text, n, &size);
  if (size.cx > r.width && size.cx > 0) {
    ::SelectObject(dc, old);
    ::DeleteObject(font);
    font = boldFont(line.px * r.width / size.cx);
    old = ::SelectObject(dc, font);
  }
  RECT rc{r.x, r.y, r.x + r.width, r.y + r.height};
  ::DrawTextW(dc, text, n, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  ::SelectObject(dc, old);
  ::DeleteObject(font);
}

void fill(HDC dc, int x, int y, int w, int h, Rgb colour) {
  HBRUSH brush = ::CreateSolidBrush(colorRefOf(colour));
  RECT rc{x, y, x + w, y + h};
  ::FillRect(dc, &rc, brush);
  ::DeleteObject(brush);
}

// The client area for a normal window of the default size, as a window
// rectangle centred on `monitor`'s work area.
RECT normalPlace(HMONITOR monitor) {
  const int dpi = systemDpi();
  RECT r{0, 0, scaled(kClassDisplayWidth, dpi), scaled(kClassDisplayHeight, dpi)};
  ::AdjustWindowRect(&r, kNormalStyle, FALSE);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  RECT work{0, 0, r.right - r.left, r.bottom - r.top};
  if (::GetMonitorInfoW(monitor, &mi)) work = mi.rcWork;
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = work.left + std::max(0, static_cast<int>((work.right - work.left - w) / 2));
  const int y = work.top + std::max(0, static_cast<int>((work.bottom - work.top - h) / 2));
  return RECT{x, y, x + w, y + h};
}

void leaveFullScreen(ClassDisplay& d) {
  d.fullScreen = false;
  const RECT r = normalPlace(::MonitorFromWindow(d.window, MONITOR_DEFAULTTONEAREST));
  ::SetWindowLongPtrW(d.window, GWL_STYLE, static_cast<LONG_PTR>(kNormalStyle | WS_VISIBLE));
  ::SetWindowPos(d.window, HWND_NOTOPMOST, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_FRAMECHANGED | SWP_SHOWWINDOW);
}

LRESULT CALLBACK classDisplayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* d = static_cast<ClassDisplay*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(d));
  }
  auto* d = reinterpret_cast<ClassDisplay*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (d == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
  switch (message) {
    case WM_TIMER:
      if (wParam == kRefreshTimer && refreshClassDisplay(*d)) ::InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_SIZE:
      ::InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = ::BeginPaint(window, &ps);
      RECT client;
      ::GetClientRect(window, &client);
      const int w = client.right, h = client.bottom;
      // Drawn aside and copied in one go: no flicker on a big screen.
      HDC memory = ::CreateCompatibleDC(dc);
      HBITMAP bitmap = ::CreateCompatibleBitmap(dc, std::max(1, w), std::max(1, h));
      HGDIOBJ old = ::SelectObject(memory, bitmap);
      paintClassDisplay(memory, w, h, d->shown.cells, d->shown.count);
      ::BitBlt(dc, 0, 0, w, h, memory, 0, 0, SRCCOPY);
      ::SelectObject(memory, old);
      ::DeleteObject(bitmap);
      ::DeleteDC(memory);
      ::EndPaint(window, &ps);
      return 0;
    }
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE && d->fullScreen) {
        leaveFullScreen(*d);
        return 0;
      }
      break;
    case WM_DESTROY:
      ::KillTimer(window, kRefreshTimer);
      d->window = nullptr;
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

struct MonitorSearch {
  HMONITOR own;
  HMONITOR best;
  long long area;
};

BOOL CALLBACK visitMonitor(HMONITOR monitor, HDC, LPRECT rect, LPARAM arg) {
  auto* s = reinterpret_cast<MonitorSearch*>(arg);
  const long long area = 1LL * (rect->right - rect->left) * (rect->bottom - rect->top);
  if (monitor != s->own && area > s->area) {
    s->best = monitor;
    s->area = area;
  }
  return TRUE;
}

void openClassDisplay(ClassDisplay& d, HINSTANCE instance, HWND mainWindow) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = classDisplayProc;
  wc.hInstance = instance;
  wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /*IDC_ARROW*/);
  wc.lpszClassName = kClassDisplayClassW;
  wc.hIcon = reinterpret_cast<HICON>(::GetClassLongPtrW(mainWindow, GCLP_HICON));
  wc.hIconSm = reinterpret_cast<HICON>(::GetClassLongPtrW(mainWindow, GCLP_HICONSM));
  ::RegisterClassExW(&wc);  // fails harmlessly when already registered

  MonitorSearch search{::MonitorFromWindow(mainWindow, MONITOR_DEFAULTTONEAREST), nullptr, 0};
  ::EnumDisplayMonitors(nullptr, nullptr, visitMonitor, reinterpret_cast<LPARAM>(&search));
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  refreshClassDisplay(d);
  const Wide<64> title(kClassDisplayTitle);
  if (search.best != nullptr && ::GetMonitorInfoW(search.best, &mi)) {
    const RECT& r = mi.rcMonitor;
    d.window = ::CreateWindowExW(0, kClassDisplayClassW, title.c_str(), WS_POPUP, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, nullptr, nullptr, instance, &d);
    d.fullScreen = d.window != nullptr;
  } else {
    const RECT r = normalPlace(search.own);
    d.window = ::CreateWindowExW(0, kClassDisplayClassW, title.c_str(), kNormalStyle, r.left, r.top,
                                 r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, &d);
    d.fullScreen = false;
  }
  if (d.window == nullptr) return;
  ::SetTimer(d.window, kRefreshTimer, kClassDisplayEveryMs, nullptr);
  ::ShowWindow(d.window, SW_SHOW);
  ::SetForegroundWindow(d.window);
}

}  // namespace

void toggleClassDisplay(ClassDisplay& display, HINSTANCE instance, HWND mainWindow) {
  if (display.window != nullptr) {
    closeClassDisplay(display);
  } else {
    openClassDisplay(display, instance, mainWindow);
  }
}

void closeClassDisplay(ClassDisplay& display) {
  if (display.window != nullptr) ::DestroyWindow(display.window);
  display.window = nullptr;
}

bool refreshClassDisplay(ClassDisplay& d) {
  return d.core != nullptr && d.shown.refresh(d.core->roster, d.core->clock.nowMs(), d.core->participants.get());
}

void paintClassDisplay(HDC dc, int width, int height, const ClassCell* cells, int count) {
  fill(dc, 0, 0, width, height, kClassDisplayBackground);
  ::SetBkMode(dc, TRANSPARENT);
  if (count <= 0) {
    ::SetTextColor(dc, colorRefOf(kClassDisplayMessageColour));
    drawLine(dc, emptyMessageLine(width, height));
    return;
  }
  const CellGrid grid = cellGrid(count, width, height);
  for (int i = 0; i < count; ++i) {
    const CellPicture c = cellPicture(cells[i], cellRect(grid, i, width, height));
    fill(dc, c.cell.x, c.cell.y, c.cell.width, c.cell.height, c.fill);
    if (c.bar) fill(dc, c.barRect.x, c.barRect.y, c.barRect.width, c.barRect.height, c.text);
    ::SetTextColor(dc, colorRefOf(c.text));
    for (const TextLine& line : c.lines) drawLine(dc, line);
  }
}

}  // namespace kv::win32
