#include "console/win32/win32_view.h"

#include <commctrl.h>

#include <cstring>

#include "console/console.h"
#include "console/win32/controls.h"
#include "console/win32/resource.h"
#include "roster/tile_text.h"

namespace kv::win32 {

namespace {

// How often a wait for a condition looks at it again, at most.
constexpr DWORD kPollSliceMs = 2;

void serveSentMessages() {
  MSG msg;
  // Handles every message sent to this thread; posted messages and input
  // stay in the queue.
  ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
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
  return ::SendDlgItemMessageA(main_, controlId, message, wParam, lParam);
}

void Win32View::replaceAll(int controlId, const char* text) {
  sendTo(controlId, EM_SETSEL, 0, -1);
  sendTo(controlId, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
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
    sendTo(id::kTrafficLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
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
  std::memcpy(text, heldLog_, heldLogLength_);
  text[heldLogLength_] = '\0';
  heldLogLength_ = 0;
  logShownAt_ = ::GetTickCount64();
  sendTo(id::kTrafficLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

void Win32View::setDongleLine(const char* text) { replaceAll(id::kDongleLine, text); }

void Win32View::setStartLabel(const char* text) {
  sendTo(id::kStart, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  ::EnableWindow(::GetDlgItem(main_, id::kStart), TRUE);
}

void Win32View::setTileText(int slot, const char* text) {
  if (!validSlot(slot)) return;
  // A button takes "&" as its mnemonic mark: the label doubles it, so the
  // name is drawn as it is and no Alt key presses the tile.
  char label[kTileLabelSize];
  tileLabel(text, label);
  sendTo(id::kFirstTile + slot, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(label));
}

void Win32View::setLinkedCount(const char* text) { replaceAll(id::kLinkedCount, text); }

void Win32View::setTileTooltip(int slot, const char* text) {
  if (!validSlot(slot)) return;
  HWND tile = tileWindows[slot];
  HWND tooltip = tileTooltips[slot];
  if (tile == nullptr || tooltip == nullptr) return;

  // The record as far as lpszText: the size every tooltip version accepts,
  // and the one that carries the text in this build's own layout.
  TOOLINFOA ti;
  ZeroMemory(&ti, sizeof ti);
  ti.cbSize = TTTOOLINFOA_V1_SIZE;
  ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  ti.hwnd = main_;
  ti.uId = reinterpret_cast<UINT_PTR>(tile);
  ti.lpszText = const_cast<char*>(text);  // the tooltip keeps its own copy

  ::SendMessageA(tooltip, TTM_ACTIVATE, TRUE, 0);
  // One tool per tile: the tile's next device, or the next request for the
  // same one, only changes its text.
  if (tileToolAdded[slot]) {
    ::SendMessageA(tooltip, TTM_UPDATETIPTEXTA, 0, reinterpret_cast<LPARAM>(&ti));
  } else {
    tileToolAdded[slot] = ::SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti)) != 0;
  }
}

void Win32View::deactivateTooltip(int slot) {
  if (!validSlot(slot) || tileTooltips[slot] == nullptr) return;
  ::SendMessageA(tileTooltips[slot], TTM_ACTIVATE, FALSE, 0);
}

void Win32View::runOnUiThread(void (*fn)(void*), void* arg) {
  if (::IsWindow(main_)) {
    ::SendMessageA(main_, kRunOnUiMessage, reinterpret_cast<WPARAM>(fn), reinterpret_cast<LPARAM>(arg));
  } else if (::GetCurrentThreadId() == uiThread_) {
    fn(arg);
  }
  // Otherwise the window is gone (shutdown): nothing is shown any more.
}

void Win32View::postTooltipRequest(int slot) {
  if (!validSlot(slot)) return;
  ::PostMessageA(main_, WM_COMMAND, static_cast<WPARAM>(id::kFirstTooltipRequest + slot), 0);
}

void Win32View::setLogButtonLabel(const char* text) {
  sendTo(id::kLogButton, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
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
    sendTo(id::kTrafficLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
    // Select all, then drop the selection: the caret ends up after the last
    // character, where the next log line goes.
    sendTo(id::kTrafficLog, EM_SETSEL, 0, -1);
    sendTo(id::kTrafficLog, EM_SETSEL, static_cast<WPARAM>(-1), -1);
  });
}

bool Win32View::addPort(const char* path) {
  const LRESULT r = sendTo(id::kPortList, CB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(path));
  return r != CB_ERR && r != CB_ERRSPACE;
}

void Win32View::postStatusCheck() { ::PostMessageA(main_, kStatusCheckMessage, 0, 0); }

void Win32View::clearPorts() { sendTo(id::kPortList, CB_RESETCONTENT, 0, 0); }

void Win32View::selectPortItem(int index) { sendTo(id::kPortList, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

void Win32View::setStatusLine(const char* text) {
  sendTo(id::kStatusLine, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

int Win32View::selectedPort() { return static_cast<int>(sendTo(id::kPortList, CB_GETCURSEL, 0, 0)); }

void Win32View::portName(int index, char* out, int size) {
  if (out == nullptr || size <= 0) return;
  out[0] = '\0';
  const LRESULT length = sendTo(id::kPortList, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  // An item that would not fit is not copied at all.
  if (length == CB_ERR || length < 0 || length >= size) return;
  if (sendTo(id::kPortList, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(out)) == CB_ERR)
    out[0] = '\0';
}

void Win32View::showErrorBox(const char* text, const char* caption) {
  ::MessageBoxA(main_, text, caption, MB_ICONERROR | MB_OK);
}

void Win32View::showAboutBox() {
  ::DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_ABOUTBOX), main_, aboutDialogProc, 0);
}

void Win32View::postShutdown() { ::PostMessageA(main_, WM_DESTROY, 0, 0); }

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

}  // namespace kv::win32
