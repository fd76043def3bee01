#include "link/link.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <system_error>

#include "link/commands.h"

namespace kv {

namespace {

#ifdef _WIN32
// The synchronous Win32 handle cannot be waited on while it may be written,
// so the reader sleeps between empty reads (the waker cuts it short): as
// long as the pause between reads of a busy line, so that a quiet line
// costs no more looks a second than a busy one.
constexpr int kInputWaitMs = Link::kReadEveryMs;
#else
// poll() wakes as soon as input arrives; the time-out only bounds how long a
// stop or a port change could go unnoticed if a wake-up were missed.
constexpr int kInputWaitMs = 250;
#endif
// With no usable port, how long the reader rests between looks.
constexpr int kNoPortWaitMs = 250;
// Enough for a read of 298 bytes.
constexpr int kReadSize = 298;

void copyName(char* out, const char* name) { std::snprintf(out, kPortNameSize, "%s", name); }

}  // namespace

Link::Link(View& view, LinkWords& words, DeviceRegistry& roster, const LinkPlatform& platform, const CoreClock& clock)
    : view_(view), words_(words), roster_(roster), platform_(platform), clock_(clock) {
  parserInit(parser_);
}

Link::~Link() {
  if (!stopped_) stopLink();
}

int Link::createTxEvent() { return 0; }

int Link::enumerateComPorts() {
  return enumerateSerialPorts(
      [](void* ctx, const char* path, PortFind find) {
        char entry[kPortEntrySize];
        listEntryOfPort(path, find, entry);
        return static_cast<View*>(ctx)->addPort(entry);
      },
      &view_);
}

bool Link::startThread(std::thread& thread, void (*body)(Link*), int* rc) {
  try {
    platform_.startThread(thread, body, this);
    return true;
  } catch (const std::system_error& e) {
    *rc = e.code().value();
  } catch (const std::exception&) {
    *rc = -1;
  }
  return false;
}

int Link::startWriter() {
  if (writerStarted_) return 0;
  int rc = 0;
  if (!startThread(writer_, &Link::writerBody, &rc)) return -1;
  writerStarted_ = true;
  return 0;
}

std::unique_lock<std::mutex> Link::claimPort() {
  ++portClaims_;
  waker_.wake();
  return std::unique_lock<std::mutex>(portMutex_);
}

void Link::releasePort(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  --portClaims_;
  waker_.wake();
}

bool Link::portOpen() {
  auto lock = claimPort();
  const bool open = port_ != nullptr;
  releasePort(lock);
  return open;
}

PortState Link::portState() const {
  std::lock_guard lock(stateMutex_);
  PortState state = state_;
  state.lastInputMs = lastInputMs_.load();
  return state;
}

void Link::setState(const char* name, bool open, bool lost, int lostRc, bool failed, int failRc) {
  std::lock_guard lock(stateMutex_);
  if (name != nullptr) copyName(state_.name, name);
  state_.open = open;
  state_.lost = lost;
  state_.lostRc = lostRc;
  state_.failed = failed;
  state_.failRc = failRc;
  if (open) {
    state_.openedMs = clock_.nowMs();
    lastInputMs_ = 0;
  }
}

void Link::logLine(const char* format, const char* name, int rc) {
  char szDbg[kPortNameSize + 64];
  std::snprintf(szDbg, sizeof szDbg, format, name, rc);
  appendLog(view_, szDbg);
}

bool Link::openPort(const char* portName) {
  char name[kPortNameSize];
  copyName(name, portName);
  // The old port is closed before the new one is tried, so a failed open
  // leaves no port open.
  SerialPort* old = nullptr;
  {
    auto lock = claimPort();
    old = port_;
    port_ = nullptr;
    releasePort(lock);
  }
  platform_.close(old);

  int rc = 0;
  SerialPort* port = platform_.open(name, &rc);
  if (port == nullptr) {
    setState(name, false, false, 0, true, rc);
    logLine("Couldn't open port %s. rc=%d\r\n", name, rc);
    return false;
  }
  logLine("Port %s opened\r\n", name, 0);
  {
    auto lock = claimPort();
    // Under the port's lock, so that a loss the reader finds on the old port
    // cannot be told of the new one.
    setState(name, true, false, 0, false, 0);
    port_ = port;
    portLost_ = false;
    ++portOpens_;
    copyName(portName_, name);
    releasePort(lock);
  }
  if (!readerStarted_) {
    if (startThread(reader_, &Link::readerBody, &rc)) {
      readerStarted_ = true;
    } else {
      logLine("Couldn't start the reader for port %s. rc=%d\r\n", name, rc);
    }
  }
  softResetDongle();
  return true;
}

int Link::selectPort(const char* portName) { return openPort(portName) ? 0 : -1; }

int Link::submitCommand(const std::uint8_t* frame, int length) {
  if (length < 0) length = 0;
  if (length > static_cast<int>(kMaxCommandSize)) length = static_cast<int>(kMaxCommandSize);
  {
    std::lock_guard lock(commandMutex_);
    std::memcpy(pendingFrame_, frame, static_cast<std::size_t>(length));
    pendingLength_ = length;
    ++submitted_;
  }
  txEvent_.set();
  return 0;
}

int Link::softResetDongle() {
  buildControlCommand(commandFrame, 0, 0, &commandLength);
  // Up before the reset can reach the line: an ack parsed before the word
  // is set would leave it set for the next good ack and what follows it.
  words_.swallowNextAck = 1;
  return submitCommand(commandFrame, commandLength);
}

int Link::requestDongleConfig() {
  buildConfigRequest(commandFrame, &commandLength);
  return submitCommand(commandFrame, commandLength);
}

void Link::writerLoop() {
  char szData[kEchoTextSize];
  char szMsg[kEchoTextSize];
  std::uint8_t frame[kMaxCommandSize];
  for (;;) {
    if (txEvent_.wait() != ManualResetEvent::Wait::Signalled) break;
    txEvent_.reset();
    if (words_.linkRunning == 0) break;

    // One snapshot: the echo and the bytes written are the same command.
    int length = 0;
    std::uint64_t number = 0;
    {
      std::lock_guard lock(commandMutex_);
      length = pendingLength_;
      number = submitted_;
      std::memcpy(frame, pendingFrame_, static_cast<std::size_t>(length));
    }
    if (words_.logPaused == 0) {
      szData[0] = '\0';
      formatSentFrame(frame, szData, length);
      appendLog(view_, "\r\n>");
      appendLog(view_, szData);
    }

    int rc = 0;
    int result = 0;
    words_.writeInProgress = 1;
    {
      auto lock = claimPort();
      result = platform_.write(port_, frame, length, &rc);
      // Cleared before the release, whose wake-up lets the reader back in.
      words_.writeInProgress = 0;
      releasePort(lock);
    }
    ++written_;
    writtenUpTo_ = number;
    if (result == 0) continue;

    std::snprintf(szMsg, sizeof szMsg, "Send failed rc=%d\r\n", rc);
    appendLog(view_, szMsg);
    int clearRc = 0;
    int cleared = 0;
    {
      auto lock = claimPort();
      cleared = platform_.clearError(port_, &clearRc);
      releasePort(lock);
    }
    if (cleared != 0) {
      std::snprintf(szMsg, sizeof szMsg, "ClearCommError failed rc=%d\r\n", clearRc);
      appendLog(view_, szMsg);
    }
  }
  writerDone_ = true;
}

int Link::readPort(SerialPort* port, std::uint8_t* buf, int size, int* rc) {
  int got = platform_.read(port, buf, size, rc);
  if (got >= 0 || platform_.errorMeansGone(*rc)) return got;
  // A line error (noise, an overrun): the port stays usable once its error
  // state is cleared. If that fails too, the port is gone.
  int clearRc = 0;
  if (platform_.clearError(port, &clearRc) != 0) return -1;
  ++readErrorsCleared_;
  int againRc = 0;
  got = platform_.read(port, buf, size, &againRc);
  if (got >= 0) return got;
  if (platform_.errorMeansGone(againRc)) {
    *rc = againRc;
    return -1;
  }
  return 0;  // still failing, but cleared: looked at again after the next wait
}

void Link::readerLoop() {
  std::uint8_t szText[300];
  // A read's readings reach the UI thread in one call.
  ReadingBatch readings;
  const ParserContext context{&view_, &words_, &roster_, &readings,
                              sink_.report != nullptr || sink_.badSeal != nullptr || sink_.dongle != nullptr ? &sink_ : nullptr};
  std::uint64_t readingFrom = 0;
  // False after a read that took less than it asked for: the port is empty,
  // so the next look is a wait for input rather than another read.
  bool readFirst = true;
  // The last wait said input was there, and reads since then that found none.
  bool waitSaidReadable = false;
  int hollowReads = 0;
  std::int64_t quietSince = clock_.nowMs();
  using Steady = std::chrono::steady_clock;
  // No read before nextReadAt, unless a read fills the buffer. After a read
  // the reader first waits for input and pauses only when it came early, so
  // that a quiet line costs one wake-up per report rather than two.
  Steady::time_point nextReadAt{};
  Steady::time_point lastShownAt{};
  // When the bytes of the next read came at the earliest (for the latency);
  // unset: at the read itself.
  Steady::time_point waitingSince{};
  while (words_.linkRunning != 0) {
    // Somebody else wants the port (a write, a port change): stay out until
    // they are done; their release wakes us.
    if (portClaims_.load() > 0 || words_.writeInProgress != 0) {
      platform_.wait(nullptr, waker_, kNoPortWaitMs);
      continue;
    }
    const Steady::time_point now = Steady::now();
    if (readFirst && now < nextReadAt) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(nextReadAt - now).count();
      platform_.wait(nullptr, waker_, static_cast<int>(ms));
      continue;
    }
    int cBytes = 0;
    int rc = 0;
    char lostName[kPortNameSize];
    {
      std::unique_lock lock(portMutex_);
      SerialPort* port = port_;
      if (port == nullptr || portLost_) {
        lock.unlock();
        ++emptyWaits_;
        platform_.wait(nullptr, waker_, kNoPortWaitMs);
        continue;
      }
      // Bytes of another port's frame can never complete a frame of this
      // one: a new port starts with an empty parser.
      if (readingFrom != portOpens_) {
        readingFrom = portOpens_;
        parserInit(parser_);
        waitSaidReadable = false;
        hollowReads = 0;
        quietSince = clock_.nowMs();
      }
      if (readFirst) {
        words_.readInProgress = 1;
        cBytes = readPort(port, szText, kReadSize, &rc);
        words_.readInProgress = 0;
        // Readable, yet nothing to read, again and again: a device that has
        // gone without hanging up (never a loop that takes a whole core).
        if (cBytes != 0 || !waitSaidReadable) {
          hollowReads = 0;
        } else if (++hollowReads >= kHollowReadsToGone) {
          cBytes = -1;
          rc = serialGoneCode();
        }
      }
      waitSaidReadable = false;
      readFirst = cBytes == kReadSize || cBytes == 0;
      if (cBytes == 0) {
        ++emptyWaits_;
        const Steady::time_point waitFrom = Steady::now();
        const PortWait woke = platform_.wait(port, waker_, kInputWaitMs);
        // Bytes that woke a wait came at its end. Bytes that were there at
        // once, or found after a wait that does not watch the port (Win32),
        // may have come as soon as the last read was done.
        const Steady::time_point wokeAt = Steady::now();
        const bool cameAtEnd = woke == PortWait::Readable && wokeAt - waitFrom > std::chrono::milliseconds(1);
        waitingSince = cameAtEnd ? wokeAt : lastShownAt;
        if (woke == PortWait::Gone) {
          cBytes = -1;
          if (platform_.clearError(port, &rc) == 0) rc = 0;
        }
        waitSaidReadable = woke == PortWait::Readable;
        // Nothing for a while: is the device still there?
        const std::int64_t now = clock_.nowMs();
        if (cBytes == 0 && now - quietSince >= kIdleCheckMs) {
          quietSince = now;
          if (platform_.clearError(port, &rc) != 0) cBytes = -1;
        }
      }
      if (cBytes < 0) {
        portLost_ = true;
        std::memcpy(lostName, portName_, sizeof lostName);
        setState(lostName, false, true, rc, false, 0);
      }
    }
    if (cBytes > 0) {
      bytesRead_ += static_cast<std::uint64_t>(cBytes);
      quietSince = clock_.nowMs();
      lastInputMs_ = quietSince;
      const std::uint32_t appliedBefore = parser_.counters.readingsApplied;
      const Steady::time_point readAt = Steady::now();
      // Bytes read after a pause may have come at its start.
      const Steady::time_point since = waitingSince != Steady::time_point{} ? waitingSince : readAt;
      parserFeed(parser_, context, szText, static_cast<std::size_t>(cBytes));
      // The view's calls are done when the feed returns.
      const Steady::time_point shownAt = Steady::now();
      if (parser_.counters.readingsApplied != appliedBefore)
        readToShown_.add(std::chrono::duration_cast<std::chrono::microseconds>(shownAt - since).count());
      nextReadAt = cBytes == kReadSize ? Steady::time_point{} : readAt + std::chrono::milliseconds(kReadEveryMs);
      lastShownAt = shownAt;
      waitingSince = Steady::time_point{};
    } else if (cBytes < 0) {
      logLine("Port %s lost rc=%d\r\n", lostName, rc);
      view_.postStatusCheck();
    }
  }
  readerDone_ = true;
}

