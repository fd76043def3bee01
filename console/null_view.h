// A view that does nothing: every window operation returns at once and
// runOnUiThread runs its work right here, on the calling thread.
#pragma once

#include "base/view.h"

namespace kv {

class NullView : public View {
 public:
  void appendLog(const char*) override {}
  void setDongleLine(const char*) override {}
  void setStartLabel(const char*) override {}
  void setTileText(int, const char*) override {}
  void setLinkedCount(const char*) override {}
  void setTileTooltip(int, const char*) override {}
  void deactivateTooltip(int) override {}
  void runOnUiThread(void (*fn)(void*), void* arg) override { fn(arg); }
  void postTooltipRequest(int) override {}
  void setLogButtonLabel(const char*) override {}
  void clearLog() override {}
  unsigned logCaretLine() override { return 0; }
  void trimLogFront(int) override {}
  bool addPort(const char*) override { return true; }
  int selectedPort() override { return -1; }
  void portName(int, char* out, int size) override {
    if (size > 0) out[0] = '\0';
  }
  void showErrorBox(const char*, const char*) override {}
  void showAboutBox() override {}
  void postShutdown() override {}
  void destroyWindow() override {}
  void waitServingLink(int) override {}
  bool waitServingLinkUntil(bool (*done)(void*), void* arg, int) override { return done(arg); }
  void repaintTiles() override {}
};

}  // namespace kv
