#include "console/win32/win32_view.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstring>

#include "console/console.h"
#include "console/win32/controls.h"
#include "console/win32/resource.h"
#include "console/win32/utf16.h"
#include "roster/tile_text.h"

namespace kv::win32 {

namespace {

// How often a wait for a condition looks at it again, at most.
constexpr DWORD kPollSliceMs = 2;

void serveSentMessages() {
  MSG msg;
  // Handles every message sent to this thread; posted messages and input
  // stay in the queue.
  ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

void serveSentMessagesFor(DWORD ms) {
  const ULONGLONG deadline = ::GetTickCount64() + ms;
  for (;;) {
    serveSentMessages();
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE);
  }
}

void Win32View::attach(HWND mainWindow, HINSTANCE instance) {
  main_ = mainWindow;
  instance_ = instance;
  uiThread_ = ::GetCurrentThreadId();
}

LRESULT Win32View::sendTo(int controlId, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::SendDlgItemMessageW(main_, controlId, message, wParam, lParam);
}

void Win32View::replaceAll(int controlId, const char* text) {
  const Wide<kShortTextSize> wide(text);
  sendTo(controlId, EM_SETSEL, 0, -1);
  sendTo(controlId, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32View::setText(int controlId, const char* text) {
  const Wide<kShortTextSize> wide(text);
  sendTo(controlId, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void Win32View::insertLogText(const char* text, std::size_t length) {
  // Always on the UI thread. A line or a run of them held back: never
  // longer than the store of held lines. On the stack, not shared: the
  // edit control tells of a full log (EN_MAXTEXT) before it inserts, and
  // what that says goes through here while this text waits.
  wchar_t wide[kHeldLogSize + 1];
  toUtf16(text, length, wide, static_cast<int>(kHeldLogSize + 1));
  sendTo(id::kTrafficLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide));
}

template <class F>
void Win32View::onUiThread(F&& f) {
  if (::GetCurrentThreadId() == uiThread_) {
    f();
    return;
  }
  // From a link thread: on the UI thread, which holds the log's lines.
  auto run = [&f] { f(); };
  using Run = decltype(run);
  runOnUiThread([](void* p) { (*static_cast<Run*>(p))(); }, &run);
}

void Win32View::appendLog(const char* text) {
  onUiThread([&] {
    showHeldLogLines();
    insertLogText(text, std::strlen(text));
  });
}

void Win32View::appendReadingLog(const char* text) {
  if (::GetCurrentThreadId() != uiThread_) {
    appendLog(text);
    return;
  }
  const std::size_t n = std::strlen(text);
  if (heldLogLength_ + n >= kHeldLogSize) showHeldLogLines();
  if (n >= kHeldLogSize) {
    appendLog(text);
    return;
  }
  std::memcpy(heldLog_ + heldLogLength_, text, n);
  heldLogLength_ += n;
  const ULONGLONG since = ::GetTickCount64() - logShownAt_;
  if (since >= static_cast<ULONGLONG>(kLogShowEveryMs)) {
    showHeldLogLines();
    return;
  }
  if (!logTimerSet_)
    logTimerSet_ = ::SetTimer(main_, kLogShowTimer, static_cast<UINT>(kLogShowEveryMs - since), nullptr) != 0;
  // Without a timer nothing may wait.
  if (!logTimerSet_) showHeldLogLines();
}

void Win32View::stopLogTimer() {
  if (!logTimerSet_) return;
  ::KillTimer(main_, kLogShowTimer);
  logTimerSet_ = false;
}

void Win32View::showHeldLogLines() {
  stopLogTimer();
  if (heldLogLength_ == 0) return;
  // The insertion's notifications may come back here: the lines leave the
  // store before they go in.
  char text[kHeldLogSize];
  const std::size_t length = heldLogLength_;
  std::memcpy(text, heldLog_, length);
  heldLogLength_ = 0;
  logShownAt_ = ::GetTickCount64();
  insertLogText(text, length);
}

void Win32View::setDongleLine(const char* text) { replaceAll(id::kDongleLine, text); }

void Win32View::setStartLabel(const char* text) {
  setText(id::kStart, text);
  ::EnableWindow(::GetDlgItem(main_, id::kStart), TRUE);
}

void Win32View::setTileText(int slot, const char* text) {
  if (!validSlot(slot)) return;
  // A button takes "&" as its mnemonic mark: the label doubles it, so the
  // name is drawn as it is and no Alt key presses the tile.
  char label[kTileLabelSize];
  tileLabel(text, label);
  setText(id::kFirstTile + slot, label);
}

void Win32View::setLinkedCount(const char* text) { replaceAll(id::kLinkedCount, text); }

void Win32View::setTileTooltip(int slot, const char* text) {
  if (!validSlot(slot)) return;
  HWND tile = tileWindows[slot];
  HWND tooltip = tileTooltips[slot];
  if (tile == nullptr || tooltip == nullptr) return;

  // The record as far as lpszText: the size every tooltip version accepts,
  // and the one that carries the text in this build's own layout.
  Wide<kShortTextSize> wide(text);
  TOOLINFOW ti;
  ZeroMemory(&ti, sizeof ti);
  ti.cbSize = TTTOOLINFOW_V1_SIZE;
  ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  ti.hwnd = main_;
  ti.uId = reinterpret_cast<UINT_PTR>(tile);
  ti.lpszText = wide.text;  // the tooltip keeps its own copy

  ::SendMessageW(tooltip, TTM_ACTIVATE, TRUE, 0);
  // One tool per tile: the tile's next device, or the next request for the
  // same one, only changes its text.
  if (tileToolAdded[slot]) {
    ::SendMessageW(tooltip, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&ti));
  } else {
    tileToolAdded[slot] = ::SendMessageW(tooltip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti)) != 0;
  }
}

void Win32View::deactivateTooltip(int slot) {
  if (!validSlot(slot) || tileTooltips[slot] == nullptr) return;
  ::SendMessageW(tileTooltips[slot], TTM_ACTIVATE, FALSE, 0);
}

void Win32View::runOnUiThread(void (*fn)(void*), void* arg) {
  if (::IsWindow(main_)) {
    ::SendMessageW(main_, kRunOnUiMessage, reinterpret_cast<WPARAM>(fn), reinterpret_cast<LPARAM>(arg));
  } else if (::GetCurrentThreadId() == uiThread_) {
    fn(arg);
  }
  // Otherwise the window is gone (shutdown): nothing is shown any more.
}

void Win32View::postTooltipRequest(int slot) {
  if (!validSlot(slot)) return;
  ::PostMessageW(main_, WM_COMMAND, static_cast<WPARAM>(id::kFirstTooltipRequest + slot), 0);
}

void Win32View::setLogButtonLabel(const char* text) {
  setText(id::kLogButton, text);
}

void Win32View::clearLog() {
  onUiThread([&] {
    heldLogLength_ = 0;
    stopLogTimer();
    replaceAll(id::kTrafficLog, "");
  });
}

unsigned Win32View::logCaretLine() {
  unsigned line = 0;
  onUiThread([&] {
    showHeldLogLines();
    line = static_cast<unsigned>(sendTo(id::kTrafficLog, EM_LINEFROMCHAR, static_cast<WPARAM>(-1), 0));
  });
  return line;
}

void Win32View::trimLogFront(int count) {
  onUiThread([&] {
    showHeldLogLines();
    sendTo(id::kTrafficLog, EM_SETSEL, 0, count);
    sendTo(id::kTrafficLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    // Select all, then drop the selection: the caret ends up after the last
    // character, where the next log line goes.
    sendTo(id::kTrafficLog, EM_SETSEL, 0, -1);
    sendTo(id::kTrafficLog, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  });
}

bool Win32View::addPort(const char* path) {
  const Wide<kShortTextSize> wide(path);
  const LRESULT r =
      sendTo(id::kPortList, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(wide.c_str()));
  return r != CB_ERR && r != CB_ERRSPACE;
}

void Win32View::postStatusCheck() { ::PostMessageW(main_, kStatusCheckMessage, 0, 0); }

void Win32View::clearPorts() { sendTo(id::kPortList, CB_RESETCONTENT, 0, 0); }

void Win32View::selectPortItem(int index) { sendTo(id::kPortList, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

void Win32View::setStatusLine(const char* text) {
  setText(id::kStatusLine, text);
}

int Win32View::selectedPort() { return static_cast<int>(sendTo(id::kPortList, CB_GETCURSEL, 0, 0)); }

void Win32View::portName(int index, char* out, int size) {
  if (out == nullptr || size <= 0) return;
  out[0] = '\0';
  const LRESULT length = sendTo(id::kPortList, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  wchar_t wide[kShortTextSize];
  if (length == CB_ERR || length < 0 || length >= kShortTextSize) return;
  if (sendTo(id::kPortList, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(wide)) == CB_ERR)
    return;
  // An item that would not fit is not copied at all.
  const std::string utf8 = narrow(wide);
  if (utf8.size() >= static_cast<std::size_t>(size)) return;
  std::memcpy(out, utf8.c_str(), utf8.size() + 1);
}

void Win32View::showErrorBox(const char* text, const char* caption) {
  ::MessageBoxW(main_, widen(text).c_str(), widen(caption).c_str(), MB_ICONERROR | MB_OK);
}

void Win32View::showAboutBox() {
  ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), main_, aboutDialogProc, 0);
}

void Win32View::postShutdown() { ::PostMessageW(main_, WM_DESTROY, 0, 0); }

void Win32View::destroyWindow() { ::DestroyWindow(main_); }

void Win32View::waitServingLink(int ms) { serveSentMessagesFor(ms < 0 ? 0 : static_cast<DWORD>(ms)); }

bool Win32View::waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    serveSentMessages();
    if (done(arg)) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= deadline) return done(arg);
    const ULONGLONG left = deadline - now;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, left < kPollSliceMs ? static_cast<DWORD>(left) : kPollSliceMs,
                                QS_SENDMESSAGE);
  }
}

void Win32View::repaintTiles() {
  // InvalidateRect may be called from any thread; the tiles repaint when
  // the UI thread next takes its paint messages.
  for (HWND tile : tileWindows) {
    if (tile != nullptr) ::InvalidateRect(tile, nullptr, TRUE);
  }
}

void Win32View::showRecording(const char* recordText, bool markable) {
  HMENU menu = ::GetMenu(main_);
  if (menu == nullptr) return;
  const std::wstring item = widen(recordText) + L"\tCtrl+R";
  ::ModifyMenuW(menu, IDM_RECORD, MF_BYCOMMAND | MF_STRING, IDM_RECORD, item.c_str());
  ::EnableMenuItem(menu, IDM_MARK, MF_BYCOMMAND | (markable ? MF_ENABLED : MF_GRAYED));
}

void Win32View::openDocument(const char* path) {
  ::ShellExecuteW(main_, L"open", widen(path).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace kv::win32
