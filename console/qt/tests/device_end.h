// The device side of a pseudo-terminal, for the window tests: a thread
// collects the frames the console writes, each with the time it arrived,
// and the test sends the dongle's frames.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "support/pty.h"

namespace kv::qt::test {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// What the console sends.
inline const Bytes kSoftReset = {0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0xB5};
inline const Bytes kStartAdv = {0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x01, 0x96};
inline const Bytes kConfigRequest = {0x4D, 0x42, 0x44, 0x01, 0x04, 0x00, 0x80, 0x00, 0x01, 0x00, 0xF9};

struct Received {
  Clock::time_point at;
  Bytes bytes;
};

class DeviceEnd {
 public:
  DeviceEnd();
  ~DeviceEnd();

  bool ok() const { return pty_.ok(); }
  const std::string& path() const { return pty_.slavePath(); }

  // Frames received so far, in order.
  std::vector<Received> frames() const;
  std::size_t count() const;
  // The index of `frame` among the frames from number `from` on, or -1.
  // (The tests wait for frames with the event loop running: a console's
  // writer waits for the UI thread before it writes.)
  int find(const Bytes& frame, std::size_t from) const;

  // The dongle's frames; text fields are padded with zeros.
  void sendAck();
  void sendConfig(const char* name, const char* address, std::uint8_t major, std::uint8_t minor);
  void sendReport(const char* name, const char* address, int heartRate, int rrInterval, int battery);

 private:
  void readLoop();
  void send(const std::uint8_t* frame, std::size_t n);

  kv::test::Pty pty_;
  int wake_[2] = {-1, -1};
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<Received> frames_;
  Bytes partial_;
};

}  // namespace kv::qt::test
