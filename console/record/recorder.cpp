#include "console/record/recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "console/record/csv_row.h"
#include "console/record/record_platform.h"
#include "base/text.h"
#include "link/frame.h"
#include "link/serial_port.h"

namespace kv::record {

namespace {

#ifdef _WIN32
constexpr bool kWin32 = true;
#else
constexpr bool kWin32 = false;
#endif

constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kReopenEvery = std::chrono::seconds(1);
constexpr auto kSyncEvery = std::chrono::seconds(1);
constexpr auto kSummaryEvery = std::chrono::seconds(10);
// The console's pause between opening a port and asking for the dongle's
// configuration.
constexpr int kConfigAfterOpenMs = 150;
constexpr int kWrittenWaitMs = 500;

std::int64_t unixMsNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string defaultOutName() {
  char iso[32];
  formatIsoUtc(iso, unixMsNow());
  // 2026-12-09T15:34:19.123Z -> koravel-20261209-153419Z.csv
  std::string name = "koravel-";
  for (int i = 0; i < 10; ++i)
    if (iso[i] != '-') name += iso[i];
  name += '-';
  for (int i = 11; i < 19; ++i)
    if (iso[i] != ':') name += iso[i];
  return name + "Z.csv";
}

std::string openFailure(int rc, const std::string& path) {
  char why[kPortTextSize];
  describeOpenFailure(rc, path.c_str(), why);
  return why;
}

std::string clock(std::int64_t ms) {
  const std::int64_t s = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02d:%02d", static_cast<long long>(s / 3600), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60));
  return text;
}

// A device's text as a terminal may show it.
std::string printable(const char* text) {
  char out[decodedTextSize(kDeviceNameWidth)];
  decodeText(out, sizeof out, text);
  return out;
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

Recorder::Recorder(const RecordOptions& options, const char* program)
    : options_(options),
      program_(program),
      portPath_(portPathFor(options.port, kWin32)),
      roster_(view_, brushes_),
      link_(view_, words_, roster_) {
  link_.setReportSink(ReportSink{&Recorder::onReport, &Recorder::onBadSeal, this});
}

Recorder::~Recorder() { closeOutput(); }

void Recorder::onReport(void* self, const DeviceReport& report) { static_cast<Recorder*>(self)->writeRow(report); }

void Recorder::onBadSeal(void* self) { ++static_cast<Recorder*>(self)->badSeals_; }

std::int64_t Recorder::sinceStartMs(Steady::time_point t) const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t - start_).count();
}

// Reader thread: the row goes out whole, at once.
void Recorder::writeRow(const DeviceReport& report) {
  if (!options_.all && report.check != kReadingApplied) return;
  if (writeFailed_ || out_ == nullptr) return;
  const std::int64_t since = sinceStartMs(Steady::now());
  char row[kMaxRowSize];
  const std::size_t n = formatCsvRow(row, unixMsNow(), since, report);
  errno = 0;
  if (std::fwrite(row, 1, n, out_) != n || std::fflush(out_) != 0) {
    writeErrno_ = errno != 0 ? errno : EIO;
    writeFailed_ = true;
    return;
  }
  ++rows_;
  table_.heard(report, since);
}

bool Recorder::openOutput() {
  std::string reason;
  if (options_.out == "-") {
    out_ = rowsToStdout();
    outName_ = "standard output";
  } else {
    outName_ = options_.out.empty() ? defaultOutName() : options_.out;
    out_ = createNewFile(outName_.c_str(), &reason);
    outIsFile_ = out_ != nullptr;
  }
  if (out_ != nullptr) {
    const char* header = csvHeader();
    const std::size_t n = std::strlen(header);
    errno = 0;
    if (std::fwrite(header, 1, n, out_) == n && std::fflush(out_) == 0) return true;
    reason = errorText(errno != 0 ? errno : EIO);
    abandonOutput();
  }
  say("cannot write " + outName_ + ": " + reason);
  return false;
}

void Recorder::closeOutput() {
  if (out_ == nullptr) return;
  std::fflush(out_);
  std::string reason;
  if (outIsFile_) {
    if (!syncToDisk(out_, &reason)) say("cannot sync " + outName_ + " to the disk: " + reason);
    std::fclose(out_);
  }
  out_ = nullptr;
}

void Recorder::abandonOutput() {
  closeOutput();
  if (outIsFile_) removeFile(outName_.c_str());
}

bool Recorder::waitWritten(std::uint64_t before, int timeoutMs) {
  const auto end = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (link_.commandsWritten() == before) {
    if (Steady::now() >= end || stopRequested()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Recorder::startScan() {
  // As the console does once a port is picked: the soft reset has gone with
  // the open; the configuration request follows, then start ADV. The writer
  // writes only the latest command, so each waits for the one before.
  std::this_thread::sleep_for(std::chrono::milliseconds(kConfigAfterOpenMs));
  std::uint64_t before = link_.commandsWritten();
  link_.requestDongleConfig();
  waitWritten(before, kWrittenWaitMs);
  // Start ADV as the Start button sends it; its ack sets scanning.
  words_.scanning = 0;
  words_.pendingCommand = 0;
  buildControlCommand(link_.commandFrame, 0, 1, &link_.commandLength);
  before = link_.commandsWritten();
  link_.submitCommand(link_.commandFrame, link_.commandLength);
  waitWritten(before, kWrittenWaitMs);
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
  std::string text;
  char line[160];
  std::snprintf(line, sizeof line, "%s  %s  %s\x1b[K\n", program_.c_str(), options_.port.c_str(),
                connected_ ? (dongleText_.empty() ? "(no answer from the dongle yet)" : dongleText_.c_str())
                           : "PORT LOST: trying it again every second");
  text += line;
  std::snprintf(line, sizeof line, "%s  %d devices  %llu rows  %llu bad seals  -> %s\x1b[K\n", clock(nowMs).c_str(),
                count, static_cast<unsigned long long>(rows_.load()),
                static_cast<unsigned long long>(badSeals_.load()), outName_.c_str());
  text += line;
  std::snprintf(line, sizeof line, "%-25s  %-12s  %4s  %5s  %4s  %11s\x1b[K\n", "NAME", "ADDRESS", "HR", "RR", "BAT",
                "HEARD");
  text += line;
  int lines = 3;
  const int room = std::max(1, terminalRows() - 5);
  for (int i = 0; i < count; ++i) {
    if (i == room && count > room + 1) {
      std::snprintf(line, sizeof line, "... and %d more\x1b[K\n", count - room);
      text += line;
      ++lines;
      break;
    }
    const HeardDevice& d = listed_[i];
    char hr[8] = "", rr[8] = "", bat[8] = "";
    if (d.heartRate != kNoReading8) std::snprintf(hr, sizeof hr, "%u", static_cast<unsigned>(d.heartRate));
    if (d.rrInterval != kNoReading16) std::snprintf(rr, sizeof rr, "%u", static_cast<unsigned>(d.rrInterval));
    if (d.battery != kNoReading8) std::snprintf(bat, sizeof bat, "%u%%", static_cast<unsigned>(d.battery));
    std::snprintf(line, sizeof line, "%-25s  %-12s  %4s  %5s  %4s  %5.1f s ago\x1b[K\n", printable(d.name).c_str(),
                  printable(d.address).c_str(), hr, rr, bat, static_cast<double>(nowMs - d.lastHeardMs) / 1000.0);
    text += line;
    ++lines;
  }
  if (unlistedRows != 0) {
    std::snprintf(line, sizeof line, "(%llu rows of devices beyond the first %d)\x1b[K\n",
                  static_cast<unsigned long long>(unlistedRows), DeviceTable::kMaxListed);
    text += line;
    ++lines;
  }
  if (tableLines_ > 0) std::fprintf(stderr, "\x1b[%dA\r", tableLines_);
  std::fputs(text.c_str(), stderr);
  std::fputs("\x1b[J", stderr);
  std::fflush(stderr);
  tableLines_ = lines;
}

void Recorder::summaryLine(Steady::time_point now) {
  std::uint64_t unlistedRows = 0;
  const int count = table_.devices(&unlistedRows);
  char line[200];
  std::snprintf(line, sizeof line, "%s, %d devices, %llu rows, %llu bad seals%s", clock(sinceStartMs(now)).c_str(),
                count, static_cast<unsigned long long>(rows_.load()),
                static_cast<unsigned long long>(badSeals_.load()), connected_ ? "" : ", port lost");
  say(line);
}

int Recorder::run() {
  if (!openOutput()) return 1;
  std::string reason;
  if (!isSerialPort(portPath_.c_str(), &reason)) {
    say("cannot open " + options_.port + ": " + reason);
    abandonOutput();
    return 1;
  }
  if (link_.createTxEvent() != 0 || link_.startWriter() != 0) {
    say("cannot start the thread that writes to the port");
    abandonOutput();
    return 1;
  }
  start_ = Steady::now();
  if (!link_.openPort(portPath_.c_str())) {
    say("cannot open " + options_.port + ": " + openFailure(link_.portState().failRc, portPath_));
    link_.stopLink();
    abandonOutput();
    return 1;
  }
  connected_ = true;
  live_ = liveTerminal() && !(options_.out == "-" && stdoutIsTerminal());
  if (!live_) say("recording " + options_.port + " to " + outName_);
  startScan();

  int status = 0;
  Steady::time_point nextTry{}, nextSync = start_ + kSyncEvery, nextShow = start_ + kSyncEvery,
                                nextSummary = start_ + kSummaryEvery;
  const auto end = options_.durationSeconds > 0
                       ? start_ + std::chrono::duration_cast<Steady::duration>(
                                      std::chrono::duration<double>(options_.durationSeconds))
                       : Steady::time_point::max();
  for (;;) {
    const Steady::time_point now = Steady::now();
    if (stopRequested() || now >= end) break;
    if (writeFailed_) {
      say("cannot write " + outName_ + ": " + errorText(writeErrno_) + "; the recording stops");
      status = 1;
      break;
    }
    const PortState port = link_.portState();
    if (connected_ && port.lost) {
      connected_ = false;
      say("lost " + options_.port + " (" + portErrorText(port.lostRc) + "): trying it again every second");
      nextTry = now + kReopenEvery;
    }
    if (!connected_ && now >= nextTry) {
      words_.pendingCommand = kNothingPending;
      if (link_.openPort(portPath_.c_str())) {
        connected_ = true;
        say(options_.port + " is back: the recording goes on in " + outName_);
        startScan();
      } else {
        nextTry = now + kReopenEvery;
      }
    }
    if (std::string text = view_.dongleLine(); text != dongleText_) {
      if (!live_) say("dongle " + text);
      dongleText_ = text;
    }
    if (now >= nextSync) {
      nextSync = now + kSyncEvery;
      if (outIsFile_ && !syncToDisk(out_, &reason)) {
        say("cannot sync " + outName_ + " to the disk: " + reason + "; the recording stops");
        status = 1;
        break;
      }
    }
    if (live_ && now >= nextShow) {
      nextShow = now + kSyncEvery;
      drawTable(now);
    }
    if (!live_ && now >= nextSummary) {
      nextSummary = now + kSummaryEvery;
      summaryLine(now);
    }
    std::this_thread::sleep_for(std::min<Steady::duration>(kTick, end - now));
  }

  // On the way out, as the console does at exit: the soft reset, written
  // before the port closes.
  if (connected_) link_.softResetDongle();
  link_.stopLink();
  const Steady::time_point endedAt = Steady::now();
  closeOutput();
  if (live_) drawTable(endedAt);
  std::uint64_t unlistedRows = 0;
  const int devices = table_.devices(&unlistedRows);
  char line[240];
  std::snprintf(line, sizeof line, "%d devices, %llu rows, %llu bad seals, %.1f s; %s", devices,
                static_cast<unsigned long long>(rows_.load()), static_cast<unsigned long long>(badSeals_.load()),
                static_cast<double>(sinceStartMs(endedAt)) / 1000.0, outName_.c_str());
  live_ = false;
  say(line);
  return status;
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