int Link::stopLink() {
  if (stopped_) return 0;
  stopped_ = true;
  int result = 0;

  // The last command (the soft reset at shutdown) reaches an open port
  // before the port is closed. The port is taken as every other user takes
  // it, so an idle reader's wait for input does not hold this up.
  if (writerStarted_ && portOpen()) {
    std::uint64_t target = 0;
    {
      std::lock_guard lock(commandMutex_);
      target = submitted_;
    }
    struct Pending {
      Link* self;
      std::uint64_t target;
    } pending{this, target};
    view_.waitServingLinkUntil(
        [](void* arg) {
          auto* p = static_cast<Pending*>(arg);
          return p->self->writtenUpTo_.load() >= p->target;
        },
        &pending, kFinalWriteWaitMs);
  }

  words_.linkRunning = 0;
  waker_.wake();
  txEvent_.pulse();
  txEvent_.close();
  // The threads may be waiting for the UI thread in a view call: keep
  // serving until both have finished.
  view_.waitServingLinkUntil(
      [](void* arg) {
        auto* self = static_cast<Link*>(arg);
        return (!self->readerStarted_ || self->readerDone_.load()) &&
               (!self->writerStarted_ || self->writerDone_.load());
      },
      this, kThreadStopWaitMs);
  for (auto* t : {&reader_, &writer_}) {
    if (!t->joinable()) continue;
    const bool done = (t == &reader_) ? readerDone_.load() : writerDone_.load();
    if (done) {
      t->join();
    } else {
      t->detach();
      result = -1;
    }
  }

  SerialPort* port = nullptr;
  {
    auto lock = claimPort();
    port = port_;
    port_ = nullptr;
    releasePort(lock);
  }
  platform_.close(port);
  return result;
}

}  // namespace kv
