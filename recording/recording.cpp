#include "recording/recording.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <system_error>

#ifdef __linux__
#include <pthread.h>
#endif

#include "base/text.h"

namespace kv {

namespace {

using Steady = std::chrono::steady_clock;

constexpr std::uint8_t kReadingEntry = 0xFF;
// Markers waiting to be written, at most (each holds its text here).
constexpr std::size_t kMarkerSlots = 64;
// Rows formatted and written at once.
constexpr std::size_t kBatchRows = 256;
// How long a recording that runs when another begins is given to end.
constexpr int kEndWaitMs = 5000;
// After the wait for the output is over: how long a writer still blocked is
// given to notice that it is to stop before it is left behind.
constexpr int kAbandonGraceMs = 500;

std::int64_t msBetween(Steady::time_point a, Steady::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

// The devices written, told apart by address: open addressing over a fixed
// table of 64-bit hashes of the addresses (a collision among a hundred
// thousand addresses is a chance of one in some 10^9), made once per
// recording on the writer thread. Its pages come zeroed from the system and
// only those touched count toward the resident memory.
class AddressSet {
 public:
  static constexpr std::size_t kSlots = 1 << 18;
  static_assert(kRecordingMaxDevices < kSlots / 2);

  ~AddressSet() { std::free(keys_); }
  // Empty, for a new recording; false when the system has no room.
  bool reset() {
    std::free(keys_);
    keys_ = static_cast<std::uint64_t*>(std::calloc(kSlots, sizeof(std::uint64_t)));
    return keys_ != nullptr;
  }
  // Adds `address` (kAddressWidth bytes) unless it is there; beyond
  // kRecordingMaxDevices it only says there are more.
  void add(const char* address, std::atomic<std::uint64_t>& count, std::atomic<bool>& more) {
    if (keys_ == nullptr) return;
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (std::size_t i = 0; i < kAddressWidth; ++i) h = (h ^ static_cast<unsigned char>(address[i])) * 1099511628211ull;
    if (h == 0) h = 1;  // 0 marks an empty slot
    for (std::size_t i = (h ^ (h >> 29)) & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
      if (keys_[i] == h) return;
      if (keys_[i] == 0) {
        if (count.load() >= kRecordingMaxDevices) {
          more = true;
          return;
        }
        keys_[i] = h;
        ++count;
        return;
      }
    }
  }

 private:
  std::uint64_t* keys_ = nullptr;
};

}  // namespace

// One queued row: a reading as it came, or a marker.
struct Recording::Entry {
  std::int64_t unixMs;
  std::int64_t sinceMs;
  char name[kDeviceNameWidth];
  char address[kAddressWidth];
  std::uint8_t kind, check, heartRate, battery;
  std::int8_t rssi;
  std::uint16_t rrInterval;
  std::uint8_t marker;  // kReadingEntry, or the slot of the marker's (or dongle's) text
  bool dongle;          // the dongle's row, not a marker
};

// What the sink, the controlling thread and the writer share. The writer
// holds its own reference, so that a writer left behind, blocked in a write
// the system does not return from, never touches freed memory.
struct Recording::Shared {
  // --- the queue and the markers' texts, under `mutex` ---
  std::mutex mutex;
  std::condition_variable wake;
  std::unique_ptr<Entry[]> ring;
  std::size_t capacity = 0;
  std::size_t head = 0;
  std::size_t count = 0;
  bool finish = false;  // the writer is to write what is queued and end
  std::uint64_t markerSeq = 0;
  std::uint64_t markersPending = 0;
  char markerTexts[kMarkerSlots][kMarkerTextSize + 1] = {};
  // The dongle's line as last heard, and as last queued for this recording.
  char dongleLine[kMarkerTextSize + 1] = {};
  char dongleQueued[kMarkerTextSize + 1] = {};
  Steady::time_point start;
  std::int64_t startUnixMs = 0;

  // --- the running recording: set by its controller and its writer, read
  // by anyone ---
  std::atomic<bool> accepting{false};  // the sink queues reports
  std::atomic<bool> running{false};
  std::atomic<bool> abandon{false};
  std::atomic<bool> done{true};        // no writer runs
  std::atomic<RecordingFault> fault{RecordingFault::None};
  std::atomic<int> errorCode{0};
  std::atomic<std::uint64_t> rows{0}, markers{0}, markersWritten{0}, lost{0}, unwritten{0}, devices{0}, badSeals{0};
  std::atomic<bool> moreDevices{false};
  std::atomic<std::uint32_t> remade{0};

  // Who wears which device, under `mutex`; the writer takes it per batch.
  std::shared_ptr<const ParticipantTable> participants;

