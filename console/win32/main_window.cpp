#include "console/win32/main_window.h"

#include <commctrl.h>

#include "console/layout.h"
#include "console/watch.h"
#include "console/win32/controls.h"
#include "console/win32/dpi.h"
#include "console/win32/file_menu.h"
#include "console/win32/resource.h"
#include "console/win32/utf16.h"

namespace kv::win32 {

namespace {

constexpr DWORD kMainWindowStyle = WS_OVERLAPPED | WS_SYSMENU | WS_MINIMIZEBOX;
// The timer that runs the console's watch (silent tiles, the status line).
constexpr UINT_PTR kWatchTimer = 1;

Win32Console* consoleOf(HWND window) {
  return reinterpret_cast<Win32Console*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
}

// WM_DESTROY: the core's shutdown (brushes, soft reset, the wait that
// serves the link threads), then the end of the message loop.
LRESULT shutdownWindow(Win32Console& app) {
  ::KillTimer(app.mainWindow, kWatchTimer);
  closeClassDisplay(app.classDisplay);
  kv::shutdownWindow(app.core);
  ::PostQuitMessage(0);
  return 0;
}

}  // namespace

void loadTexts(Win32Console& app, HINSTANCE instance) {
  app.instance = instance;
  ::LoadStringW(instance, IDS_APP_TITLE, app.title, kTextSize);
  ::LoadStringW(instance, IDS_WINDOW_CLASS, app.className, kTextSize);
}

ATOM registerMainClass(Win32Console& app) {
  WNDCLASSEXW wc;
  ZeroMemory(&wc, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = mainWindowProc;
  wc.hInstance = app.instance;
  wc.hIcon = ::LoadIconW(app.instance, MAKEINTRESOURCEW(IDI_KORAVEL));
  wc.hCursor = ::LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /*IDC_ARROW*/);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENUBAR + 1));
  wc.lpszMenuName = MAKEINTRESOURCEW(IDC_KORAVEL);
  wc.lpszClassName = app.className;
  wc.hIconSm = ::LoadIconW(app.instance, MAKEINTRESOURCEW(IDI_SMALL));
  return ::RegisterClassExW(&wc);
}

bool createMainWindow(Win32Console& app, int showCommand) {
  ::InitCommonControls();
  if (app.core.link.createTxEvent() == -1) return false;

  // WM_CREATE makes the controls and lists the ports.
  const int dpi = systemDpi();
  HWND window = ::CreateWindowExW(0, app.className, app.title, kMainWindowStyle, scaled(kMainWindowX, dpi),
                                  scaled(kMainWindowY, dpi), scaled(kMainWindowWidth, dpi),
                                  scaled(kMainWindowHeight, dpi), nullptr, nullptr, app.instance, &app);
  if (window == nullptr) return false;
  app.mainWindow = window;

  if (!startConsole(app.core)) {
    ::DestroyWindow(window);  // runs the shutdown
    return false;
  }
  ::SetTimer(window, kWatchTimer, kWatchEveryMs, nullptr);
  loadRememberedParticipants(app);
  ::ShowWindow(window, showCommand);
  ::UpdateWindow(window);
  return true;
}

int runMessageLoop(Win32Console& app) {
  HACCEL accelerators = ::LoadAcceleratorsW(app.instance, MAKEINTRESOURCEW(IDC_KORAVEL));
  MSG msg;
  ZeroMemory(&msg, sizeof msg);
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // The accelerators belong to the main window: given the message's own
    // window, a key pressed while a tile or button has the focus would send
    // the About command to that control, which ignores it.
    if (!::TranslateAcceleratorW(app.mainWindow, accelerators, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }
  return msg.message == WM_QUIT ? static_cast<int>(msg.wParam) : 0;
}

int runConsole(HINSTANCE instance, int showCommand) {
  static Win32Console app;
  loadTexts(app, instance);
  registerMainClass(app);
  // A console that could not start says so by its exit code.
  if (!createMainWindow(app, showCommand)) return 1;
  const int exitCode = runMessageLoop(app);
  app.core.link.stopLink();
  finishSessionReport(app.core);
  // The recording's file is finished once nothing more can come.
  char told[512];
  finishRecording(app.core, told, sizeof told);
  if (told[0] != '\0') ::MessageBoxW(nullptr, widen(told).c_str(), L"Koravel: recording", MB_ICONWARNING | MB_OK);
  return exitCode;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* app = static_cast<Win32Console*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
    if (app != nullptr) app->view.attach(window, app->instance);
  }
  Win32Console* app = consoleOf(window);
  if (app == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);

  switch (message) {
    case WM_CREATE:
      createControls(window, app->instance, app->view, app->core.link);
      return 0;
    case WM_DESTROY:
      return shutdownWindow(*app);
    case WM_SIZE:
      layoutControls(window);
      return 0;
    case WM_DPICHANGED: {
      // Moved to a monitor of another scale: the size Windows suggests,
      // and the controls laid out again at the new scale.
      const RECT* r = reinterpret_cast<const RECT*>(lParam);
      ::SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      layoutControls(window);
      return 0;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      ::BeginPaint(window, &ps);
      ::EndPaint(window, &ps);
      return 0;
    }
    case WM_NOTIFY:
      if (app->core.words.scanning == 0) return 0;
      return paintTile(app->core.roster, app->core.brushes, app->brushMaker, reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
      static_assert(IDM_CLASS_DISPLAY == id::kClassDisplay && IDM_RECORD == id::kRecord && IDM_MARK == id::kMark &&
                    IDM_PARTICIPANTS == id::kParticipants && IDM_NO_PARTICIPANTS == id::kNoParticipants &&
                    IDM_SAVE_HEARD == id::kSaveHeard && IDM_SESSION_REPORT == id::kSessionReport);
      if (LOWORD(wParam) == IDM_CLASS_DISPLAY) {
        toggleClassDisplay(app->classDisplay, app->instance, window);
        return 0;
      }
      if (fileMenuCommand(*app, LOWORD(wParam))) return 0;
      return handleCommand(app->core, LOWORD(wParam), HIWORD(wParam));
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return 0;
    case WM_TIMER:
      if (wParam == kWatchTimer) {
        watchConsole(app->core);
        return 0;
      }
      if (wParam == kLogShowTimer) {
        app->view.showHeldLogLines();
        return 0;
      }
      break;
    case kStatusCheckMessage:
      showStatus(app->core);
      return 0;
    case kRunOnUiMessage: {
      auto fn = reinterpret_cast<void (*)(void*)>(wParam);
      if (fn != nullptr) fn(reinterpret_cast<void*>(lParam));
      return 0;
    }
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace kv::win32
