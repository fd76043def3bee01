#include "support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace kv::test {

Pty::Pty() {
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    master_ = slave_ = -1;
    return;
  }
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  slavePath_ = name;
}

Pty::~Pty() {
  closeMaster();
  if (slave_ >= 0) ::close(slave_);
}

bool Pty::send(const std::vector<std::uint8_t>& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::uint8_t> Pty::receive(std::size_t count, int timeoutMs) {
  std::vector<std::uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < count && master_ >= 0) {
    std::uint8_t buf[4096];
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
    if (n > 0) {
      got.insert(got.end(), buf, buf + n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
  }
  return got;
}

void Pty::drain() {
  std::uint8_t buf[4096];
  while (master_ >= 0 && ::read(master_, buf, sizeof buf) > 0) {
  }
}

void Pty::closeMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

std::string Pty::lineSettings() const {
  termios tio{};
  if (slave_ < 0 || ::tcgetattr(slave_, &tio) != 0) return "(no settings)";
  char text[160];
  std::snprintf(text, sizeof text, "i=%o o=%o c=%o l=%o in=%u out=%u cc=", static_cast<unsigned>(tio.c_iflag),
                static_cast<unsigned>(tio.c_oflag), static_cast<unsigned>(tio.c_cflag),
                static_cast<unsigned>(tio.c_lflag), static_cast<unsigned>(::cfgetispeed(&tio)),
                static_cast<unsigned>(::cfgetospeed(&tio)));
  std::string settings = text;
  for (const cc_t c : tio.c_cc) settings += std::to_string(c) + ",";
  return settings;
}

}  // namespace kv::test
