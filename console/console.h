// The console's core: the link, the roster and the operator command handler,
// shared by the Win32 and the Qt programs. A front end implements View,
// makes one ConsoleCore for its main window and routes every command to
// handleCommand.
#pragma once

#include "kv_version.h"

#include "console/status.h"
#include "base/view.h"
#include "base/core_clock.h"
#include "link/link.h"
#include "link/link_words.h"
#include "roster/roster.h"
#include "roster/tile_colours.h"

namespace kv {

// Control and command ids.
namespace id {
inline constexpr int kTrafficLog = 5;
inline constexpr int kClearLog = 7;
inline constexpr int kPortLabel = 8;
inline constexpr int kStart = 17;
inline constexpr int kLogButton = 28;
inline constexpr int kDongleLine = 40;
inline constexpr int kClearUseless = 44;
inline constexpr int kStatusLine = 45;
inline constexpr int kAbout = 104;
inline constexpr int kExit = 105;
inline constexpr int kPortList = 150;
inline constexpr int kLinkedCount = 390;
inline constexpr int kFirstTile = 400;
inline constexpr int kFirstTooltipRequest = 1400;
}  // namespace id

// Notification codes the handler looks at.
inline constexpr int kBnClicked = 0;
inline constexpr int kCbnSelChange = 1;
inline constexpr int kCbnDropDown = 7;
inline constexpr int kEnChange = 0x300;
inline constexpr int kEnErrSpace = 0x500;
inline constexpr int kEnMaxText = 0x501;

// The log keeps at most this many lines before the caret; a trim removes
// this many characters from its front.
inline constexpr unsigned kLogMaxLine = 800;
inline constexpr int kLogTrimChars = 4000;
inline constexpr int kLogTextLimit = 2097152;
// Fixed waits of the UI thread.
inline constexpr int kConfigRequestDelayMs = 150;
inline constexpr int kShutdownWaitMs = 300;

// Fixed texts.
inline constexpr const char* kWindowTitle = "Koravel  v" KV_VERSION;
inline constexpr const char* kWindowClass = "MAIN";
inline constexpr const char* kAboutText = "Koravel Version " KV_VERSION;

class ConsoleCore {
 public:
  explicit ConsoleCore(View& view, const LinkPlatform& platform = LinkPlatform{},
                       const CoreClock& clock = systemClock())
      : view(view), clock(clock), roster(view, brushes, clock), link(view, words, roster, platform, clock) {}
  ConsoleCore(const ConsoleCore&) = delete;
  ConsoleCore& operator=(const ConsoleCore&) = delete;

  View& view;
  const CoreClock& clock;
  // Set once the main window is on its way out (the operator was told the
  // log is full, or the shutdown has begun): a full log is then not reported
  // again.
  bool closing = false;

  // What the watch keeps (watchConsole): since when a Start or Stop awaits
  // its ack (0: none); whether the last one went unanswered; what opening
  // the port list had to say; the status line as shown.
  std::int64_t ackAwaitedSinceMs = 0;
  bool noAnswer = false;
  char listHint[kStatusTextSize] = {};
  char statusShown[kStatusTextSize] = {};

  LinkWords words;
  TileBrushCache brushes;
  Roster roster;
  Link link;
};

// Start-up once the main window and its controls exist (the port list is
// filled while the controls are made, with link.enumerateComPorts()): the
// slot table and the writer thread. Returns false when start-up failed.
bool startConsole(ConsoleCore& core);

// Every command of the main window: the command id and notification code.
// UI thread; returns 0.
int handleCommand(ConsoleCore& core, int commandId, int code);

// The main window is going away: release the tile brushes, submit the soft
// reset and wait kShutdownWaitMs while the link threads are served. The
// front end then ends its event loop and calls core.link.stopLink().
void shutdownWindow(ConsoleCore& core);

// UI thread, every kWatchEveryMs (a timer of the front end's, console/
// watch.h): devices gone silent, a Start or Stop gone unanswered (the Start
// button then reads again what it read before), and the status line.
void watchConsole(ConsoleCore& core);

// UI thread: the operator opens the port list. It is filled afresh, so that
// a dongle plugged in since is there; the picked port stays selected while
// it is listed; a port another program holds is listed with kHeldPortSuffix
// (picking it tries the port itself, and the status line says who has it);
// a port this user may not open, or a port folder not used, is said on the
// status line.
void refreshPortList(ConsoleCore& core);

// UI thread: brings the status line up to date now.
void showStatus(ConsoleCore& core);

// For measurements: when the environment names a file in KORAVEL_STATS,
// writes the link's figures to it (key=value lines: bytes read, the
// parser's counters, the read-to-tile latency) and returns 0; -1 when the
// file cannot be written; 1 when none is named. Once the link has stopped.
int writeStatsIfAsked(const ConsoleCore& core, const char* program);

}  // namespace kv
