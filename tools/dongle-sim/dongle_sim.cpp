#include "tools/dongle-sim/dongle_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>

#include "base/text.h"
#include "link/frame.h"

namespace kv::sim {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// A write may start this much before the line has finished the previous
// bytes, so that a late wake-up does not cost line time; like a UART's
// transmit FIFO it never lets the average rise above the line rate.
constexpr microseconds kLineSlack{1000};
// Unread bytes on the console's side beyond which the host's receive buffer
// has overrun (the console is not reading, or the port is not open).
constexpr int kHostBuffer = 3584;
constexpr milliseconds kLineDownRetry{100};

std::uint64_t freshSeed() {
  std::random_device device;
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return (static_cast<std::uint64_t>(device()) << 32 ^ device()) ^ now;
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool setFdFlags(int fd, bool nonBlocking) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0 || ::fcntl(fd, F_SETFL, nonBlocking ? fl | O_NONBLOCK : fl) < 0) return false;
  const int fdfl = ::fcntl(fd, F_GETFD);
  return fdfl >= 0 && ::fcntl(fd, F_SETFD, fdfl | FD_CLOEXEC) == 0;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
  std::string out(bytes.size() * 2 + 1, '\0');
  formatHex(bytes.data(), bytes.size(), out.data(), true);
  out.pop_back();
  return out;
}

bool knownToConsole(std::uint8_t cls, std::uint8_t opcode) {
  if (cls == 1) return opcode == 2;
  return opcode == 0 || opcode == 1 || opcode == 4;
}

// A well-sealed long frame that the console has no use for.
std::vector<std::uint8_t> makeUnknownFrame(SimRandom& random) {
  std::uint8_t cls = 0;
  std::uint8_t opcode = 0;
  do {
    cls = static_cast<std::uint8_t>(random.chance(0.2) ? random.between(2, 255) : random.between(0, 1));
    opcode = static_cast<std::uint8_t>(random.between(0, 255));
  } while (knownToConsole(cls, opcode));
  const auto length = static_cast<std::size_t>(random.between(0, 12));
  std::vector<std::uint8_t> frame(off::kPayload + length + 1);
  frame[0] = kMagic0;
  frame[1] = kMagic1;
  frame[2] = kMagic2;
  frame[off::kClass] = cls;
  frame[off::kOpcode] = opcode;
  frame[off::kCodeHigh] = static_cast<std::uint8_t>(random.between(0, 255));
  frame[off::kCodeLow] = static_cast<std::uint8_t>(random.between(0, 255));
  frame[off::kLengthHigh] = 0;
  frame[off::kLengthHigh + 1] = static_cast<std::uint8_t>(length);
  for (std::size_t i = 0; i < length; ++i) frame[off::kPayload + i] = static_cast<std::uint8_t>(random.between(0, 255));
  sealFrame(frame.data(), frame.size());
  return frame;
}

// 0 to n - 1 in an order drawn from `random` (Fisher-Yates).
std::vector<std::size_t> shuffledOrder(std::size_t n, SimRandom& random) {
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  for (std::size_t i = n; i > 1; --i)
    std::swap(order[i - 1], order[static_cast<std::size_t>(random.between(0, static_cast<std::int64_t>(i) - 1))]);
  return order;
}

// Line noise; never 'M', so that it cannot open a frame by itself.
std::vector<std::uint8_t> makeGarbage(SimRandom& random) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(random.between(1, 16)));
  for (auto& b : bytes) {
    do {
      b = static_cast<std::uint8_t>(random.between(0, 255));
    } while (b == kMagic0);
  }
  return bytes;
}

}  // namespace

