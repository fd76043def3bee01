#include "device_end.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace kv::qt::test {

DeviceEnd::DeviceEnd() {
  if (!pty_.ok() || ::pipe(wake_) != 0) return;
  reader_ = std::thread([this] { readLoop(); });
}

DeviceEnd::~DeviceEnd() {
  if (wake_[1] >= 0) {
    const char c = 'x';
    [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
  }
  if (reader_.joinable()) reader_.join();
  for (int fd : wake_)
    if (fd >= 0) ::close(fd);
}

void DeviceEnd::readLoop() {
  for (;;) {
    pollfd p[2] = {{pty_.masterFd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(p, 2, 1000) < 0) continue;
    if (p[1].revents != 0) return;
    if ((p[0].revents & POLLIN) == 0) {
      if (p[0].revents != 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // hung up
      continue;
    }
    std::uint8_t buf[512];
    const ssize_t n = ::read(pty_.masterFd(), buf, sizeof buf);
    if (n <= 0) continue;
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(mutex_);
    partial_.insert(partial_.end(), buf, buf + n);
    // Frames: magic, class, opcode, code (2), length (2, big-endian),
    // payload, seal.
    for (;;) {
      auto magic = std::search(partial_.begin(), partial_.end(), kSoftReset.begin(), kSoftReset.begin() + 3);
      partial_.erase(partial_.begin(), magic);
      if (partial_.size() < 9) break;
      const std::size_t size = 10 + (static_cast<std::size_t>(partial_[7]) << 8 | partial_[8]);
      if (partial_.size() < size) break;
      frames_.push_back({now, Bytes(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(size))});
      partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(size));
    }
  }
}

std::vector<Received> DeviceEnd::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::size_t DeviceEnd::count() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

int DeviceEnd::find(const Bytes& frame, std::size_t from) const {
  std::lock_guard lock(mutex_);
  for (std::size_t i = from; i < frames_.size(); ++i)
    if (frames_[i].bytes == frame) return static_cast<int>(i);
  return -1;
}

void DeviceEnd::send(const std::uint8_t* frame, std::size_t n) { pty_.send(Bytes(frame, frame + n)); }

void DeviceEnd::sendAck() {
  std::uint8_t frame[kAckSize];
  send(frame, buildDongleAck(frame));
}

void DeviceEnd::sendConfig(const char* name, const char* address, std::uint8_t major, std::uint8_t minor) {
  std::uint8_t frame[kConfigDataSize];
  DongleConfig config;
  config.name = name;
  config.address = address;
  config.versionMajor = major;
  config.versionMinor = minor;
  send(frame, buildDongleConfigData(frame, config, '\0'));
}

void DeviceEnd::sendReport(const char* name, const char* address, int heartRate, int rrInterval, int battery) {
  std::uint8_t frame[kDeviceDataSize];
  DeviceReport report;
  report.name = name;
  report.address = address;
  report.heartRate = static_cast<std::uint8_t>(heartRate);
  report.rrInterval = static_cast<std::uint16_t>(rrInterval);
  report.battery = static_cast<std::uint8_t>(battery);
  send(frame, buildDeviceData(frame, report, '\0'));
}

}  // namespace kv::qt::test
