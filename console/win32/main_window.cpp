#include "console/win32/main_window.h"

#include <commctrl.h>

#include "console/layout.h"
#include "console/watch.h"
#include "console/win32/controls.h"
#include "console/win32/resource.h"

namespace kv::win32 {

namespace {

constexpr DWORD kMainWindowStyle = WS_OVERLAPPED | WS_SYSMENU | WS_MINIMIZEBOX;
// The timer that runs the console's watch (silent tiles, the status line).
constexpr UINT_PTR kWatchTimer = 1;

Win32Console* consoleOf(HWND window) {
  return reinterpret_cast<Win32Console*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
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
  ::LoadStringA(instance, IDS_APP_TITLE, app.title, kTextSize);
  ::LoadStringA(instance, IDS_WINDOW_CLASS, app.className, kTextSize);
}

ATOM registerMainClass(Win32Console& app) {
  WNDCLASSEXA wc;
  ZeroMemory(&wc, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = mainWindowProc;
  wc.hInstance = app.instance;
  wc.hIcon = ::LoadIconA(app.instance, MAKEINTRESOURCEA(IDI_KORAVEL));
  wc.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /*IDC_ARROW*/);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_MENUBAR + 1));
  wc.lpszMenuName = MAKEINTRESOURCEA(IDC_KORAVEL);
  wc.lpszClassName = app.className;
  wc.hIconSm = ::LoadIconA(app.instance, MAKEINTRESOURCEA(IDI_SMALL));
  return ::RegisterClassExA(&wc);
}

bool createMainWindow(Win32Console& app, int showCommand) {
  ::InitCommonControls();
  if (app.core.link.createTxEvent() == -1) return false;

  // WM_CREATE makes the controls and lists the ports.
  HWND window = ::CreateWindowExA(0, app.className, app.title, kMainWindowStyle, kMainWindowX, kMainWindowY,
                                  kMainWindowWidth, kMainWindowHeight, nullptr, nullptr, app.instance, &app);
  if (window == nullptr) return false;
  app.mainWindow = window;

  if (!startConsole(app.core)) {
    ::DestroyWindow(window);  // runs the shutdown
    return false;
  }
  ::SetTimer(window, kWatchTimer, kWatchEveryMs, nullptr);
  ::ShowWindow(window, showCommand);
  ::UpdateWindow(window);
  return true;
}

int runMessageLoop(Win32Console& app) {
  HACCEL accelerators = ::LoadAcceleratorsA(app.instance, MAKEINTRESOURCEA(IDC_KORAVEL));
  MSG msg;
  ZeroMemory(&msg, sizeof msg);
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    // The accelerators belong to the main window: given the message's own
    // window, a key pressed while a tile or button has the focus would send
    // the About command to that control, which ignores it.
    if (!::TranslateAcceleratorA(app.mainWindow, accelerators, &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
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
  return exitCode;
}

LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* app = static_cast<Win32Console*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
    if (app != nullptr) app->view.attach(window, app->instance);
  }
  Win32Console* app = consoleOf(window);
  if (app == nullptr) return ::DefWindowProcA(window, message, wParam, lParam);

  switch (message) {
    case WM_CREATE:
      createControls(window, app->instance, app->view, app->core.link);
      return 0;
    case WM_DESTROY:
      return shutdownWindow(*app);
    case WM_SIZE:
      layoutControls(window);
      return 0;
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
      static_assert(IDM_CLASS_DISPLAY == id::kClassDisplay);
      if (LOWORD(wParam) == IDM_CLASS_DISPLAY) {
        toggleClassDisplay(app->classDisplay, app->instance, window);
        return 0;
      }
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
  return ::DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace kv::win32