DongleSim::DongleSim(const SimOptions& options)
    : options_(options),
      seed_(options.seed ? *options.seed : freshSeed()),
      random_(seed_),
      replyRandom_(seed_ ^ 0x9E3779B97F4A7C15ULL),
      period_(static_cast<long long>(std::llround(1e9 / std::max(options.rateHz, 1e-3)))) {
  devices_ = makeDevices({options.devices, options.polarShare, options.mirabeatShare}, random_);
  for (const auto& [device, name] : options.deviceNames)
    if (static_cast<std::size_t>(device) < devices_.size()) devices_[static_cast<std::size_t>(device)].name = name;
  for (const auto& [device, address] : options.deviceAddresses)
    if (static_cast<std::size_t>(device) < devices_.size()) devices_[static_cast<std::size_t>(device)].address = address;
  base_.resize(devices_.size());
  due_.resize(devices_.size());
  silencePicked_.assign(devices_.size(), false);
  silentNow_.assign(devices_.size(), false);
  silencedByCall_.assign(devices_.size(), false);
  if (options.silenceDevice >= 0 && static_cast<std::size_t>(options.silenceDevice) < devices_.size())
    silencePicked_[static_cast<std::size_t>(options.silenceDevice)] = true;
  if (options.silenceShare > 0 && !devices_.empty()) {
    // Drawn from an engine of their own, so that the devices and their
    // readings stay those of the seed.
    SimRandom pick(seed_ ^ 0x5DEECE66DULL);
    const auto n = devices_.size();
    auto count = static_cast<std::size_t>(std::ceil(options.silenceShare * static_cast<double>(n)));
    count = std::clamp<std::size_t>(count, 1, n);
    const std::vector<std::size_t> order = shuffledOrder(n, pick);
    for (std::size_t k = 0; k < count; ++k) silencePicked_[order[k]] = true;
  }
  if (::pipe(wake_) == 0) {
    setFdFlags(wake_[0], true);
    setFdFlags(wake_[1], true);
  }
}

DongleSim::~DongleSim() {
  stop();
  closePty();
  closeFd(wake_[0]);
  closeFd(wake_[1]);
}

bool DongleSim::openPty(std::string* slavePath, std::string* error) {
  if (master_ >= 0) {
    *error = "the simulator already has a pty";
    return false;
  }
  int master = -1;
  int slave = -1;
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    *error = errnoText("openpty");
    return false;
  }
  master_ = master;
  slave_ = slave;
  char name[256] = {};
  if (::ttyname_r(slave_, name, sizeof name) != 0) {
    *error = errnoText("ttyname_r");
    closePty();
    return false;
  }
  slavePath_ = name;

  // The console's side: raw 8N1 at 115200, no modem control.
  termios tio{};
  if (::tcgetattr(slave_, &tio) != 0) {
    *error = errnoText("tcgetattr");
    closePty();
    return false;
  }
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(slave_, TCSANOW, &tio) != 0 || !setFdFlags(master_, true) || !setFdFlags(slave_, false)) {
    *error = errnoText("setting up the pty");
    closePty();
    return false;
  }

  // Whoever opens the slave next without O_NOCTTY (Wine's wineserver does)
  // would otherwise take it as its controlling terminal and be hung up when
  // the master closes.
  if (options_.claimControllingTerminal) {
    if (::getsid(0) != ::getpid() && ::setsid() < 0) {
      *error = errnoText("setsid") + " (this process leads a process group; run the simulator in a child)";
      closePty();
      return false;
    }
    if (::ioctl(slave_, TIOCSCTTY, 0) != 0) {
      *error = errnoText("making the pty the controlling terminal (TIOCSCTTY)");
      closePty();
      return false;
    }
  }

  if (!options_.linkPath.empty()) {
    struct stat st {};
    if (::lstat(options_.linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      *error = "--link: " + options_.linkPath + " exists and is not a symbolic link; not replacing it";
      closePty();
      return false;
    }
    // Place the new link beside the old one and rename it over it.
    const std::string temp = options_.linkPath + ".tmp" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(slavePath_.c_str(), temp.c_str()) != 0 || ::rename(temp.c_str(), options_.linkPath.c_str()) != 0) {
      *error = errnoText(("--link " + options_.linkPath).c_str());
      ::unlink(temp.c_str());
      closePty();
      return false;
    }
    linkPlaced_ = true;
  }

  if (!setUp(error)) {
    closePty();
    return false;
  }
  if (slavePath != nullptr) *slavePath = slavePath_;
  return true;
}

