#include "console/console.h"

#include "link/frame.h"
#include "link/serial_port.h"

namespace kv {

namespace {

void startOrStop(ConsoleCore& core) {
  core.words.pendingCommand = 0;
  Link& link = core.link;
  if (core.words.scanning == 0) {
    buildControlCommand(link.commandFrame, 0, 1, &link.commandLength);
    link.submitCommand(link.commandFrame, link.commandLength);
    core.view.setStartLabel("scanning");
  } else {
    buildControlCommand(link.commandFrame, 0, 0, &link.commandLength);
    link.submitCommand(link.commandFrame, link.commandLength);
    core.view.setStartLabel("Start scan / Link");
    core.brushes.emptyBrushCaches();
  }
}

void toggleLogPause(ConsoleCore& core) {
  if (core.words.logPaused != 0) {
    core.words.logPaused = 0;
    core.view.setLogButtonLabel("Stop Log");
  } else {
    core.words.logPaused = 1;
    core.view.setLogButtonLabel("Start Log");
  }
}

void trafficLogNotification(ConsoleCore& core, int code) {
  View& view = core.view;
  // Once told, the operator is not told again: the lines written while the
  // console shuts down (the soft reset's echo) would each hit the full log.
  if ((code == kEnErrSpace || code == kEnMaxText) && !core.closing) {
    core.closing = true;
    view.showErrorBox("info. out of space.", "Stridon");
    view.postShutdown();
  }
  // Trim until the caret is on line 800 or above; stop if a trim no longer
  // brings it up (a single line longer than a trim).
  unsigned line = view.logCaretLine();
  while (line > kLogMaxLine) {
    const int saved = core.words.logPaused;
    core.words.logPaused = 1;
    view.trimLogFront(kLogTrimChars);
    core.words.logPaused = saved;
    const unsigned after = view.logCaretLine();
    if (after >= line) break;
    line = after;
  }
}

void selectPortFromList(ConsoleCore& core) {
  View& view = core.view;
  const int index = view.selectedPort();
  if (index == -1) return;
  char name[kPortNameSize] = {};
  view.portName(index, name, kPortNameSize);
  core.link.selectPort(name);
  view.waitServingLink(kConfigRequestDelayMs);
  core.link.requestDongleConfig();
}

}  // namespace

bool startConsole(ConsoleCore& core) {
  core.roster.table().initSlotTable();
  return core.link.startWriter() == 0;
}

int handleCommand(ConsoleCore& core, int commandId, int code) {
  switch (commandId) {
    case id::kTrafficLog:
      trafficLogNotification(core, code);
      break;
    case id::kClearLog:
      core.view.clearLog();
      break;
    case id::kStart:
      startOrStop(core);
      break;
    case id::kLogButton:
      if (code == kBnClicked) toggleLogPause(core);
      break;
    case id::kClearUseless:
      core.roster.clearUseless();
      break;
    case id::kAbout:
      core.view.showAboutBox();
      break;
    case id::kExit:
      core.view.destroyWindow();
      break;
    case id::kPortList:
      if (code == kCbnSelChange) selectPortFromList(core);
      break;
    case id::kDongleLine:
      break;
    default:
      core.roster.toggleLink(commandId);
      core.roster.showTooltip(commandId);
      break;
  }
  return 0;
}

void shutdownWindow(ConsoleCore& core) {
  core.closing = true;
  core.brushes.releaseBrushCaches();
  core.link.softResetDongle();
  core.view.waitServingLink(kShutdownWaitMs);
}

}  // namespace kv
