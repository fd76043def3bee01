// koravel-record: the core's third front end. The link and the roster run
// as in the console, behind a view without windows; the parser hands every
// sealed device report to the recording (recording/recording.h), whose
// writer thread writes the rows. The main thread is the operator: it starts
// the scan and asks again until the dongle answers, reopens a lost port,
// turns lines on standard input into markers and keeps the terminal up to
// date.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "console/null_view.h"
#include "console/device_table.h"
#include "console/record/record_options.h"
#include "link/link.h"
#include "recording/recording.h"
#include "roster/roster.h"
#include "roster/tile_colours.h"

namespace kv::record {

// The link's view: no windows, so each operation is done on the calling
// thread. It keeps what the recorder tells the operator: the dongle's line.
class HeadlessView : public NullView {
 public:
  void setDongleLine(const char* text) override;
  void waitServingLink(int ms) override;
  bool waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) override;
  // The dongle's line as last set ("" before any); clear() forgets it.
  std::string dongleLine() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::string dongleLine_;
};

// How long the recorder waits for the dongle before it asks again, and
// before it says that the dongle does not answer.
inline constexpr int kAskAgainEveryMs = 2000;
inline constexpr int kNoAnswerAfterMs = 5000;

class Recorder {
 public:
  Recorder(const RecordOptions& options, const char* program);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Records until the time is up, Ctrl-C, or the output is closed; the
  // exit status.
  int run();

 private:
  using Steady = std::chrono::steady_clock;

  static void onReport(void* self, const DeviceReport& report);
  static void onBadSeal(void* self);
  static void onDongle(void* self, const char* line);
  // After the port has opened: the configuration request, then start ADV,
  // each written before the next is handed over.
  void askDongle(bool config, bool scan);
  bool waitWritten(std::uint64_t before, int timeoutMs);
  // The dongle's answers on this connection: its configuration, its ack of
  // start ADV (or its readings).
  bool configAnswered() const;
  bool scanAnswered() const;
  void watchDongle(Steady::time_point now);
  void readMarkers();
  void say(const std::string& line);
  void drawTable(Steady::time_point now);
  void summaryLine(Steady::time_point now);
  std::int64_t sinceStartMs(Steady::time_point t) const;
  // Ends the recording's output: waits for it while it still takes rows.
  RecordingStats finishOutput();
  int summary(const RecordingStats& st, Steady::time_point endedAt);

  const RecordOptions options_;
  const std::string program_;
  const std::string portPath_;
  std::string outName_;
  HeadlessView view_;
  LinkWords words_;
  TileBrushCache brushes_;
  Roster roster_;
  Link link_;
  Recording recording_;
  ReportSink sink_;
  DeviceTable table_;

  Steady::time_point start_;
  bool connected_ = false;
  bool live_ = false;
  int tableLines_ = 0;  // lines of the table on the terminal now
  std::string dongleText_;
  // This connection: when it began, when the dongle was last asked, what it
  // has answered, whether its silence was said.
  Steady::time_point connectedAt_{};
  Steady::time_point askedAt_{};
  std::atomic<std::uint64_t> readingsHeard_{0};
  std::uint64_t readingsAtConnect_ = 0;
  bool silenceSaid_ = false;
  bool everAnswered_ = false;
  bool noAnswerSaid_ = false;  // at some time, 5 s without an answer were said
  std::uint64_t lostSaid_ = 0;
  std::uint32_t remadeSaid_ = 0;
  bool stdinOpen_ = true;
  std::string typed_;
  HeardDevice listed_[DeviceTable::kMaxListed];
};

// --list-ports: the ports the console would list, one a line.
int listPorts(const char* program);

}  // namespace kv::record
