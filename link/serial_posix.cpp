// Serial ports on POSIX systems, over termios.
//
// The descriptor stays non-blocking for its whole life: reads return at once
// whatever VMIN/VTIME say, and writes wait for room with poll() under the
// write time-out. Exclusive access takes two locks: TIOCEXCL keeps ordinary
// users out at open(), and flock() keeps out everybody, root included.
#include "link/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/eventfd.h>
#endif

namespace kv {

struct SerialPort {
  int fd;
};

namespace {

constexpr int kFirstPortNumber = 0;
constexpr int kLastPortNumber = 255;
// How long closing a port lets queued output drain before discarding it, so
// that a line held up by flow control cannot stall the close.
constexpr int kCloseDrainMs = 20;

void setRc(int* rc, int code) {
  if (rc != nullptr) *rc = code;
}

bool isWouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Whether the character device `rdev` is /dev/tty or the terminal one of
// this process's standard streams is on.
bool ownTerminalDevice(dev_t rdev) {
  struct stat st {};
  if (::stat("/dev/tty", &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) return true;
  for (int stream = 0; stream <= 2; ++stream) {
    if (::fstat(stream, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev && ::isatty(stream) == 1) return true;
  }
  return false;
}

// Opens `path` for read and write and takes the exclusive lock on it.
// O_NONBLOCK keeps open() from waiting for carrier on a port without CLOCAL.
// Only a terminal is a serial port: what is no character device is refused
// before it is opened (a FIFO's open could wait for its other end); a
// character device that is no terminal (/dev/null) fails with ENOTTY. This
// process's own terminal fails with kOwnTerminalRc before anything is done
// to it: /dev/tty and a standard stream's terminal are known by their device
// numbers before the open, the controlling terminal by its session after it
// (only the session's own members learn a terminal's session, so a
// terminal of another session, such as the simulator's pty, is not taken
// for ours).
int openLocked(const char* path, int* rc) {
  struct stat st {};
  if (::stat(path, &st) != 0) {
    setRc(rc, errno);
    return -1;
  }
  if (!S_ISCHR(st.st_mode)) {
    setRc(rc, ENOTTY);
    return -1;
  }
  if (ownTerminalDevice(st.st_rdev)) {
    setRc(rc, kOwnTerminalRc);
    return -1;
  }
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    setRc(rc, errno);
    return -1;
  }
  // What was opened is looked at again: the path may lead elsewhere by now.
  int refused = 0;
  termios tio{};
  if (::fstat(fd, &st) != 0) {
    refused = errno;
  } else if (!S_ISCHR(st.st_mode)) {
    refused = ENOTTY;
  } else if (ownTerminalDevice(st.st_rdev)) {
    refused = kOwnTerminalRc;
  } else if (::tcgetattr(fd, &tio) != 0) {
    refused = errno;
  } else if (const pid_t session = ::tcgetsid(fd); session != -1 && session == ::getsid(0)) {
    refused = kOwnTerminalRc;
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    refused = errno;
  }
  if (refused != 0) {
    ::close(fd);
    setRc(rc, refused);
    return -1;
  }
  return fd;
}

// 115200 8N1, raw, reads that return at once. Failures leave the line as it
// was; the port is used anyway.
void configureLine(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return;
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &tio);
}

// A hung-up terminal reads as end of file, which with VMIN 0 looks just like
// "nothing there"; poll() tells the two apart.
bool hungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void discardUnsentOutput(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
  for (;;) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    if (std::chrono::steady_clock::now() >= deadline) break;
    ::poll(nullptr, 0, 1);
  }
  ::tcflush(fd, TCOFLUSH);
}

}  // namespace

SerialPort* serialOpen(const char* path, int* rc) {
  if (path == nullptr) {
    setRc(rc, EINVAL);
    return nullptr;
  }
  const int fd = openLocked(path, rc);
  if (fd < 0) return nullptr;
  ::ioctl(fd, TIOCEXCL);
  configureLine(fd);
  auto* port = new (std::nothrow) SerialPort{fd};
  if (port == nullptr) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    setRc(rc, ENOMEM);
  }
  return port;
}