  // --- the writer's own ---
  OutputFile* out = nullptr;
  char path[kRecordingPathSize] = {};
  std::uint64_t size = 0;  // bytes of whole rows in the file
  AddressSet addresses;
};

Recording::Recording(const RecordingOptions& options)
    : options_(options),
      sink_{&Recording::onReport, &Recording::onBadSeal, this, &Recording::onDongle},
      shared_(std::make_shared<Shared>()) {}

Recording::~Recording() { stop(0); }

bool Recording::running() const { return shared_->running.load(); }

void Recording::setParticipants(std::shared_ptr<const ParticipantTable> participants) {
  std::lock_guard lock(shared_->mutex);
  shared_->participants = std::move(participants);
}

namespace {

// Lock held: queues the dongle's row when this recording has not had this
// line yet; false when the queue has no room.
template <class SharedT, class EntryT>
bool queueDongle(SharedT& s, std::chrono::steady_clock::time_point now) {
  if (s.dongleLine[0] == '\0' || std::strcmp(s.dongleLine, s.dongleQueued) == 0) return true;
  if (s.count == s.capacity || s.markersPending == kMarkerSlots) return false;
  const std::size_t slot = ++s.markerSeq % kMarkerSlots;
  std::memcpy(s.markerTexts[slot], s.dongleLine, sizeof s.dongleLine);
  EntryT e{};
  e.unixMs = unixMsNow();
  e.sinceMs = msBetween(s.start, now);
  e.marker = static_cast<std::uint8_t>(slot);
  e.dongle = true;
  s.ring[(s.head + s.count) % s.capacity] = e;
  ++s.count;
  ++s.markersPending;
  std::memcpy(s.dongleQueued, s.dongleLine, sizeof s.dongleLine);
  return true;
}

}  // namespace

void Recording::onDongle(void* self, const char* line) { static_cast<Recording*>(self)->noteDongle(line); }

void Recording::noteDongle(const char* line) {
  Shared& s = *shared_;
  std::lock_guard lock(s.mutex);
  decodeText(s.dongleLine, sizeof s.dongleLine, line);
  if (s.accepting.load() && !queueDongle<Shared, Entry>(s, Steady::now())) ++s.lost;
}

void Recording::onBadSeal(void* self) {
  Shared& s = *static_cast<Recording*>(self)->shared_;
  if (s.accepting.load(std::memory_order_relaxed)) ++s.badSeals;
}

// The reader thread: a copy into the queue, nothing more.
void Recording::onReport(void* self, const DeviceReport& report) {
  auto* r = static_cast<Recording*>(self);
  Shared& s = *r->shared_;
  if (!s.accepting.load(std::memory_order_acquire)) return;
  if (!r->options_.allReports && report.check != kReadingApplied) return;
  Entry e;
  std::memset(e.name, 0, sizeof e.name);
  std::memcpy(e.name, report.name, strnlen(report.name, kDeviceNameWidth));
  std::memset(e.address, 0, sizeof e.address);
  std::memcpy(e.address, report.address, strnlen(report.address, kAddressWidth));
  e.kind = report.kind;
  e.check = report.check;
  e.heartRate = report.heartRate;
  e.battery = report.battery;
  e.rssi = report.rssi;
  e.rrInterval = report.rrInterval;
  e.marker = kReadingEntry;
  e.dongle = false;
  // Timed under the lock: rows are queued in the order of their times,
  // also against a marker or the dongle's row from another thread.
  std::lock_guard lock(s.mutex);
  if (s.count == s.capacity) {
    ++s.lost;
    return;
  }
  e.unixMs = unixMsNow();
  e.sinceMs = msBetween(s.start, Steady::now());
  s.ring[(s.head + s.count) % s.capacity] = e;
  ++s.count;
}

bool Recording::startFile(const char* path, bool replace, int* err) {
  // One that runs ends first, with what it holds written.
  if (running()) stop(kEndWaitMs);
  if (!shared_->done.load()) {
    *err = EBUSY;
    return false;
  }
  OutputFile* out = outputCreate(path, replace, err);
  if (out == nullptr) return false;
  if (!start(out, path, err)) {
    // A file made for a recording that did not begin is not left behind.
    // The path is UTF-8 (on Windows too: not the system's code page).
    std::error_code ec;
    const std::string p(path);
    std::filesystem::remove(std::filesystem::path(std::u8string(p.begin(), p.end())), ec);
    return false;
  }
  return true;
}

bool Recording::startStdout(int* err) {
  if (running()) stop(kEndWaitMs);
  if (!shared_->done.load()) {
    *err = EBUSY;
    return false;
  }
  OutputFile* out = outputStdout();
  if (out == nullptr) {
    *err = ENOMEM;
    return false;
  }
  return start(out, "standard output", err);
}

bool Recording::start(OutputFile* out, const char* path, int* err) {
  if (writer_.joinable()) writer_.join();  // done, but not yet joined
  Shared& s = *shared_;
  if (!s.ring) {
    s.ring.reset(new (std::nothrow) Entry[options_.queueRows]);
    if (!s.ring) {
      outputClose(out);
      *err = ENOMEM;
      return false;
    }
    s.capacity = options_.queueRows;
  }
  if (!s.addresses.reset()) {
    outputClose(out);
    *err = ENOMEM;
    return false;
  }
  const char* header = csvHeader();
  std::size_t written = 0;
  const std::atomic<bool> never{false};
  if (outputWrite(out, header, std::strlen(header), &written, err, never) != WriteOutcome::Written) {
    outputClose(out);
    return false;
  }
  s.out = out;
  std::snprintf(s.path, sizeof s.path, "%s", path);
  std::snprintf(path_, sizeof path_, "%s", path);
  s.size = written;
  s.fault = RecordingFault::None;
  s.errorCode = 0;
  for (auto* c : {&s.rows, &s.markers, &s.markersWritten, &s.lost, &s.unwritten, &s.devices, &s.badSeals}) *c = 0;
  s.moreDevices = false;
  s.remade = 0;
  s.abandon = false;
  {
    std::lock_guard lock(s.mutex);
    s.head = s.count = 0;
    s.finish = false;
    s.markerSeq = s.markersPending = 0;
    s.start = Steady::now();
    s.startUnixMs = unixMsNow();
    // The dongle first, when it is known.
    s.dongleQueued[0] = '\0';
    queueDongle<Shared, Entry>(s, s.start);
  }
  s.done = false;
  s.running = true;
  try {
    writer_ = std::thread(&Recording::writerLoop, shared_);
  } catch (const std::system_error& e) {
    *err = e.code().value() != 0 ? e.code().value() : EAGAIN;
  } catch (const std::exception&) {
    *err = EAGAIN;
  }
  if (!writer_.joinable()) {
    s.running = false;
    s.done = true;
    outputClose(out);
    s.out = nullptr;
    return false;
  }
  s.accepting.store(true, std::memory_order_release);
  return true;
}

std::uint64_t Recording::mark(const char* text) {
  Shared& s = *shared_;
  if (!s.accepting.load()) return 0;
  std::lock_guard lock(s.mutex);
  const Steady::time_point now = Steady::now();
  // Markers are numbered apart from the dongle's rows, which share their slots.
  const std::uint64_t number = s.markers + 1;
  ++s.markerSeq;
  ++s.markers;
  if (s.count == s.capacity || s.markersPending == kMarkerSlots) {
    ++s.lost;
    return 0;
  }
  const std::size_t slot = s.markerSeq % kMarkerSlots;
  char numberText[24];
  std::snprintf(numberText, sizeof numberText, "%llu", static_cast<unsigned long long>(number));
  // Decoded and cut at a whole character, as any text from outside.
  decodeText(s.markerTexts[slot], kMarkerTextSize + 1, text != nullptr ? text : numberText);
  Entry e{};
  e.unixMs = unixMsNow();
  e.sinceMs = msBetween(s.start, now);
  e.marker = static_cast<std::uint8_t>(slot);
  s.ring[(s.head + s.count) % s.capacity] = e;
  ++s.count;
  ++s.markersPending;
  return number;
}

RecordingStats Recording::stats() const {
  const Shared& s = *shared_;
  RecordingStats st;
  st.running = s.running.load();
  st.fault = s.fault.load();
  st.errorCode = s.errorCode.load();
  st.rows = s.rows.load();
  st.markers = s.markers.load();
  st.markersWritten = s.markersWritten.load();
  st.lost = s.lost.load();
  st.unwritten = s.unwritten.load();
  st.devices = s.devices.load();
  st.moreDevices = s.moreDevices.load();
  st.badSeals = s.badSeals.load();
  st.remade = s.remade.load();
  st.startedUnixMs = s.startUnixMs;
  return st;
}

const char* Recording::fileName() const {
  const char* name = path_;
  for (const char* c = path_; *c != '\0'; ++c)
    if (*c == '/' || *c == '\\') name = c + 1;
  return name;
}

RecordingStats Recording::stop(int waitMs, bool (*wait)(void*), void* arg) {
  Shared& s = *shared_;
  s.accepting.store(false, std::memory_order_release);
  if (!writer_.joinable()) return stats();
  {
    std::lock_guard lock(s.mutex);
    s.finish = true;
  }
  s.wake.notify_one();
  // Waits for the writer to end, at most `ms` (negative: no limit), or
  // until `wait` says no more when `asked`.
  auto waitDone = [&](int ms, bool asked) {
    const Steady::time_point end =
        ms < 0 ? Steady::time_point::max() : Steady::now() + std::chrono::milliseconds(ms);
    while (!s.done.load() && Steady::now() < end) {
      if (wait != nullptr && !wait(arg) && asked) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return s.done.load();
  };
  if (!waitDone(waitMs, true)) {
    // The output takes nothing: the writer is told to give up and to count
    // what it could not write.
    s.abandon = true;
    s.wake.notify_one();
    waitDone(kAbandonGraceMs, false);
  }
  if (s.done.load()) {
    writer_.join();
  } else {
    // Still inside a write the system does not return from: left behind,
    // with its own reference to what it uses. What it holds is counted now.
    writer_.detach();
    std::lock_guard lock(s.mutex);
    for (std::size_t i = 0; i < s.count; ++i)
      s.unwritten += s.ring[(s.head + i) % s.capacity].marker == kReadingEntry ? 1 : 0;
    s.count = s.head = 0;
    s.running = false;
  }
  return stats();
}

namespace {

// One batch of rows, formatted into one text and written at once.
struct Batch {
  char text[kBatchRows * kMaxRowSize];
  std::size_t rowEnd[kBatchRows];  // where each row ends in `text`
  std::size_t rows = 0;
  std::size_t length = 0;
};

}  // namespace

void Recording::writerLoop(std::shared_ptr<Shared> shared) {
#ifdef __linux__
  // Named, so that what the recording costs can be told apart (top -H,
  // bench/program-bench).
  pthread_setname_np(pthread_self(), "kv-recording");
#endif
  Shared& s = *shared;
  auto batch = std::make_unique<Batch>();
  auto taken = std::make_unique<Entry[]>(kBatchRows);
  auto texts = std::make_unique<char[][kMarkerTextSize + 1]>(kBatchRows);
  Steady::time_point nextSync = Steady::now() + std::chrono::milliseconds(kRecordingSyncEveryMs);
  bool stopped = false;  // nothing more is written: what comes is counted

  // Takes up to kBatchRows from the queue, the markers' texts with them.
  // Waits for rows for up to kRecordingWriteEveryMs, so that a write takes
  // what came meanwhile. *finish: the end was asked for and nothing is left.
  std::shared_ptr<const ParticipantTable> people;
  auto take = [&](bool* finish) {
    std::unique_lock lock(s.mutex);
    if (s.count < kBatchRows && !s.finish && !s.abandon.load())
      s.wake.wait_for(lock, std::chrono::milliseconds(kRecordingWriteEveryMs));
    const std::size_t n = std::min(s.count, kBatchRows);
    for (std::size_t i = 0; i < n; ++i) {
      taken[i] = s.ring[(s.head + i) % s.capacity];
      if (taken[i].marker != kReadingEntry) {
        std::memcpy(texts[i], s.markerTexts[taken[i].marker], kMarkerTextSize + 1);
        --s.markersPending;
      }
    }
    s.head = (s.head + n) % s.capacity;
    s.count -= n;
    // An empty queue starts again at its front: the pages it touches stay few.
    if (s.count == 0) s.head = 0;
    *finish = s.finish && s.count == 0;
    people = s.participants;
    return n;
  };

  // What stops the writing: said once (the first fault), nothing more
  // taken into the queue.
  auto fail = [&](RecordingFault fault, int err) {
    if (s.fault.load() == RecordingFault::None) {
      s.errorCode = err;
      s.fault = fault;
    }
    s.accepting = false;
    s.running = false;
    stopped = true;
  };

  // The file was deleted (or its folder): made again under the same name,
  // with everything written so far, read back from the deleted one.
  auto remake = [&] {
    int err = 0;
    makeParentFolder(s.path);
    OutputFile* again = outputCreate(s.path, false, &err);
    if (again == nullptr || !outputCopy(s.out, again, s.size, &err)) {
      outputClose(again);
      fail(RecordingFault::RemakeFailed, err);
      return;
    }
    outputClose(s.out);
    s.out = again;
    ++s.remade;
  };

  for (;;) {
    bool finish = false;
    const std::size_t n = take(&finish);
    if (stopped) {
      for (std::size_t i = 0; i < n; ++i) s.unwritten += taken[i].marker == kReadingEntry ? 1 : 0;
    } else if (n > 0) {
      Batch& b = *batch;
      b.rows = b.length = 0;
      for (std::size_t i = 0; i < n; ++i) {
        const Entry& e = taken[i];
        if (e.marker == kReadingEntry) {
          char name[kDeviceNameWidth + 1], address[kAddressWidth + 1];
          std::memcpy(name, e.name, kDeviceNameWidth);
          name[kDeviceNameWidth] = '\0';
          std::memcpy(address, e.address, kAddressWidth);
          address[kAddressWidth] = '\0';
          const DeviceReport report{.kind = e.kind, .name = name, .address = address, .check = e.check,
                                    .rssi = e.rssi, .heartRate = e.heartRate, .rrInterval = e.rrInterval,
                                    .battery = e.battery};
          const Participant* person = people != nullptr ? people->find(address) : nullptr;
          b.length += formatReadingRow(b.text + b.length, e.unixMs, e.sinceMs, report, person);
        } else if (e.dongle) {
          b.length += formatDongleRow(b.text + b.length, e.unixMs, e.sinceMs, texts[i]);
        } else {
          b.length += formatMarkerRow(b.text + b.length, e.unixMs, e.sinceMs, texts[i]);
        }
        b.rowEnd[b.rows++] = b.length;
      }
      std::size_t written = 0;
      int err = 0;
      const WriteOutcome outcome = outputWrite(s.out, b.text, b.length, &written, &err, s.abandon);
      // The rows that went out whole count; a row cut in the middle is taken
      // back out of the file, and it and the rest count as unwritten.
      std::size_t whole = 0;
      while (whole < b.rows && b.rowEnd[whole] <= written) ++whole;
      const std::size_t wholeBytes = whole == 0 ? 0 : b.rowEnd[whole - 1];
      for (std::size_t i = 0; i < b.rows; ++i) {
        const bool reading = taken[i].marker == kReadingEntry;
        if (i >= whole) {
          s.unwritten += reading ? 1 : 0;
        } else if (reading) {
          ++s.rows;
          s.addresses.add(taken[i].address, s.devices, s.moreDevices);
        } else if (!taken[i].dongle) {
          ++s.markersWritten;
        }
      }
      s.size += wholeBytes;
      if (outcome != WriteOutcome::Written) {
        if (written > wholeBytes) outputTruncate(s.out, s.size);
        switch (outcome) {
          case WriteOutcome::Full: fail(RecordingFault::DiskFull, err); break;
          case WriteOutcome::Closed: fail(RecordingFault::OutputClosed, err); break;
          case WriteOutcome::Failed: fail(RecordingFault::WriteFailed, err); break;
          default: stopped = true; break;  // abandoned
        }
      }
    }
    const Steady::time_point now = Steady::now();
    if (!stopped && (now >= nextSync || finish)) {
      nextSync = now + std::chrono::milliseconds(kRecordingSyncEveryMs);
      if (outputDeleted(s.out)) remake();
      int err = 0;
      if (!stopped && !outputSync(s.out, &err)) fail(RecordingFault::SyncFailed, err);
    }
    if (finish) break;
    if (s.abandon.load()) {
      // Whatever is still queued will not be written.
      std::lock_guard lock(s.mutex);
      for (std::size_t i = 0; i < s.count; ++i)
        s.unwritten += s.ring[(s.head + i) % s.capacity].marker == kReadingEntry ? 1 : 0;
      s.count = s.head = 0;
      s.markersPending = 0;
      break;
    }
  }
  outputClose(s.out);
  s.out = nullptr;
  s.running = false;
  s.done = true;
}

void recordingFaultWords(const RecordingStats& stats, char* out, std::size_t size) {
  char words[160];
  switch (stats.fault) {
    case RecordingFault::None:
      std::snprintf(out, size, "%s", "");
      return;
    case RecordingFault::DiskFull:
      std::snprintf(out, size, "disk full");
      return;
    case RecordingFault::OutputClosed:
      std::snprintf(out, size, "nobody reads the output any more");
      return;
    case RecordingFault::WriteFailed:
      errorWords(stats.errorCode, words, sizeof words);
      std::snprintf(out, size, "cannot write: %s", words);
      return;
    case RecordingFault::SyncFailed:
      errorWords(stats.errorCode, words, sizeof words);
      std::snprintf(out, size, "cannot sync to the disk: %s", words);
      return;
    case RecordingFault::RemakeFailed:
      errorWords(stats.errorCode, words, sizeof words);
      std::snprintf(out, size, "the file was deleted and cannot be made again: %s", words);
      return;
  }
}

}  // namespace kv
