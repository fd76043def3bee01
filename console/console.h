// The console's core: the link, the roster and the operator command handler,
// shared by the Win32 and the Qt programs. A front end implements View,
// makes one ConsoleCore for its main window and routes every command to
// handleCommand.
#pragma once

#include "kv_version.h"

#include "console/device_table.h"
#include "console/status.h"
#include "base/view.h"
#include "base/core_clock.h"
#include "link/link.h"
#include "link/link_words.h"
#include "participants/participants.h"
#include "recording/recording.h"
#include "roster/roster.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
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
// File > "Record readings..." / "Stop recording" (Ctrl+R), File > "Mark" (F9).
inline constexpr int kRecord = 107;
inline constexpr int kMark = 108;
// File > "Participants...", "No participants", "Save heard devices as
// participants...".
inline constexpr int kParticipants = 109;
inline constexpr int kNoParticipants = 110;
inline constexpr int kSaveHeard = 111;
// File > "Session report...".
inline constexpr int kSessionReport = 112;
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
inline constexpr const char* kRecordMenuText = "Record readings...";
inline constexpr const char* kStopRecordingMenuText = "Stop recording";
inline constexpr const char* kMarkMenuText = "Mark";
inline constexpr const char* kParticipantsMenuText = "Participants...";
inline constexpr const char* kNoParticipantsMenuText = "No participants";
inline constexpr const char* kSaveHeardMenuText = "Save heard devices as participants...";
inline constexpr const char* kSessionReportMenuText = "Session report...";
// How often the participants file is looked at for changes.
inline constexpr std::int64_t kParticipantsLookEveryMs = 2000;
// How long "Mark N" and the note after a recording's end stay on the
// status line; how long the end of a recording waits for the disk when the
// console closes.
inline constexpr std::int64_t kMarkShownMs = 3000;
inline constexpr std::int64_t kRecordingNoteMs = 10000;
inline constexpr int kRecordingFinishMs = 5000;

class ConsoleCore {
 public:
  explicit ConsoleCore(View& view, const LinkPlatform& platform = LinkPlatform{},
                       const CoreClock& clock = systemClock())
      : view(view), clock(clock), roster(view, brushes, clock), link(view, words, roster, platform, clock) {
    link.setReportSink(sink_);
  }
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

  // What the status line says of the recording besides its figures: the
  // last "Mark N" and until when; a note after its end (why it could not
  // begin, where it went) and until when; the words of a fault that stopped
  // it, kept until the next one begins; whether the menu shows it running.
  std::uint64_t markShown = 0;
  std::int64_t markUntilMs = 0;
  char recordingNote[kStatusTextSize] = {};
  std::int64_t noteUntilMs = 0;
  char recordingFault[kStatusTextSize] = {};
  bool recordingShown = false;

  // The participants in force (null: none), the file they came from
  // (UTF-8, "" for none) as it was when read, and what its last reading
  // found wrong ("" for nothing), said on the status line.
  std::shared_ptr<const ParticipantTable> participants;
  std::string participantsPath;
  std::int64_t participantsStamp = 0;
  std::int64_t nextParticipantsLookMs = 0;
  char participantsProblem[kStatusTextSize] = {};

  // A session report being made, on a thread of its own: the recording it
  // reads, the page it writes (or why it could not), and whether it is done.
  struct ReportJob {
    std::thread thread;
    std::string recording;
    std::string page;
    std::string failure;
    std::atomic<bool> done{false};
  } reportJob;

  LinkWords words;
  TileBrushCache brushes;
  Roster roster;
  // Every reading the dongle hears, to a file, while the operator asks for it.
  Recording recording;
  // Every device heard since the start (link's reader thread).
  DeviceTable heard;
  Link link;

 private:
  static void onReport(void* self, const DeviceReport& report);
  static void onBadSeal(void* self);
  static void onDongle(void* self, const char* line);
  const ReportSink sink_{&ConsoleCore::onReport, &ConsoleCore::onBadSeal, this, &ConsoleCore::onDongle};
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

// UI thread: the operator's recording. startRecording begins one in a new
// file at `path` (UTF-8; `replace`: the operator agreed to replace the file
// there); false, with why on the status line, when the file cannot be
// made. It goes on across Stop and Start and across ports until
// stopRecording (also command id::kRecord while one runs). markRecording
// (command id::kMark) writes a marker row; its number, 0 when none runs.
bool startRecording(ConsoleCore& core, const char* path, bool replace);
void stopRecording(ConsoleCore& core);
std::uint64_t markRecording(ConsoleCore& core);
// The console is closing and its link has stopped: the recording's file is
// finished, waiting at most kRecordingFinishMs for the disk. Into `out`
// (`size` bytes) what the operator must be told (rows that could not be
// written, a fault); "" when all went to the disk.
void finishRecording(ConsoleCore& core, char* out, std::size_t size);
// What the status line says of the recording at `nowMs`; a recording that
// stopped by itself is found here (its fault kept, the menu told).
RecordingFacts recordingFacts(ConsoleCore& core, std::int64_t nowMs);

// UI thread: the participants. loadParticipants reads the file at `path`
// (UTF-8) and puts it in force for the class display and the recording;
// false when it is refused whole (why is said on the status line, and
// what was in force stays; the file is watched all the same, so that once
// fixed it is read). A bad line is said on the status line and left out. forgetParticipants puts none in force. watchParticipants (from
// watchConsole) reads the file again when it has changed, at most every
// kParticipantsLookEveryMs; a bad reading keeps the last good table.
bool loadParticipants(ConsoleCore& core, const char* path);
void forgetParticipants(ConsoleCore& core);
void watchParticipants(ConsoleCore& core);
// Writes a participants file ready to fill: a row for every device heard
// since the start (address with colons, `device` its name, `name`,
// `max_hr` and `age` empty), the participants in force keeping what they
// have (and those not heard kept too), UTF-8 with a byte-order mark and
// CR LF, as spreadsheets read it. False with the system's words in `error`.
bool saveHeardAsParticipants(ConsoleCore& core, const char* path, char* error, std::size_t size);

// UI thread: File > "Session report...": makes the report of the recording
// at `path` (UTF-8) beside it (a page of the same name with .html, made
// again when there is one), on a thread of its own so that the window goes
// on; the status line says so. watchConsole finds it done: the status line
// says where it is and the view opens it (View::openDocument), or says why
// there is none. False when one is being made already.
bool startSessionReport(ConsoleCore& core, const char* path);
void watchSessionReport(ConsoleCore& core);
// The console is closing: a report being made is waited for.
void finishSessionReport(ConsoleCore& core);

// For measurements: when the environment names a file in KORAVEL_STATS,
// writes the link's figures to it (key=value lines: bytes read, the
// parser's counters, the read-to-tile latency) and returns 0; -1 when the
// file cannot be written; 1 when none is named. Once the link has stopped.
int writeStatsIfAsked(const ConsoleCore& core, const char* program);

}  // namespace kv