void serialClose(SerialPort* port) {
  if (port == nullptr) return;
  discardUnsentOutput(port->fd);
  ::ioctl(port->fd, TIOCNXCL);
  ::close(port->fd);  // also drops the flock
  delete port;
}

int serialRead(SerialPort* port, std::uint8_t* buf, int size, int* rc) {
  if (port == nullptr) {
    setRc(rc, EBADF);
    return -1;
  }
  if (size <= 0) return 0;
  const ssize_t n = ::read(port->fd, buf, static_cast<std::size_t>(size));
  if (n > 0) return static_cast<int>(n);
  if (n < 0) {
    const int err = errno;
    if (isWouldBlock(err) || err == EINTR) return 0;
    setRc(rc, err);
    return -1;
  }
  if (hungUp(port->fd)) {
    setRc(rc, EIO);
    return -1;
  }
  return 0;
}

int serialWrite(SerialPort* port, const std::uint8_t* data, int size, int* rc) {
  if (port == nullptr) {
    setRc(rc, EBADF);
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
  int done = 0;
  while (done < size) {
    const ssize_t n = ::write(port->fd, data + done, static_cast<std::size_t>(size - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (!isWouldBlock(err)) {
        setRc(rc, err);
        return -1;
      }
    }
    // The line is full: wait for room, but no longer than the time-out.
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    pollfd p{port->fd, POLLOUT, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno != EINTR) {
      setRc(rc, errno);
      return -1;
    }
    if (r > 0 && (p.revents & POLLOUT) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      setRc(rc, EIO);
      return -1;
    }
  }
  // Whatever did not fit within the time-out is dropped, as a Win32 write
  // time-out would drop it.
  return 0;
}

int serialClearError(SerialPort* port, int* rc) {
  if (port == nullptr) {
    setRc(rc, EBADF);
    return -1;
  }
  // Nothing to clear on a terminal; what matters is whether the device is
  // still there. A hung-up terminal fails every ioctl with EIO.
  termios tio{};
  if (::tcgetattr(port->fd, &tio) != 0 && errno != ENOTTY) {
    setRc(rc, errno);
    return -1;
  }
  return 0;
}

// ---- waking ----

PortWaker::PortWaker() noexcept {
#if defined(__linux__)
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd >= 0) waitHandle_ = wakeHandle_ = fd;
#else
  int fds[2];
  if (::pipe(fds) == 0) {
    for (int fd : fds) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    waitHandle_ = fds[0];
    wakeHandle_ = fds[1];
  }
#endif
}

PortWaker::~PortWaker() {
  if (waitHandle_ >= 0) ::close(static_cast<int>(waitHandle_));
  if (wakeHandle_ >= 0 && wakeHandle_ != waitHandle_) ::close(static_cast<int>(wakeHandle_));
}

bool PortWaker::valid() const noexcept { return waitHandle_ >= 0; }

void PortWaker::wake() noexcept {
  if (wakeHandle_ < 0) return;
  // A full counter or pipe means a raise is already pending: nothing is lost.
#if defined(__linux__)
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(static_cast<int>(wakeHandle_), &one, sizeof one);
#else
  const char one = 1;
  [[maybe_unused]] const ssize_t n = ::write(static_cast<int>(wakeHandle_), &one, 1);
#endif
}

PortWait serialWait(SerialPort* port, PortWaker& waker, int timeoutMs) {
  pollfd fds[2];
  nfds_t count = 0;
  int portAt = -1;
  int wakerAt = -1;
  if (port != nullptr) {
    portAt = static_cast<int>(count);
    fds[count++] = pollfd{port->fd, POLLIN, 0};
  }
  if (waker.valid()) {
    wakerAt = static_cast<int>(count);
    fds[count++] = pollfd{static_cast<int>(waker.waitHandle_), POLLIN, 0};
  }
  if (::poll(fds, count, timeoutMs < 0 ? -1 : timeoutMs) <= 0) return PortWait::TimedOut;

  if (wakerAt >= 0 && (fds[wakerAt].revents & POLLIN) != 0) {
    const int fd = static_cast<int>(waker.waitHandle_);
#if defined(__linux__)
    std::uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd, &value, sizeof value);
#else
    char drain[64];
    while (::read(fd, drain, sizeof drain) > 0) {
    }
#endif
    return PortWait::Woken;
  }
  if (portAt >= 0) {
    const short revents = fds[portAt].revents;
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return PortWait::Gone;
    if ((revents & POLLIN) != 0) return PortWait::Readable;
  }
  return PortWait::TimedOut;
}