bool DongleSim::attachMaster(int masterFd, std::string* error) {
  if (master_ >= 0) {
    *error = "the simulator already has a pty";
    return false;
  }
  master_ = masterFd;
  if (!setFdFlags(master_, true)) {
    *error = errnoText("fcntl on the master");
    closeFd(master_);
    return false;
  }
  if (!setUp(error)) {
    closePty();
    return false;
  }
  return true;
}

bool DongleSim::setUp(std::string* error) {
  if (!options_.recordPath.empty()) {
    record_ = std::fopen(options_.recordPath.c_str(), "w");
    if (record_ == nullptr) {
      *error = errnoText(("--record " + options_.recordPath).c_str());
      return false;
    }
    const FaultRates& f = options_.faults;
    std::fprintf(record_, "# koravel-dongle-sim record\n");
    std::fprintf(record_,
                 "# seed=%llu devices=%d rate_hz=%g name=%s address=%s version=%x.%02x unapplied_rate=%g\n",
                 static_cast<unsigned long long>(seed_), options_.devices, options_.rateHz,
                 options_.dongleName.c_str(), options_.dongleAddress.c_str(), options_.versionMajor,
                 options_.versionMinor, options_.unappliedRate);
    std::fprintf(record_, "# faults bad_seal=%g split=%g garbage=%g unknown=%g drop_byte=%g replies=%d\n", f.badSeal,
                 f.split, f.garbage, f.unknown, f.dropByte, options_.faultReplies ? 1 : 0);
    for (std::size_t i = 0; i < devices_.size(); ++i)
      std::fprintf(record_, "# device=%zu kind=%u address=%s name=%s\n", i, devices_[i].kind,
                   devices_[i].address.c_str(), devices_[i].name.c_str());
  }
  epoch_ = Clock::now();
  lineFreeAt_ = epoch_;
  recordEvent(epoch_, "event=open slave=" + (slavePath_.empty() ? std::string("(attached)") : slavePath_));
  return true;
}

void DongleSim::closePty() {
  if (linkPlaced_) removeLink();
  closeFd(master_);
  closeFd(slave_);
  if (record_ != nullptr) std::fclose(record_);
  record_ = nullptr;
}

void DongleSim::removeLink() {
  // Only our own link: someone may have put another in its place.
  char target[512];
  const ssize_t n = ::readlink(options_.linkPath.c_str(), target, sizeof target - 1);
  if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_) ::unlink(options_.linkPath.c_str());
  linkPlaced_ = false;
}

void DongleSim::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void DongleSim::stop() {
  requestStop();
  if (thread_.joinable()) thread_.join();
}

void DongleSim::run() {
  while (step(1000)) {
  }
}

void DongleSim::requestStop() {
  stopRequested_.store(true);
  if (wake_[1] >= 0) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = ::write(wake_[1], "s", 1);
    errno = saved;
  }
}

void DongleSim::wake(char why) {
  if (wake_[1] >= 0) [[maybe_unused]] const ssize_t n = ::write(wake_[1], &why, 1);
}

void DongleSim::unplug() {
  unplugRequested_.store(true);
  wake('u');
}

void DongleSim::setDeviceSilent(std::size_t index, bool silent) {
  {
    std::lock_guard lock(mutex_);
    if (index >= silencedByCall_.size()) return;
    silencedByCall_[index] = silent;
  }
  wake('q');
}

void DongleSim::setStalled(bool stalled) {
  {
    std::lock_guard lock(mutex_);
    stalledByCall_ = stalled;
  }
  wake('h');
}

bool DongleSim::inWindow(Clock::time_point now, Clock::time_point from, double forSeconds) const {
  if (now < from) return false;
  return forSeconds <= 0 || now - from < std::chrono::duration<double>(forSeconds);
}

