#include "console/record/recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "base/text.h"
#include "console/record/record_platform.h"
#include "link/frame.h"
#include "link/serial_port.h"
#include "recording/csv.h"

namespace kv::record {

namespace {

#ifdef _WIN32
constexpr bool kWin32 = true;
#else
constexpr bool kWin32 = false;
#endif

constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kReopenEvery = std::chrono::seconds(1);
constexpr auto kShowEvery = std::chrono::seconds(1);
constexpr auto kSummaryEvery = std::chrono::seconds(10);
// The console's pause between opening a port and asking for the dongle's
// configuration.
constexpr int kConfigAfterOpenMs = 150;
constexpr int kWrittenWaitMs = 500;
// At the end: how long the output is waited for while it takes nothing at
// all, and, once Ctrl-C (or SIGTERM) has asked for the end, at most.
constexpr int kOutputStuckMs = 5000;
constexpr int kOutputAfterStopMs = 1000;

std::string openFailure(int rc, const std::string& path) {
  char why[kPortTextSize];
  describeOpenFailure(rc, path.c_str(), why);
  return why;
}

std::string errnoWords(int err) {
  char words[160];
  errorWords(err, words, sizeof words);
  return words;
}

std::string clock(std::int64_t ms) {
  const std::int64_t s = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(s / 3600), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60));
  return text;
}

// Columns a terminal gives a code point: two for the wide scripts of East
// Asia, one for the rest (close enough for a table's alignment).
int columnsOf(std::uint32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
                 (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                 (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) || (cp >= 0x20000 && cp <= 0x3FFFD)
             ? 2
             : 1;
}

// A text from the air as a terminal may show it, padded with spaces (or cut)
// to `width` columns.
std::string cell(const char* raw, std::size_t rawWidth, int width) {
  char text[decodedTextSize(kDeviceNameWidth)];
  decodeText(text, sizeof text, raw, rawWidth);
  std::string out;
  int used = 0;
  for (const char* c = text; *c != '\0';) {
    const auto b = static_cast<unsigned char>(*c);
    const int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t cp = len == 1 ? b : b & (0x3F >> (len - 1));
    for (int i = 1; i < len; ++i) cp = (cp << 6) | (static_cast<unsigned char>(c[i]) & 0x3F);
    const int w = columnsOf(cp);
    if (used + w > width) break;
    out.append(c, static_cast<std::size_t>(len));
    used += w;
    c += len;
  }
  out.append(static_cast<std::size_t>(width - used), ' ');
  return out;
}

// A line of the table as the terminal shows it: no wider than its width (a
// wrapped line would throw off the count of lines to redraw), ended so.
std::string fitLine(const std::string& line, int columns) {
  int used = 0;
  std::size_t i = 0;
  while (i < line.size()) {
    const auto b = static_cast<unsigned char>(line[i]);
    const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t cp = len == 1 ? b : b & (0x3Fu >> (len - 1));
    for (std::size_t k = 1; k < len && i + k < line.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(line[i + k]) & 0x3F);
    const int w = columnsOf(cp);
    if (used + w > columns - 1) break;  // the last column left free: no wrap at its edge
    used += w;
    i += len;
  }
  return line.substr(0, i) + "\x1b[K\n";
}

}  // namespace

void HeadlessView::setDongleLine(const char* text) {
  std::lock_guard lock(mutex_);
  dongleLine_ = text;
}

