// koravel-record: the core's third front end. The link and the roster run
// as in the console, behind a view without windows; the parser hands every
// sealed device report to the recorder too, which writes it as a CSV row on
// the reader thread, the moment it is decoded. The main thread is the
// operator: it starts the scan, reopens a lost port, syncs the file to the
// disk and keeps the terminal up to date.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "console/null_view.h"
#include "console/record/device_table.h"
#include "console/record/record_options.h"
#include "link/link.h"
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
  // The dongle's line as last set ("" before any).
  std::string dongleLine() const;

 private:
  mutable std::mutex mutex_;
  std::string dongleLine_;
};

class Recorder {
 public:
  Recorder(const RecordOptions& options, const char* program);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Records until the time is up or Ctrl-C; the exit status.
  int run();

 private:
  using Steady = std::chrono::steady_clock;

  static void onReport(void* self, const DeviceReport& report);
  static void onBadSeal(void* self);
  void writeRow(const DeviceReport& report);
  bool openOutput();
  void closeOutput();
  // Closes and removes a file made for a recording that did not start.
  void abandonOutput();
  // After the port has opened: the configuration request, then start ADV.
  void startScan();
  bool waitWritten(std::uint64_t before, int timeoutMs);
  void tick(Steady::time_point now);
  void say(const std::string& line);
  void drawTable(Steady::time_point now);
  void summaryLine(Steady::time_point now);
  std::int64_t sinceStartMs(Steady::time_point t) const;

  const RecordOptions options_;
  const std::string program_;
  const std::string portPath_;
  std::string outName_;
  HeadlessView view_;
  LinkWords words_;
  TileBrushCache brushes_;
  Roster roster_;
  Link link_;

  std::FILE* out_ = nullptr;
  bool outIsFile_ = false;
  Steady::time_point start_;
  std::atomic<std::uint64_t> rows_{0};
  std::atomic<std::uint64_t> badSeals_{0};
  std::atomic<bool> writeFailed_{false};
  std::atomic<int> writeErrno_{0};
  DeviceTable table_;

  bool connected_ = false;
  bool live_ = false;
  int tableLines_ = 0;           // lines of the table on the terminal now
  std::string dongleText_;
  HeardDevice listed_[DeviceTable::kMaxListed];
};

// --list-ports: the ports the console would list, one a line.
int listPorts(const char* program);

}  // namespace kv::record