void DongleSim::updateSilenceAndStall(Clock::time_point now) {
  std::vector<bool> byCall;
  bool stallByCall = false;
  {
    std::lock_guard lock(mutex_);
    byCall = silencedByCall_;
    stallByCall = stalledByCall_;
  }
  const auto after = [](double s) { return duration_cast<nanoseconds>(std::chrono::duration<double>(s)); };
  const bool stalled =
      stallByCall || (options_.stallAfterSeconds &&
                      inWindow(now, epoch_ + after(*options_.stallAfterSeconds), options_.stallForSeconds));
  if (stalled != stalledNow_) {
    stalledNow_ = stalled;
    recordEvent(now, stalled ? "event=stall" : "event=recover");
    if (stalled) {
      // A hung dongle loses what it had not sent yet.
      std::erase_if(out_, [](const Outgoing& f) { return f.written == 0; });
      log("hung: sending nothing, answering nothing");
    } else {
      log("carrying on");
    }
  }
  const bool windowOpen =
      scanning_ && inWindow(now, scanStart_ + after(options_.silenceAfterSeconds), options_.silenceForSeconds);
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    const bool silent = byCall[i] || (silencePicked_[i] && windowOpen);
    if (silent == silentNow_[i]) continue;
    silentNow_[i] = silent;
    recordEvent(now, (silent ? "event=silence dev=" : "event=heard dev=") + std::to_string(i));
  }
}

EndReason DongleSim::endReason() const {
  std::lock_guard lock(mutex_);
  return endReason_;
}

bool DongleSim::scanning() const {
  std::lock_guard lock(mutex_);
  return scanningShared_;
}

SimCounters DongleSim::counters() const {
  std::lock_guard lock(mutex_);
  return counters_;
}

std::vector<DeviceIdentity> DongleSim::deviceList() const {
  std::vector<DeviceIdentity> list;
  for (const auto& d : devices_) list.push_back({d.name, d.address, d.kind});
  return list;
}

void DongleSim::count(const std::function<void(SimCounters&)>& change) {
  std::lock_guard lock(mutex_);
  change(counters_);
}

void DongleSim::log(const std::string& line) {
  if (logger_) logger_(line);
}

void DongleSim::finish(EndReason reason) {
  if (ended_) return;
  ended_ = true;
  static const char* const names[] = {"running", "stopped", "duration", "unplugged", "link-error"};
  recordEvent(Clock::now(), std::string("event=end reason=") + names[static_cast<int>(reason)]);
  std::lock_guard lock(mutex_);
  endReason_ = reason;
  scanningShared_ = false;
}

bool DongleSim::step(int maxWaitMs) {
  if (ended_) return false;
  if (master_ < 0 && !unplugRequested_) {
    log("no pty to run on");
    finish(EndReason::LinkError);
    return false;
  }
  service(Clock::now());
  if (ended_) return false;
  waitForWork(maxWaitMs);
  service(Clock::now());
  return !ended_;
}

void DongleSim::service(Clock::time_point now) {
  if (stopRequested_) {
    finish(EndReason::Stopped);
    return;
  }
  if (options_.durationSeconds > 0 && now - epoch_ >= std::chrono::duration<double>(options_.durationSeconds)) {
    log("the run's duration is over");
    finish(EndReason::Duration);
    return;
  }
  if (unplugRequested_ ||
      (options_.unplugAfterSeconds > 0 && now - epoch_ >= std::chrono::duration<double>(options_.unplugAfterSeconds))) {
    doUnplug(now);
    return;
  }
  updateSilenceAndStall(now);
  std::vector<ScannedBytes> items;
  scanner_.expire(now, &items);
  for (const auto& item : items) handle(item, now);
  produceReports(now);
  flushOutput(now);
}

void DongleSim::doUnplug(Clock::time_point now) {
  recordEvent(now, "event=unplug");
  log("unplugged: the pty is closed");
  if (linkPlaced_) removeLink();
  closeFd(master_);
  closeFd(slave_);
  out_.clear();
  scanning_ = false;
  finish(EndReason::Unplugged);
}

