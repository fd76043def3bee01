// A recording: every reading the dongle hears, as CSV rows, in a file or on
// standard output. One engine for every program: the consoles record while
// the operator watches, koravel-record records without a window.
//
// The link's reader hands each sealed report to the recording's sink (the
// parser's ReportSink), which copies it into a bounded queue in memory and
// returns: the reader never waits for a disk, a pipe or a terminal. A
// writer thread of the recording's own turns the queued reports into rows
// and writes them, a batch at a time, syncs the file to the disk every
// second and looks after what can go wrong:
//   - the queue full (the output far behind): the rows that do not fit are
//     counted as lost, never silently;
//   - the disk or the quota full: the file is cut back to its last whole
//     row and the recording stops, saying so;
//   - nobody reads any more (a closed pipe): the recording stops, quietly;
//   - the file, or its folder, deleted: it is made again under the same
//     name with everything written so far, and the recording goes on;
//   - the output blocked when the recording is to end: the end waits a
//     bounded time, then counts what it could not write.
//
// Threads: the sink runs on the link's reader thread; everything else on
// one controlling thread (the UI thread of a console, the main thread of
// koravel-record), but stats(), which any thread may call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "link/frame.h"
#include "link/parser.h"
#include "participants/participants.h"
#include "recording/csv.h"
#include "recording/output_file.h"

namespace kv {

// Rows the queue holds: over 10 minutes of the saturated line (115200 baud
// carries at most about 209 reports a second).
inline constexpr std::size_t kRecordingQueueRows = 131072;
// How often the writer looks at the queue, and syncs the file.
inline constexpr int kRecordingWriteEveryMs = 100;
inline constexpr int kRecordingSyncEveryMs = 1000;
// The most devices told apart by address; beyond them the count says "more".
inline constexpr std::size_t kRecordingMaxDevices = 100000;
// Room for the name of the file as said on the status line or a terminal.
inline constexpr std::size_t kRecordingPathSize = 1024;

enum class RecordingFault : std::uint8_t {
  None,
  DiskFull,      // the disk or the quota is full: cut back to the last whole row
  WriteFailed,   // any other write error (errorCode)
  SyncFailed,    // the system could not hand the file to the disk (errorCode)
  OutputClosed,  // a pipe whose reader has gone
  RemakeFailed,  // the file was deleted and could not be made again
};

struct RecordingStats {
  bool running = false;          // started and not ended (by stop() or a fault)
  RecordingFault fault = RecordingFault::None;
  int errorCode = 0;             // errno of a WriteFailed, SyncFailed or RemakeFailed fault
  std::uint64_t rows = 0;        // reading rows written
  std::uint64_t markers = 0;     // markers asked for
  std::uint64_t markersWritten = 0;
  std::uint64_t lost = 0;        // rows (and markers) that found the queue full
  std::uint64_t unwritten = 0;   // rows taken into the queue but never written (the end, a fault)
  std::uint64_t devices = 0;     // devices told apart by address among the rows written
  bool moreDevices = false;      // ... and more than kRecordingMaxDevices of them
  std::uint64_t badSeals = 0;    // frames of any kind whose seal failed, while recording
  std::uint32_t remade = 0;      // times the file was deleted and made again
  std::int64_t startedUnixMs = 0;
};

struct RecordingOptions {
  // Every report with a good seal, not only the readings the console
  // applies (check byte 0x80).
  bool allReports = false;
  // The queue's size in rows (tests make it small).
  std::size_t queueRows = kRecordingQueueRows;
};

class Recording {
 public:
  explicit Recording(const RecordingOptions& options = RecordingOptions{});
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // The link's report sink: hand it to Link::setReportSink before the
  // first port opens. It takes reports only while a recording runs.
  const ReportSink& sink() const { return sink_; }

  // Begins a recording in a new file at `path` (UTF-8), `replace`: one
  // that exists may be emptied (the operator said so), else it is refused.
  // The header is written at once, so a file that cannot be written is
  // said here (false, *err = errno) and nothing is recorded. A recording
  // that runs is stopped first. Refused (EBUSY) while the writer of an
  // earlier recording is still blocked in its output.
  bool startFile(const char* path, bool replace, int* err);
  // The same on standard output.
  bool startStdout(int* err);
  // A marker row: `text` in its marker column (null: its running number).
  // Returns the marker's number, 0 when no recording runs or the queue was
  // full (the marker is then counted as lost).
  std::uint64_t mark(const char* text = nullptr);
  // Ends the recording: what is queued is written and synced and the file
  // closed, waiting for the output at most `waitMs` (negative: for as long
  // as `wait` says); what could not be written by then counts as
  // unwritten. While it waits it calls `wait(arg)` every few milliseconds,
  // when given (a console keeps serving its link threads there); false from
  // it ends the wait. Returns the last stats.
  RecordingStats stop(int waitMs, bool (*wait)(void*) = nullptr, void* arg = nullptr);

  bool running() const;
  // The dongle's line, as the link's reader hears its configuration (the
  // sink does this): a row of its own when a recording begins and whenever
  // it changes.
  void noteDongle(const char* line);
  // Who wears which device, for the rows' person columns; null: nobody.
  // Any time, from the controlling thread; rows written from then on use it.
  void setParticipants(std::shared_ptr<const ParticipantTable> participants);
  RecordingStats stats() const;
  // The file written now, as given to startFile, or "standard output".
  const char* path() const { return path_; }
  // Only the file's name, without its folder.
  const char* fileName() const;

 private:
  struct Entry;
  struct Shared;
  static void onReport(void* self, const DeviceReport& report);
  static void onBadSeal(void* self);
  static void onDongle(void* self, const char* line);
  bool start(OutputFile* out, const char* path, int* err);
  static void writerLoop(std::shared_ptr<Shared> shared);

  const RecordingOptions options_;
  ReportSink sink_;
  // Made with the recording and never replaced: the sink reads it from the
  // reader thread. The writer holds a reference of its own.
  const std::shared_ptr<Shared> shared_;
  std::thread writer_;
  char path_[kRecordingPathSize] = {};
};

// The words for a recording's fault, for the status line or a terminal:
// "disk full", "nobody reads the output", "cannot write: <system's words>".
void recordingFaultWords(const RecordingStats& stats, char* out, std::size_t size);

}  // namespace kv