void HeadlessView::waitServingLink(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool HeadlessView::waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done(arg)) {
    if (std::chrono::steady_clock::now() >= end) return done(arg);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string HeadlessView::dongleLine() const {
  std::lock_guard lock(mutex_);
  return dongleLine_;
}

void HeadlessView::clear() {
  std::lock_guard lock(mutex_);
  dongleLine_.clear();
}

Recorder::Recorder(const RecordOptions& options, const char* program)
    : options_(options),
      program_(program),
      portPath_(portPathFor(options.port, kWin32)),
      roster_(view_, brushes_),
      link_(view_, words_, roster_),
      recording_(RecordingOptions{.allReports = options.all}),
      sink_{&Recorder::onReport, &Recorder::onBadSeal, this, &Recorder::onDongle} {
  link_.setReportSink(sink_);
}

Recorder::~Recorder() = default;

// Reader thread: into the recording's queue, and into the live table.
void Recorder::onReport(void* self, const DeviceReport& report) {
  auto* r = static_cast<Recorder*>(self);
  const ReportSink& rec = r->recording_.sink();
  rec.report(rec.arg, report);
  if (report.check == kReadingApplied) ++r->readingsHeard_;
  if (r->options_.all || report.check == kReadingApplied) r->table_.heard(report, r->sinceStartMs(Steady::now()));
}

void Recorder::onDongle(void* self, const char* line) { static_cast<Recorder*>(self)->recording_.noteDongle(line); }

void Recorder::onBadSeal(void* self) {
  const ReportSink& rec = static_cast<Recorder*>(self)->recording_.sink();
  rec.badSeal(rec.arg);
}

std::int64_t Recorder::sinceStartMs(Steady::time_point t) const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t - start_).count();
}