DongleSim::Clock::time_point DongleSim::nextWake(Clock::time_point now) const {
  Clock::time_point wake = now + std::chrono::hours(1);
  auto consider = [&wake](Clock::time_point t) { wake = std::min(wake, t); };
  if (options_.durationSeconds > 0)
    consider(epoch_ + duration_cast<nanoseconds>(std::chrono::duration<double>(options_.durationSeconds)));
  if (options_.unplugAfterSeconds > 0)
    consider(epoch_ + duration_cast<nanoseconds>(std::chrono::duration<double>(options_.unplugAfterSeconds)));
  const bool lineDown = now < lineDownUntil_;
  if (lineDown) consider(lineDownUntil_);
  if (!out_.empty() && !waitWritable_ && !lineDown && !stalledNow_)
    consider(std::max(out_.front().notBefore, lineFreeAt_ - kLineSlack));
  if (scanning_ && out_.empty() && !due_.empty() && !lineDown) consider(*std::min_element(due_.begin(), due_.end()));
  if (auto deadline = scanner_.deadline()) consider(*deadline);
  // The moments a stall or a silence begins and ends.
  const auto upcoming = [&](Clock::time_point from, double forSeconds) {
    if (from > now) consider(from);
    if (forSeconds > 0) {
      const auto end = from + duration_cast<nanoseconds>(std::chrono::duration<double>(forSeconds));
      if (end > now) consider(end);
    }
  };
  if (options_.stallAfterSeconds)
    upcoming(epoch_ + duration_cast<nanoseconds>(std::chrono::duration<double>(*options_.stallAfterSeconds)),
             options_.stallForSeconds);
  if (scanning_)
    upcoming(scanStart_ + duration_cast<nanoseconds>(std::chrono::duration<double>(options_.silenceAfterSeconds)),
             options_.silenceForSeconds);
  return wake;
}

void DongleSim::waitForWork(int maxWaitMs) {
  const auto now = Clock::now();
  const auto wait = nextWake(now) - now;
  // Round up: waking early would only mean another round of waiting.
  long long ms = (duration_cast<microseconds>(wait).count() + 999) / 1000;
  ms = std::clamp(ms, 0LL, static_cast<long long>(std::max(maxWaitMs, 0)));

  const bool lineDown = now < lineDownUntil_;
  pollfd fds[2] = {{wake_[0], POLLIN, 0}, {master_, static_cast<short>(POLLIN | (waitWritable_ ? POLLOUT : 0)), 0}};
  const nfds_t count = (master_ >= 0 && !lineDown) ? 2 : 1;
  const int ready = ::poll(fds, count, static_cast<int>(ms));
  if (ready <= 0) return;
  if (fds[0].revents & POLLIN) {
    char drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
  }
  if (count < 2) return;
  if (fds[1].revents & POLLOUT) waitWritable_ = false;
  if (fds[1].revents & POLLIN) {
    readInput(Clock::now());
  } else if (fds[1].revents & (POLLHUP | POLLERR)) {
    // Nobody has the slave open (only when running on an attached master):
    // look again a little later instead of spinning on the hang-up.
    lineDownUntil_ = Clock::now() + kLineDownRetry;
  }
}

void DongleSim::readInput(Clock::time_point now) {
  std::uint8_t buffer[512];
  std::vector<ScannedBytes> items;
  for (;;) {
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
      count([n](SimCounters& c) { c.bytesRead += static_cast<std::uint64_t>(n); });
      scanner_.feed(buffer, static_cast<std::size_t>(n), now, &items);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EIO) lineDownUntil_ = now + kLineDownRetry;  // the other side hung up
    break;
  }
  for (const auto& item : items) handle(item, now);
}

