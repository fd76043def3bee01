// The Win32 side of the console's View: every operation is a message to the
// main window or one of its controls, or a call that the window serves.
//
// From a link thread each operation is a SendMessage, which Windows carries
// out on the UI thread while the caller waits; on the UI thread the same
// call runs the control's window procedure directly. The tooltip request is
// the one posted message. The UI thread's fixed waits serve only sent
// messages, so a link thread inside a SendMessage never holds it up, and no
// operator input is taken while the UI thread waits.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

#include "base/view.h"

namespace kv::win32 {

// Private message of the main window: wParam is a void (*)(void*), lParam
// its argument; the window procedure calls it and answers 0.
inline constexpr UINT kRunOnUiMessage = WM_APP + 1;
// Posted: bring the status line up to date.
inline constexpr UINT kStatusCheckMessage = WM_APP + 2;
// The main window's timer that shows the reading lines held back.
inline constexpr UINT_PTR kLogShowTimer = 2;

// Waits `ms` milliseconds on the calling thread while serving the messages
// other threads send to its windows, and nothing else.
void serveSentMessagesFor(DWORD ms);

class Win32View final : public View {
 public:
  // The main window, the thread that owns it, and the module holding the
  // About box. Set once, when the window is being created.
  void attach(HWND mainWindow, HINSTANCE instance);
  HWND mainWindow() const { return main_; }
  HINSTANCE instance() const { return instance_; }

  // Filled while the controls are made: tile i and its tooltip window.
  HWND tileWindows[kTileCount] = {};
  HWND tileTooltips[kTileCount] = {};
  // Whether tile i's tooltip has its tool; later texts replace the tool's.
  bool tileToolAdded[kTileCount] = {};

  void appendLog(const char* text) override;
  // Reading lines are held back and inserted together, at most
  // kLogShowEveryMs after the first of them: each insertion costs the edit
  // control a layout, a caret move and a repaint, which under load are most
  // of what the window costs. Everything else the log is asked shows them
  // first.
  void appendReadingLog(const char* text) override;
  // Inserts the reading lines held back (the log timer's work).
  void showHeldLogLines();
  void setDongleLine(const char* text) override;
  void setStartLabel(const char* text) override;
  void setTileText(int slot, const char* text) override;
  void setLinkedCount(const char* text) override;
  void setTileTooltip(int slot, const char* text) override;
  void deactivateTooltip(int slot) override;
  void runOnUiThread(void (*fn)(void*), void* arg) override;
  void postTooltipRequest(int slot) override;
  void setLogButtonLabel(const char* text) override;
  void clearLog() override;
  unsigned logCaretLine() override;
  void trimLogFront(int count) override;
  bool addPort(const char* path) override;
  int selectedPort() override;
  void portName(int index, char* out, int size) override;
  void showErrorBox(const char* text, const char* caption) override;
  void showAboutBox() override;
  void postShutdown() override;
  void destroyWindow() override;
  void waitServingLink(int ms) override;
  bool waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) override;
  void repaintTiles() override;
  void setStatusLine(const char* text) override;
  void postStatusCheck() override;
  void clearPorts() override;
  void selectPortItem(int index) override;
  void showRecording(const char* recordText, bool markable) override;
  void openDocument(const char* path) override;

 private:
  // Texts of the controls (a port's path, a hover text, the status line)
  // are converted in buffers of this many wide characters.
  static constexpr int kShortTextSize = 1024;
  LRESULT sendTo(int controlId, UINT message, WPARAM wParam, LPARAM lParam);
  void setText(int controlId, const char* text);
  // Inserts the first `length` bytes of `text` (UTF-8) at the log's caret.
  void insertLogText(const char* text, std::size_t length);
  // Select everything in an edit and replace it with `text`.
  void replaceAll(int controlId, const char* text);
  static bool validSlot(int slot) { return slot >= 0 && slot < kTileCount; }
  // Runs f on the UI thread (at once when called there).
  template <class F>
  void onUiThread(F&& f);
  void stopLogTimer();

  HWND main_ = nullptr;
  HINSTANCE instance_ = nullptr;
  DWORD uiThread_ = 0;
  // Reading lines not yet in the edit control.
  static constexpr std::size_t kHeldLogSize = 16384;
  char heldLog_[kHeldLogSize];
  std::size_t heldLogLength_ = 0;
  bool logTimerSet_ = false;
  ULONGLONG logShownAt_ = 0;
};

}  // namespace kv::win32