bool Recorder::waitWritten(std::uint64_t before, int timeoutMs) {
  const auto end = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (link_.commandsWritten() == before) {
    if (Steady::now() >= end || stopRequested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Recorder::askDongle(bool config, bool scan) {
  // The writer writes only the latest command, so each waits for the one
  // before.
  if (config) {
    const std::uint64_t before = link_.commandsWritten();
    link_.requestDongleConfig();
    waitWritten(before, kWrittenWaitMs);
  }
  if (scan) {
    // Start ADV as the Start button sends it; its ack sets scanning.
    words_.scanning = 0;
    words_.pendingCommand = 0;
    buildControlCommand(link_.commandFrame, 0, 1, &link_.commandLength);
    const std::uint64_t before = link_.commandsWritten();
    link_.submitCommand(link_.commandFrame, link_.commandLength);
    waitWritten(before, kWrittenWaitMs);
  }
  askedAt_ = Steady::now();
}

bool Recorder::configAnswered() const { return !view_.dongleLine().empty(); }

bool Recorder::scanAnswered() const { return words_.scanning == 1 || readingsHeard_.load() > readingsAtConnect_; }

void Recorder::watchDongle(Steady::time_point now) {
  const bool config = configAnswered();
  const bool scan = scanAnswered();
  if (config || scan) everAnswered_ = true;
  if (config && scan) {
    if (silenceSaid_) say("the dongle on " + options_.port + " answers now");
    silenceSaid_ = false;
    return;
  }
  if (!silenceSaid_ && !config && !scan && now - connectedAt_ >= std::chrono::milliseconds(kNoAnswerAfterMs)) {
    say("no answer from the dongle on " + options_.port + "; still asking every " +
        std::to_string(kAskAgainEveryMs / 1000) + " s");
    silenceSaid_ = true;
    noAnswerSaid_ = true;
  }
  if (now - askedAt_ >= std::chrono::milliseconds(kAskAgainEveryMs)) askDongle(!config, !scan);
}

void Recorder::readMarkers() {
  std::string line;
  bool eof = false;
  while (stdinOpen_ && readInputLine(&line, &eof)) {
    // The Enter that ended the line moved the terminal's cursor down a line
    // under the table.
    if (live_ && tableLines_ > 0) ++tableLines_;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    const std::uint64_t n = recording_.mark(line.empty() ? nullptr : line.c_str());
    if (n == 0) {
      say("the marker could not be kept: the output is too far behind");
    } else {
      char text[kMarkerTextSize + 1];
      decodeText(text, sizeof text, line.empty() ? std::to_string(n).c_str() : line.c_str());
      say("marker " + std::to_string(n) + ": " + text);
    }
  }
  if (eof) stdinOpen_ = false;
}

void Recorder::say(const std::string& line) {
  if (live_ && tableLines_ > 0) {
    std::fprintf(stderr, "\x1b[%dA\r\x1b[J", tableLines_);
    tableLines_ = 0;
  }
  std::fprintf(stderr, "%s: %s\n", program_.c_str(), line.c_str());
  std::fflush(stderr);
}

void Recorder::drawTable(Steady::time_point now) {
  std::uint64_t unlistedRows = 0;
  const int count = table_.snapshot(listed_, &unlistedRows);
  const std::int64_t nowMs = sinceStartMs(now);
  const int columns = terminalColumns();
  const RecordingStats st = recording_.stats();
  std::string text;
  char line[256];
  std::snprintf(line, sizeof line, "%s  %s  %s", program_.c_str(), options_.port.c_str(),
                connected_ ? (dongleText_.empty() ? "(no answer from the dongle yet)" : dongleText_.c_str())
                           : "PORT LOST: trying it again every second");
  text += fitLine(line, columns);
  std::snprintf(line, sizeof line, "%s  %llu%s devices  %llu rows  %llu bad seals%s  -> %s", clock(nowMs).c_str(),
                static_cast<unsigned long long>(st.devices), st.moreDevices ? "+" : "",
                static_cast<unsigned long long>(st.rows), static_cast<unsigned long long>(st.badSeals),
                st.lost != 0 ? ("  " + std::to_string(st.lost) + " LOST").c_str() : "", outName_.c_str());
  text += fitLine(line, columns);
  std::snprintf(line, sizeof line, "%-25s  %-12s  %4s  %5s  %4s  %11s", "NAME", "ADDRESS", "HR", "RR", "BAT", "HEARD");
  text += fitLine(line, columns);
  int lines = 3;
  const int room = std::max(1, terminalRows() - 5);
  for (int i = 0; i < count; ++i) {
    if (i == room && count > room + 1) {
      std::snprintf(line, sizeof line, "... and %d more", count - room);
      text += fitLine(line, columns);
      ++lines;
      break;
    }
    const HeardDevice& d = listed_[i];
    char hr[8] = "", rr[8] = "", bat[8] = "";
    if (d.heartRate != kNoReading8) std::snprintf(hr, sizeof hr, "%u", static_cast<unsigned>(d.heartRate));
    if (d.rrInterval != kNoReading16) std::snprintf(rr, sizeof rr, "%u", static_cast<unsigned>(d.rrInterval));
    if (d.battery != kNoReading8) std::snprintf(bat, sizeof bat, "%u%%", static_cast<unsigned>(d.battery));
    std::snprintf(line, sizeof line, "  %4s  %5s  %4s  %5.1f s ago", hr, rr, bat,
                  static_cast<double>(nowMs - d.lastHeardMs) / 1000.0);
    text += fitLine(cell(d.name, kDeviceNameWidth, 25) + "  " + cell(d.address, kAddressWidth, 12) + line, columns);
    ++lines;
  }
  if (unlistedRows != 0) {
    std::snprintf(line, sizeof line, "(%llu rows of devices beyond the first %d)",
                  static_cast<unsigned long long>(unlistedRows), DeviceTable::kMaxListed);
    text += fitLine(line, columns);
    ++lines;
  }
  if (tableLines_ > 0) std::fprintf(stderr, "\x1b[%dA\r", tableLines_);
  std::fputs(text.c_str(), stderr);
  std::fputs("\x1b[J", stderr);
  std::fflush(stderr);
  tableLines_ = lines;
}

void Recorder::summaryLine(Steady::time_point now) {
  const RecordingStats st = recording_.stats();
  char line[200];
  std::snprintf(line, sizeof line, "%s, %llu%s devices, %llu rows, %llu bad seals%s%s", clock(sinceStartMs(now)).c_str(),
                static_cast<unsigned long long>(st.devices), st.moreDevices ? "+" : "",
                static_cast<unsigned long long>(st.rows), static_cast<unsigned long long>(st.badSeals),
                st.lost != 0 ? (", " + std::to_string(st.lost) + " rows lost").c_str() : "",
                connected_ ? "" : ", port lost");
  say(line);
}

RecordingStats Recorder::finishOutput() {
  // Waits while the output still takes rows; once it takes nothing for a
  // while, or once the end was asked for with Ctrl-C, not much longer.
  struct Watch {
    Recorder* self;
    std::uint64_t rows;
    Steady::time_point progressAt;
    Steady::time_point stopAskedAt;
  } watch{this, recording_.stats().rows, Steady::now(), {}};
  if (stopRequested()) watch.stopAskedAt = Steady::now();
  struct Done {
    static bool keepWaiting(void* arg) {
      auto* w = static_cast<Watch*>(arg);
      const Steady::time_point now = Steady::now();
      const std::uint64_t rows = w->self->recording_.stats().rows;
      if (rows != w->rows) {
        w->rows = rows;
        w->progressAt = now;
      }
      if (w->stopAskedAt == Steady::time_point{} && stopRequested()) w->stopAskedAt = now;
      if (w->stopAskedAt != Steady::time_point{} && now - w->stopAskedAt >= std::chrono::milliseconds(kOutputAfterStopMs))
        return false;
      return now - w->progressAt < std::chrono::milliseconds(kOutputStuckMs);
    }
  };
  return recording_.stop(-1, &Done::keepWaiting, &watch);
}

int Recorder::summary(const RecordingStats& st, Steady::time_point endedAt) {
  int status = 0;
  char line[320];
  std::snprintf(line, sizeof line, "%llu%s devices, %llu rows, %llu bad seals, %.1f s; %s",
                static_cast<unsigned long long>(st.devices), st.moreDevices ? "+" : "",
                static_cast<unsigned long long>(st.rows), static_cast<unsigned long long>(st.badSeals),
                static_cast<double>(sinceStartMs(endedAt)) / 1000.0, outName_.c_str());
  std::string text = line;
  if (st.markersWritten != 0) text += "; " + std::to_string(st.markersWritten) + " markers";
  if (st.lost != 0) {
    text += "; " + std::to_string(st.lost) + " rows LOST: the output could not keep up";
    status = 1;
  }
  // Rows that a reader who has gone away did not want are no loss.
  if (st.unwritten != 0 && st.fault != RecordingFault::OutputClosed) {
    text += "; " + std::to_string(st.unwritten) + " rows could not be written";
    status = 1;
  }
  if (st.fault != RecordingFault::None && st.fault != RecordingFault::OutputClosed) {
    char words[200];
    recordingFaultWords(st, words, sizeof words);
    text += std::string("; the recording stopped: ") + words;
    status = 1;
  }
  if (st.remade != 0) {
    text += "; the file was deleted while recording and made again";
    status = 1;
  }
  // A recording ended before the dongle was given its time to answer (a
  // reader that went away at once) is no dongle's fault.
  if (!everAnswered_ && noAnswerSaid_) {
    text += "; the dongle on " + options_.port + " never answered";
    status = 1;
  }
  live_ = false;
  say(text);
  return status;
}

int Recorder::run() {
  // Who wears which device: a file that cannot be used stops the recorder
  // before anything reaches the dongle.
  if (!options_.participants.empty()) {
    auto people = std::make_shared<ParticipantTable>();
    const ParticipantsRead read = readParticipantsFile(options_.participants, people.get());
    if (read.refused) {
      say(read.refusal);
      return 2;
    }
    for (const std::string& problem : read.problems) say(problem);
    say(std::to_string(people->count()) + " participants from " + options_.participants);
    recording_.setParticipants(people);
  }
  std::string reason;
  if (!isSerialPort(portPath_.c_str(), &reason)) {
    say("cannot open " + options_.port + ": " + reason);
    return 1;
  }
  // A file is made before anything is sent to the dongle: one that cannot
  // be written stops the recording before it begins.
  const bool toStdout = options_.out == "-";
  int err = 0;
  if (toStdout) {
    outName_ = "standard output";
  } else {
    if (options_.out.empty()) {
      char name[32];
      defaultRecordingName(name, unixMsNow());
      outName_ = name;
    } else {
      outName_ = options_.out;
    }
    if (!recording_.startFile(outName_.c_str(), false, &err)) {
      say("cannot write " + outName_ + ": " +
          (err == EEXIST ? std::string("it exists, and a recording is never overwritten") : errnoWords(err)));
      return 1;
    }
  }
  if (link_.createTxEvent() != 0 || link_.startWriter() != 0) {
    say("cannot start the thread that writes to the port");
    recording_.stop(0);
    if (!toStdout) std::remove(outName_.c_str());
    return 1;
  }
  start_ = Steady::now();
  if (!link_.openPort(portPath_.c_str())) {
    say("cannot open " + options_.port + ": " + openFailure(link_.portState().failRc, portPath_));
    link_.stopLink();
    recording_.stop(0);
    if (!toStdout) std::remove(outName_.c_str());
    return 1;
  }
  // Rows on standard output begin once the port is there.
  if (toStdout && !recording_.startStdout(&err)) {
    say("cannot write to standard output: " + errnoWords(err));
    link_.softResetDongle();
    link_.stopLink();
    return 1;
  }
  connected_ = true;
  connectedAt_ = Steady::now();
  live_ = liveTerminal() && !(toStdout && stdoutIsTerminal());
  if (!live_) say("recording " + options_.port + " to " + outName_);
  std::this_thread::sleep_for(std::chrono::milliseconds(kConfigAfterOpenMs));
  askDongle(true, true);

  Steady::time_point nextTry{}, nextShow = start_ + kShowEvery, nextSummary = start_ + kSummaryEvery;
  const auto end = options_.durationSeconds > 0
                       ? start_ + std::chrono::duration_cast<Steady::duration>(
                                      std::chrono::duration<double>(options_.durationSeconds))
                       : Steady::time_point::max();
  for (;;) {
    const Steady::time_point now = Steady::now();
    if (stopRequested() || now >= end) break;
    const RecordingStats st = recording_.stats();
    if (!st.running) {
      if (st.fault == RecordingFault::OutputClosed) break;  // as Ctrl-C: quietly
      char words[200];
      recordingFaultWords(st, words, sizeof words);
      say("cannot write " + outName_ + ": " + words + "; the recording stops (" + std::to_string(st.rows) +
          " rows kept)");
      break;
    }
    if (st.lost != lostSaid_) {
      if (lostSaid_ == 0) say("the output cannot keep up: rows are being LOST (" + std::to_string(st.lost) + " so far)");
      lostSaid_ = st.lost;
    }
    if (st.remade != remadeSaid_) {
      say(outName_ + " was deleted while recording: made again with everything recorded so far");
      remadeSaid_ = st.remade;
    }
    const PortState port = link_.portState();
    if (connected_ && port.lost) {
      connected_ = false;
      say("lost " + options_.port + " (" + portErrorText(port.lostRc) + "): trying it again every second");
      nextTry = now + kReopenEvery;
    }
    if (!connected_ && now >= nextTry) {
      words_.pendingCommand = kNothingPending;
      view_.clear();
      if (link_.openPort(portPath_.c_str())) {
        connected_ = true;
        connectedAt_ = Steady::now();
        readingsAtConnect_ = readingsHeard_.load();
        silenceSaid_ = false;
        say(options_.port + " is back: the recording goes on in " + outName_);
        std::this_thread::sleep_for(std::chrono::milliseconds(kConfigAfterOpenMs));
        askDongle(true, true);
      } else {
        nextTry = now + kReopenEvery;
      }
    }
    if (connected_) watchDongle(Steady::now());
    if (std::string text = view_.dongleLine(); text != dongleText_) {
      if (!live_ && !text.empty()) say("dongle " + text);
      dongleText_ = text;
    }
    readMarkers();
    if (live_ && now >= nextShow) {
      nextShow = now + kShowEvery;
      drawTable(now);
    }
    if (!live_ && now >= nextSummary) {
      nextSummary = now + kSummaryEvery;
      summaryLine(now);
    }
    std::this_thread::sleep_for(std::min<Steady::duration>(kTick, end - now));
  }

  // On the way out, as the console does at exit: the soft reset, written
  // before the port closes. Then the rows still queued.
  if (connected_) link_.softResetDongle();
  link_.stopLink();
  const Steady::time_point endedAt = Steady::now();
  const RecordingStats st = finishOutput();
  if (live_) drawTable(endedAt);
  return summary(st, endedAt);
}

int listPorts(const char* program) {
  struct Found {
    const char* program;
    int free;
  } found{program, 0};
  enumerateSerialPorts(
      [](void* ctx, const char* path, PortFind find) {
        char entry[kPortEntrySize];
        listEntryOfPort(path, find, entry);
        static_cast<Found*>(ctx)->free += find == PortFind::Free;
        std::printf("%s\n", entry);
        return true;
      },
      &found,
      [](void* ctx, const char* text) { std::fprintf(stderr, "%s: %s\n", static_cast<Found*>(ctx)->program, text); });
  if (found.free == 0) std::fprintf(stderr, "%s: no serial port can be opened now\n", program);
  std::fflush(stdout);
  return 0;
}

}  // namespace kv::record