void DongleSim::handle(const ScannedBytes& item, Clock::time_point now) {
  const auto& b = item.bytes;
  if (item.kind == ScannedBytes::Kind::Garbage) {
    recordLine(now, "rx", "garbage", "garbage", false, -1, b);
    count([&](SimCounters& c) { c.garbageBytesReceived += b.size(); });
    return;
  }
  if (item.kind == ScannedBytes::Kind::BadSeal) {
    recordLine(now, "rx", "bad-seal", "bad-seal", false, -1, b);
    count([](SimCounters& c) { ++c.badSealReceived; });
    log("received a frame with a bad seal; ignored");
    return;
  }
  const std::uint8_t cls = b[off::kClass];
  const std::uint8_t opcode = b[off::kOpcode];
  const unsigned code = static_cast<unsigned>(b[off::kCodeHigh]) << 8 | b[off::kCodeLow];
  const std::size_t length = b.size() - off::kPayload - 1;
  std::uint8_t ack[kAckSize];
  buildDongleAck(ack);
  const std::vector<std::uint8_t> ackFrame(ack, ack + kAckSize);

  if (cls == 1 && opcode == 4 && code == 0x0000 && length == 2) {
    const std::uint8_t mode = b[off::kPayload + 1];
    if (mode == 1) {
      recordLine(now, "rx", "start-adv", "none", true, -1, b);
      count([](SimCounters& c) { ++c.startAdvReceived; });
      if (stalledNow_) return;
      reply(ackFrame, "ack");
      if (!scanning_) startScan(now);
      return;
    }
    if (mode == 0) {
      recordLine(now, "rx", "soft-reset", "none", true, -1, b);
      count([](SimCounters& c) { ++c.softResetReceived; });
      if (stalledNow_) return;
      // A reset loses what had not begun to go out.
      std::erase_if(out_, [](const Outgoing& f) { return f.droppable && f.written == 0; });
      if (scanning_) {
        scanning_ = false;
        recordEvent(now, "event=scan-stop");
        log("soft reset: reporting stopped");
      } else {
        log("soft reset");
      }
      {
        std::lock_guard lock(mutex_);
        scanningShared_ = false;
      }
      reply(ackFrame, "ack");
      return;
    }
    recordLine(now, "rx", "control", "none", true, -1, b);
    count([](SimCounters& c) { ++c.otherControlReceived; });
    if (stalledNow_) return;
    log("control command with mode " + std::to_string(mode) + ": acked, nothing else");
    reply(ackFrame, "ack");
    return;
  }
  if (cls == 1 && opcode == 4 && code == 0x0080) {
    recordLine(now, "rx", "config-request", "none", true, -1, b);
    count([](SimCounters& c) { ++c.configRequestReceived; });
    if (stalledNow_) return;
    log("configuration requested");
    std::uint8_t frame[kConfigDataSize];
    DongleConfig config;
    config.name = options_.dongleName.c_str();
    config.address = options_.dongleAddress.c_str();
    config.versionMajor = options_.versionMajor;
    config.versionMinor = options_.versionMinor;
    buildDongleConfigData(frame, config, '\0');
    reply(std::vector<std::uint8_t>(frame, frame + kConfigDataSize), "config");
    return;
  }
  recordLine(now, "rx", "unknown", "none", true, -1, b);
  count([](SimCounters& c) { ++c.unknownReceived; });
  log("received a frame that is not a command (class " + std::to_string(cls) + ", opcode " + std::to_string(opcode) +
      "); ignored");
}

void DongleSim::reply(std::vector<std::uint8_t> frame, const char* kind) {
  enqueue(std::move(frame), kind, -1, false, options_.faultReplies, replyRandom_);
}

void DongleSim::startScan(Clock::time_point now) {
  scanning_ = true;
  scanStart_ = now;
  {
    std::lock_guard lock(mutex_);
    scanningShared_ = true;
  }
  recordEvent(now, "event=scan-start");
  char text[96];
  std::snprintf(text, sizeof text, "start ADV: reporting %zu devices at %g Hz", devices_.size(), options_.rateHz);
  log(text);
  // Spread the devices over one period, in a shuffled order.
  const std::size_t n = devices_.size();
  const std::vector<std::size_t> order = shuffledOrder(n, random_);
  for (std::size_t k = 0; k < n; ++k) {
    const double fraction = (static_cast<double>(k) + random_.uniform(0.1, 0.9)) / static_cast<double>(n);
    base_[order[k]] = now + duration_cast<nanoseconds>(period_ * fraction);
    due_[order[k]] = base_[order[k]];
  }
}