// ---- enumeration ----

namespace {

struct Listing {
  PortFound add;
  void* ctx;
  PortRemark remark;
  const char* ours;
  int listed = 0;
  bool refused = false;
};

bool heldCode(int rc) { return rc == EBUSY || isWouldBlock(rc); }

// Lists `path` if it is a port that is free or held right now. Returns
// false once the listing must end: `add` refused, or the list is full.
bool offer(Listing& listing, const char* path) {
  PortFind find = PortFind::Free;
  const bool ours = listing.ours != nullptr && std::strcmp(path, listing.ours) == 0;
  if (!ours) {
    int rc = 0;
    const int fd = openLocked(path, &rc);
    if (fd >= 0) {
      ::close(fd);
    } else if (heldCode(rc)) {
      find = PortFind::Held;
    } else {
      // A port this user may not open is worth a word only when joining
      // its group would help.
      char group[kPortTextSize / 2];
      if ((rc == EACCES || rc == EPERM) && listing.remark != nullptr &&
          groupThatWouldHelp(path, group, static_cast<int>(sizeof group))) {
        char why[kPortTextSize];
        describeOpenFailure(rc, path, why);
        char text[kPortTextSize];
        if (std::snprintf(text, sizeof text, "Port %s: %s", path, why) < 0) text[0] = '\0';
        listing.remark(listing.ctx, text);
      }
      return true;
    }
  }
  ++listing.listed;
  if (!listing.add(listing.ctx, path, find)) {
    listing.refused = true;
    return false;
  }
  return listing.listed < kMaxListedPorts;
}

bool offerNumbered(Listing& listing, const char* prefix) {
  char path[kPortNameSize];
  for (int n = kFirstPortNumber; n <= kLastPortNumber; ++n) {
    const int len = std::snprintf(path, sizeof path, "%s%d", prefix, n);
    if (len < 0 || len >= static_cast<int>(sizeof path)) return true;
    if (!offer(listing, path)) return false;
  }
  return true;
}

// "dir/stem*": the entries of dir beginning with stem, in name order. The
// directory is read once per entry offered, each time picking the smallest
// name above the last one, so no list of names is kept.
bool offerDirectory(Listing& listing, const char* family) {
  const char* star = std::strchr(family, '*');
  const char* slash = std::strrchr(family, '/');
  char dir[kPortNameSize];
  const char* stem = family;
  if (slash == nullptr || slash > star) {
    std::strcpy(dir, ".");
  } else {
    const auto dirLen = static_cast<std::size_t>(slash - family);
    if (dirLen + 1 > sizeof dir) return true;
    std::memcpy(dir, family, dirLen);
    dir[dirLen] = '\0';
    if (dirLen == 0) std::strcpy(dir, "/");
    stem = slash + 1;
  }
  const auto stemLen = static_cast<std::size_t>(star - stem);

  DIR* d = ::opendir(dir);
  if (d == nullptr) return true;
  char last[kPortNameSize] = "";
  bool haveLast = false;
  bool goOn = true;
  while (goOn) {
    char best[kPortNameSize] = "";
    bool haveBest = false;
    ::rewinddir(d);
    while (const dirent* e = ::readdir(d)) {
      const char* name = e->d_name;
      if (std::strncmp(name, stem, stemLen) != 0) continue;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (std::strlen(name) >= sizeof best) continue;
      if (haveLast && std::strcmp(name, last) <= 0) continue;
      if (haveBest && std::strcmp(name, best) >= 0) continue;
      if (leftoverSimulatorLink(name)) continue;
      std::strcpy(best, name);
      haveBest = true;
    }
    if (!haveBest) break;
    std::strcpy(last, best);
    haveLast = true;
    char path[kPortNameSize];
    const char* sep = std::strcmp(dir, "/") == 0 ? "" : "/";
    const int len = std::snprintf(path, sizeof path, "%s%s%s", dir, sep, best);
    if (len < 0 || len >= static_cast<int>(sizeof path)) continue;
    goOn = offer(listing, path);
  }
  ::closedir(d);
  return goOn;
}

}  // namespace

