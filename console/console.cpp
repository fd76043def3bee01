#include "console/console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/watch.h"
#include "link/frame.h"
#include "link/serial_port.h"

namespace kv {

namespace {

void startOrStop(ConsoleCore& core) {
  core.words.pendingCommand = 0;
  Link& link = core.link;
  // Watched: no ack within kAckWaitMs and the button reads this again.
  core.ackAwaitedSinceMs = core.clock.nowMs();
  core.noAnswer = false;
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

// Gives up waiting for the ack of a Start or Stop: nothing is awaited any
// more, so that a later ack (a soft reset's, another port's) is not taken
// for it; the Start button reads what it read before the press (the scan,
// unacked, is as it was then). False when the ack came after all.
bool giveUpAck(ConsoleCore& core) {
  core.ackAwaitedSinceMs = 0;
  std::uint8_t awaited = 0;
  if (!core.words.pendingCommand.compare_exchange_strong(awaited, kNothingPending)) return false;
  core.view.setStartLabel(core.words.scanning == 0 ? "Start ..." : "Stop !!!");
  return true;
}

void selectPortFromList(ConsoleCore& core) {
  View& view = core.view;
  const int index = view.selectedPort();
  if (index == -1) return;
  // A held port's entry names its path: the open then says what holds it.
  char entry[kPortEntrySize] = {};
  view.portName(index, entry, kPortEntrySize);
  char name[kPortNameSize] = {};
  portOfListEntry(entry, name);
  // A Start or Stop still awaited would take the new port's ack for its
  // own: it is given up; what the old port did not answer is not said of
  // the new one.
  if (core.ackAwaitedSinceMs != 0) giveUpAck(core);
  core.noAnswer = false;
  core.link.selectPort(name);
  core.listHint[0] = '\0';
  showStatus(core);
  view.waitServingLink(kConfigRequestDelayMs);
  core.link.requestDongleConfig();
}

}  // namespace

// The link's reader: every sealed report to the recording, and to the
// devices heard.
void ConsoleCore::onReport(void* self, const DeviceReport& report) {
  auto* core = static_cast<ConsoleCore*>(self);
  const ReportSink& rec = core->recording.sink();
  rec.report(rec.arg, report);
  core->heard.heard(report, core->clock.nowMs());
}

void ConsoleCore::onDongle(void* self, const char* line) { static_cast<ConsoleCore*>(self)->recording.noteDongle(line); }

void ConsoleCore::onBadSeal(void* self) {
  const ReportSink& rec = static_cast<ConsoleCore*>(self)->recording.sink();
  rec.badSeal(rec.arg);
}

bool startConsole(ConsoleCore& core) {
  core.roster.table().initSlotTable();
  if (core.link.startWriter() != 0) return false;
  showStatus(core);
  return true;
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
    case id::kRecord:
      // Begun by the front end, which asks for the file first.
      stopRecording(core);
      break;
    case id::kMark:
      markRecording(core);
      break;
    case id::kNoParticipants:
      forgetParticipants(core);
      break;
    case id::kPortList:
      if (code == kCbnSelChange) selectPortFromList(core);
      if (code == kCbnDropDown) refreshPortList(core);
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

void showStatus(ConsoleCore& core) {
  StatusFacts facts;
  facts.port = core.link.portState();
  facts.scanning = core.words.scanning.load() == 1;
  facts.noAnswer = core.noAnswer;
  facts.listHint = core.listHint;
  facts.nowMs = core.clock.nowMs();
  facts.recording = recordingFacts(core, facts.nowMs);
  facts.participants = core.participantsProblem;
  char text[kStatusTextSize];
  formatStatus(facts, text);
  if (std::strcmp(text, core.statusShown) == 0) return;
  std::memcpy(core.statusShown, text, sizeof text);
  core.view.setStatusLine(text);
}

void watchConsole(ConsoleCore& core) {
  core.roster.checkSilence();
  watchParticipants(core);
  watchSessionReport(core);
  if (core.ackAwaitedSinceMs != 0) {
    if (core.words.pendingCommand.load() != 0) {
      core.ackAwaitedSinceMs = 0;  // answered
    } else if (core.clock.nowMs() - core.ackAwaitedSinceMs >= kAckWaitMs) {
      core.noAnswer = giveUpAck(core);
    }
  }
  showStatus(core);
}

void refreshPortList(ConsoleCore& core) {
  View& view = core.view;
  struct Listing {
    View* view;
    char picked[kPortEntrySize];
    int pickedAt;
    int count;
    char* hint;
  } listing{&view, {}, -1, 0, core.listHint};
  const int selected = view.selectedPort();
  if (selected >= 0) view.portName(selected, listing.picked, kPortEntrySize);
  core.listHint[0] = '\0';
  view.clearPorts();
  const PortState port = core.link.portState();
  enumerateSerialPorts(
      [](void* ctx, const char* path, PortFind find) {
        auto* l = static_cast<Listing*>(ctx);
        char entry[kPortEntrySize];
        listEntryOfPort(path, find, entry);
        if (l->picked[0] != '\0' && std::strcmp(entry, l->picked) == 0) l->pickedAt = l->count;
        ++l->count;
        return l->view->addPort(entry);
      },
      &listing,
      [](void* ctx, const char* text) {
        auto* l = static_cast<Listing*>(ctx);
        if (l->hint[0] != '\0') return;  // the first one is enough to say what to do
        std::snprintf(l->hint, kStatusTextSize, "%s", text);
      },
      port.open ? port.name : nullptr);
  if (listing.pickedAt >= 0) view.selectPortItem(listing.pickedAt);
  showStatus(core);
}

void shutdownWindow(ConsoleCore& core) {
  core.closing = true;
  core.brushes.releaseBrushCaches();
  core.link.softResetDongle();
  core.view.waitServingLink(kShutdownWaitMs);
}

int writeStatsIfAsked(const ConsoleCore& core, const char* program) {
  const char* path = std::getenv("KORAVEL_STATS");
  if (path == nullptr || path[0] == '\0') return 1;
  std::FILE* out = std::fopen(path, "w");
  if (out == nullptr) {
    std::fprintf(stderr, "%s: cannot write the figures to %s\n", program, path);
    return -1;
  }
  const Link& link = core.link;
  const ReceiveCounters& c = link.receiveCounters();
  const LatencyHistogram& l = link.readToShown();
  std::fprintf(out,
               "bytes_read=%llu\nreports=%u\nreadings_applied=%u\nbad_seals=%u\nacks=%u\nconfigs=%u\n"
               "inside_damaged=%u\nno_separator=%u\nbytes_dropped=%llu\n",
               static_cast<unsigned long long>(link.bytesRead()), c.reports, c.readingsApplied, c.badSeals, c.acks,
               c.configs, c.insideDamaged, c.noSeparator, static_cast<unsigned long long>(c.bytesDropped));
  std::fprintf(out, "latency_samples=%llu\nlatency_p50_us=%lld\nlatency_p99_us=%lld\nlatency_max_us=%lld\n",
               static_cast<unsigned long long>(l.count()), static_cast<long long>(l.quantileUs(0.5)),
               static_cast<long long>(l.quantileUs(0.99)), static_cast<long long>(l.maxUs()));
  const bool written = std::fclose(out) == 0;
  if (!written) std::fprintf(stderr, "%s: cannot write the figures to %s\n", program, path);
  return written ? 0 : -1;
}

}  // namespace kv