void DongleSim::produceReports(Clock::time_point now) {
  // One report at a time, and only when the line has nothing else to carry:
  // a device whose turn comes while the line is busy waits for it.
  if (!scanning_ || !out_.empty() || devices_.empty() || now < lineDownUntil_) return;
  for (;;) {
    const auto it = std::min_element(due_.begin(), due_.end());
    const auto index = static_cast<std::size_t>(it - due_.begin());
    if (*it > now) return;
    if (stalledNow_ || silentNow_[index]) {
      // Not heard: its turn passes without a report.
      base_[index] += period_;
      due_[index] = base_[index];
      count([](SimCounters& c) { ++c.reportsSilenced; });
      continue;
    }
    if (now - *it > period_) {
      // The line could not carry it in time: the device has moved on.
      const auto missed = (now - *it) / period_;
      base_[index] += period_ * missed;
      due_[index] += period_ * missed;
      count([missed](SimCounters& c) { c.reportsSkipped += static_cast<std::uint64_t>(missed); });
      continue;
    }
    SimDevice& device = devices_[index];
    const double dt = std::chrono::duration<double>(period_).count();
    const Reading r = advanceDevice(device, dt, options_.unappliedRate, random_);
    DeviceReport report;
    report.kind = device.kind;
    report.name = device.name.c_str();
    report.address = device.address.c_str();
    report.check = r.check;
    report.rssi = r.rssi;
    report.heartRate = r.heartRate;
    report.rrInterval = r.rrInterval;
    report.battery = r.battery;
    std::uint8_t frame[kDeviceDataSize];
    buildDeviceData(frame, report, '\0');
    // Advertising is not exactly periodic: a few per cent either way.
    base_[index] += period_;
    due_[index] = base_[index] + duration_cast<nanoseconds>(period_ * random_.uniform(-0.04, 0.04));
    enqueue(std::vector<std::uint8_t>(frame, frame + kDeviceDataSize), "report", static_cast<int>(index), true,
            true, random_);
    return;
  }
}

void DongleSim::enqueue(std::vector<std::uint8_t> frame, const char* kind, int device, bool droppable, bool faulty,
                        SimRandom& random) {
  const FaultRates& rates = options_.faults;
  const auto now = Clock::now();
  auto injected = [&](std::vector<std::uint8_t> bytes, const char* injectedKind, bool intact) {
    Outgoing g;
    g.cuts = {bytes.size()};
    g.bytes = std::move(bytes);
    g.kind = injectedKind;
    g.fault = "injected";
    g.intact = intact;
    g.droppable = droppable;
    g.notBefore = now;
    out_.push_back(std::move(g));
  };
  Outgoing f;
  f.kind = kind;
  f.device = device;
  f.droppable = droppable;
  f.notBefore = now;
  std::string faults;
  auto note = [&faults](const char* name) { faults += (faults.empty() ? "" : ",") + std::string(name); };
  if (faulty) {
    if (random.chance(rates.garbage)) injected(makeGarbage(random), "garbage", false);
    if (random.chance(rates.unknown)) injected(makeUnknownFrame(random), "unknown", true);
    if (random.chance(rates.badSeal)) {
      frame.back() ^= static_cast<std::uint8_t>(random.between(1, 255));
      note("bad-seal");
      f.intact = false;
    }
    if (random.chance(rates.dropByte)) {
      frame.erase(frame.begin() + random.between(0, static_cast<std::int64_t>(frame.size()) - 1));
      note("drop-byte");
      f.intact = false;
    }
    if (random.chance(rates.split)) {
      // 2 to 5 writes at distinct cut points, with a short pause before each.
      const auto pieces = std::min<std::int64_t>(random.between(2, 5), static_cast<std::int64_t>(frame.size()));
      std::vector<std::size_t> cuts;
      while (static_cast<std::int64_t>(cuts.size()) < pieces - 1) {
        const auto cut = static_cast<std::size_t>(random.between(1, static_cast<std::int64_t>(frame.size()) - 1));
        if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end()) cuts.push_back(cut);
      }
      std::sort(cuts.begin(), cuts.end());
      for (std::size_t c = 0; c < cuts.size(); ++c) {
        f.cuts.push_back(cuts[c]);
        f.pauses.push_back(microseconds(random.between(1000, 12000)));
      }
      note("split");
    }
  }
  f.cuts.push_back(frame.size());
  f.bytes = std::move(frame);
  f.fault = faults.empty() ? "none" : faults;
  out_.push_back(std::move(f));
}