int enumerateSerialPortsIn(const char* const* families, int familyCount, PortFound add, void* ctx,
                           PortRemark remark, const char* ours) {
  if (add == nullptr) return 0;
  Listing listing{add, ctx, remark, ours};
  for (int i = 0; i < familyCount; ++i) {
    const char* family = families[i];
    if (family == nullptr) continue;
    const bool goOn = std::strchr(family, '*') != nullptr ? offerDirectory(listing, family)
                                                          : offerNumbered(listing, family);
    if (!goOn) break;
  }
  return listing.refused ? -1 : 0;
}

bool userPortFolder(char* out) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  int len = 0;
  if (runtime != nullptr && runtime[0] == '/') {
    len = std::snprintf(out, kPortNameSize, "%s/koravel", runtime);
  } else {
    len = std::snprintf(out, kPortNameSize, "/tmp/koravel-%u", static_cast<unsigned>(::getuid()));
  }
  return len > 0 && len < kPortNameSize;
}

bool checkPortFolder(const char* folder, char* why) {
  why[0] = '\0';
  struct stat st {};
  if (::lstat(folder, &st) != 0) {
    if (errno == ENOENT) return false;
    char reason[kPortTextSize / 2];
    systemErrorText(errno, reason, static_cast<int>(sizeof reason));
    std::snprintf(why, kPortTextSize, "Port folder %s not used: %s", folder, reason);
    return false;
  }
  const char* problem = nullptr;
  char modeText[64];
  if (S_ISLNK(st.st_mode)) {
    problem = "it is a symbolic link, not a folder of this user's own";
  } else if (!S_ISDIR(st.st_mode)) {
    problem = "it is not a folder";
  } else if (st.st_uid != ::getuid()) {
    problem = "it belongs to another user";
  } else if ((st.st_mode & 077) != 0) {
    std::snprintf(modeText, sizeof modeText, "others may use it (mode %04o; it must be 0700)",
                  static_cast<unsigned>(st.st_mode & 07777));
    problem = modeText;
  }
  if (problem == nullptr) return true;
  std::snprintf(why, kPortTextSize, "Port folder %s not used: %s", folder, problem);
  return false;
}

bool leftoverSimulatorLink(const char* name) {
  const std::size_t prefix = std::strlen(kSimulatorLinkPrefix);
  if (std::strncmp(name, kSimulatorLinkPrefix, prefix) != 0) return false;
  const char* digits = name + prefix;
  if (digits[0] < '1' || digits[0] > '9') return false;
  long long pid = 0;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    pid = pid * 10 + (*c - '0');
    if (pid > 0x7fffffff) return false;
  }
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

void systemErrorText(int code, char* out, int size) {
  std::snprintf(out, static_cast<std::size_t>(size), "%s", std::strerror(code));
}

bool groupThatWouldHelp(const char* path, char* out, int size) {
  struct stat st {};
  if (::stat(path, &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return false;
  const group* g = ::getgrgid(st.st_gid);
  if (g == nullptr || g->gr_name == nullptr) return false;
  const int len = std::snprintf(out, static_cast<std::size_t>(size), "%s", g->gr_name);
  return len > 0 && len < size;
}

int enumerateSerialPorts(PortFound add, void* ctx, PortRemark remark, const char* ours) {
  char user[kPortNameSize + 2];
  const char* families[4] = {};
  int count = 0;
#if defined(__APPLE__)
  families[count++] = "/dev/cu.*";
#else
  families[count++] = "/dev/ttyUSB";
  families[count++] = "/dev/ttyACM";
  families[count++] = "/dev/ttyS";
#endif
  char why[kPortTextSize] = "";
  const bool useFolder = userPortFolder(user) && checkPortFolder(user, why);
  if (!useFolder && why[0] != '\0' && remark != nullptr) remark(ctx, why);
  if (useFolder) {
    std::strcat(user, "/*");
    families[count++] = user;
  }
  return enumerateSerialPortsIn(families, count, add, ctx, remark, ours);
}

}  // namespace kv
