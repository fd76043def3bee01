// A view that records what the core asks of the window, for the tests.
//
// The UI thread is stood in for by one recursive mutex: runOnUiThread and
// onUi() hold it while their work runs, so work "on the UI thread" is
// serialised as a real UI thread would serialise it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/view.h"

namespace kv::test {

class RecordingView : public View {
 public:
  // What the view holds now.
  std::string log() const;
  std::string dongleLine() const;
  std::string startLabel() const;
  int startEnabledCount() const;
  std::string tileText(int slot) const;
  std::string linkedCount() const;
  std::string tooltip(int slot) const;   // "" when none was ever set
  bool tooltipActive(int slot) const;
  int tooltipSets(int slot) const;       // how many times a hover text was set
  std::vector<int> tooltipRequests() const;
  std::string logButtonLabel() const;
  std::string statusLine() const;
  // The File menu's recording item, and whether "Mark" may be used.
  std::string recordMenu() const;
  bool markable() const;
  // Every call, one line each, in order ("setTileText 3 ...").
  std::vector<std::string> calls() const;
  void clearCalls();

  // Runs fn as the UI thread.
  void onUi(const std::function<void()>& fn);

  // Serves queued tooltip requests through `handler` (1400 + slot).
  void deliverTooltipRequests(const std::function<void(int)>& handler);

  // Waits until the log contains `text`, at most `ms` milliseconds.
  bool waitForLog(const std::string& text, int ms) const;

  // Settings for the console handler's tests.
  void setSelectedPort(int index, const std::string& name);
  int aboutShown() const { return aboutShown_; }
  int shutdownsPosted() const { return shutdownsPosted_; }
  int destroyed() const { return destroyed_; }
  std::vector<int> waits() const;
  std::vector<std::string> errorBoxes() const;
  std::vector<std::string> ports() const;
  int portLimit = 1000;  // addPort refuses ports past this many
  std::function<void(int)> onWait;  // called by waitServingLink with the time (else it sleeps)
  // The caret's line: the number of line feeds in the log (the caret is at its end).

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
  void postStatusCheck() override;
  int statusChecksPosted() const;
  void clearPorts() override;
  void selectPortItem(int index) override;
  void showRecording(const char* recordText, bool markable) override;

 private:
  void record(std::string line);

  std::recursive_mutex ui_;
  mutable std::mutex m_;
  mutable std::condition_variable logChanged_;
  std::string log_;
  std::string dongleLine_;
  std::string startLabel_ = "Start ...";
  int startEnabled_ = 0;
  std::string tiles_[kTileCount] = {
#define KV_E "empty"
      KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E,
      KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E,
      KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E, KV_E,
#undef KV_E
  };
  std::string linkedCount_;
  std::string tooltips_[kTileCount];
  bool tooltipActive_[kTileCount] = {};
  int tooltipSets_[kTileCount] = {};
  std::vector<int> tooltipRequests_;
  std::string logButton_ = "Stop Log";
  std::string statusLine_;
  std::string recordMenu_ = "Record readings...";
  bool markable_ = false;
  int statusChecks_ = 0;
  std::vector<std::string> calls_;
  int selectedPort_ = -1;
  std::string selectedPortName_;
  int aboutShown_ = 0;
  int shutdownsPosted_ = 0;
  int destroyed_ = 0;
  std::vector<int> waits_;
  std::vector<std::string> errorBoxes_;
  std::vector<std::string> ports_;
};

}  // namespace kv::test