void DongleSim::checkOverrun(Clock::time_point now) {
  int unread = 0;
  if (slave_ < 0 || ::ioctl(slave_, FIONREAD, &unread) != 0 || unread < kHostBuffer) return;
  ::tcflush(slave_, TCIFLUSH);
  recordEvent(now, "event=overrun dropped=" + std::to_string(unread));
  log("the console is not reading: " + std::to_string(unread) + " unread bytes dropped");
}

void DongleSim::flushOutput(Clock::time_point now) {
  if (master_ < 0 || now < lineDownUntil_ || stalledNow_) return;
  while (!out_.empty() && !waitWritable_) {
    Outgoing& f = out_.front();
    if (f.notBefore > now || lineFreeAt_ > now + kLineSlack) return;
    checkOverrun(now);
    const std::size_t end = f.cuts[f.cut];
    const ssize_t n = ::write(master_, f.bytes.data() + f.written, end - f.written);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        waitWritable_ = true;
        return;
      }
      if (errno == EIO) {
        // The other side hung up: what was queued is lost with the line.
        out_.clear();
        lineDownUntil_ = now + kLineDownRetry;
        return;
      }
      log(errnoText("writing to the pty"));
      finish(EndReason::LinkError);
      return;
    }
    lineFreeAt_ = std::max(lineFreeAt_, now) + kByteTime * n;
    f.written += static_cast<std::size_t>(n);
    count([n](SimCounters& c) { c.bytesWritten += static_cast<std::uint64_t>(n); });
    if (f.written < end) continue;
    if (f.written < f.bytes.size()) {
      f.notBefore = now + f.pauses[f.cut];
      ++f.cut;
      continue;
    }
    recordLine(now, "tx", f.kind, f.fault, f.intact, f.device, f.bytes);
    count([&f](SimCounters& c) {
      if (f.kind != "garbage") ++c.framesSent;
      if (f.kind == "report") {
        ++c.reportsSent;
        if (f.intact) ++c.reportsIntact;
      } else if (f.kind == "ack") {
        ++c.acksSent;
      } else if (f.kind == "config") {
        ++c.configsSent;
      } else if (f.kind == "unknown") {
        ++c.unknownFramesSent;
      } else if (f.kind == "garbage") {
        ++c.garbageRunsSent;
      }
    });
    out_.pop_front();
  }
}

void DongleSim::recordLine(Clock::time_point when, const char* dir, const std::string& kind, const std::string& fault,
                           bool intact, int device, const std::vector<std::uint8_t>& bytes) {
  if (record_ == nullptr) return;
  const double ms = std::chrono::duration<double, std::milli>(when - epoch_).count();
  std::fprintf(record_, "t_ms=%.3f dir=%s kind=%s fault=%s intact=%d", ms, dir, kind.c_str(), fault.c_str(),
               intact ? 1 : 0);
  if (device >= 0) std::fprintf(record_, " dev=%d", device);
  std::fprintf(record_, " len=%zu hex=%s\n", bytes.size(), hexOf(bytes).c_str());
  std::fflush(record_);
}

void DongleSim::recordEvent(Clock::time_point when, const std::string& text) {
  if (record_ == nullptr) return;
  const double ms = std::chrono::duration<double, std::milli>(when - epoch_).count();
  std::fprintf(record_, "# t_ms=%.3f %s\n", ms, text.c_str());
  std::fflush(record_);
}

}  // namespace kv::sim
