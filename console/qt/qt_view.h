// The console core's view of the Qt main window.
//
// Called on the UI thread, every operation acts on the widgets at once.
// Called from a link thread, it is handed to the UiCallQueue and carried out
// on the UI thread while the calling thread waits; the UI thread serves that
// queue from its event loop and from its fixed waits. The tooltip request
// and, from a link thread, the repainting of the tiles are posted instead.
//
// Until a window is attached, and once it has gone, the window operations
// do nothing (the port list has no items).
#pragma once

#include <QObject>
#include <functional>
#include <thread>

#include "console/qt/ui_call_queue.h"
#include "base/view.h"

namespace kv::qt {

class MainWindow;
class QtView;

// Lives on the UI thread: the posted work (queue drains, tooltip requests,
// repaints, status checks, the shutdown) is delivered to these slots. Posted
// by name, so that Qt copies what goes along inside its own library: its
// event queue is locked with Qt's own means, which ThreadSanitizer does not
// see in a Qt it did not build, and nothing of ours then crosses threads
// behind its back.
class UiPoster : public QObject {
  Q_OBJECT

 public:
  explicit UiPoster(QtView& view) : view_(view) {}

  // Any thread.
  void post(const char* slot);
  void post(const char* slot, int value);

 public Q_SLOTS:
  void drainCalls();
  void tooltipRequest(int slot);
  void shutdown();
  void statusCheck();
  void repaintTiles();

 private:
  QtView& view_;
};

class QtView final : public View {
 public:
  // Made on the UI thread, which it serves from then on.
  QtView();
  ~QtView() override;
  QtView(const QtView&) = delete;
  QtView& operator=(const QtView&) = delete;

  void attach(MainWindow* window);
  // The window is going away (or the program ends): the view lets go of it,
  // and link threads still waiting, or calling later, return without effect.
  void detach(MainWindow* window);

  bool onUiThread() const { return std::this_thread::get_id() == uiThread_; }
  // What opens a document, when not the desktop's browser (the tests).
  std::function<void(const char* path)> opener;
  UiCallQueue& calls() { return calls_; }

  // View
  void appendLog(const char* text) override;
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
  void clearPorts() override;
  void selectPortItem(int index) override;
  void postStatusCheck() override;
  void showRecording(const char* recordText, bool markable) override;
  void openDocument(const char* path) override;

 private:
  friend class UiPoster;
  // Runs f() on the UI thread with the window, if there is one: at once on
  // the UI thread, else through the queue while the caller waits.
  template <class F>
  void withWindow(F&& f);
  void repaintTilesHere();

  const std::thread::id uiThread_;
  UiPoster poster_{*this};
  UiCallQueue calls_;
  MainWindow* window_ = nullptr;
};

}  // namespace kv::qt
