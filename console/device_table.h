// The devices heard, by address, in the order first heard: koravel-record's
// live table, and the devices a console can save as a participants file.
// Fixed-size: a device beyond kMaxListed is still recorded, only not
// listed. Filled by the link's reader thread, read by any.
#pragma once

#include <cstdint>
#include <mutex>

#include "link/frame.h"
#include "link/parser.h"

namespace kv {

// A device's name and address as they came (undecoded).
struct HeardDevice {
  char address[kAddressWidth + 1];
  char name[kDeviceNameWidth + 1];
  std::uint8_t heartRate;
  std::uint16_t rrInterval;
  std::uint8_t battery;
  std::int64_t lastHeardMs;   // on the recorder's clock
  std::uint64_t rows;
};

class DeviceTable {
 public:
  static constexpr int kMaxListed = 1000;

  // A row was written for `report` at `nowMs` (reader thread).
  void heard(const DeviceReport& report, std::int64_t nowMs);
  // Copies the listed devices, in the order first heard, into `out` (room for
  // kMaxListed); returns how many. `unlistedRows`: rows of devices beyond
  // those.
  int snapshot(HeardDevice* out, std::uint64_t* unlistedRows) const;
  // Devices listed, and rows of devices beyond them.
  int devices(std::uint64_t* unlistedRows) const;

 private:
  mutable std::mutex mutex_;
  HeardDevice devices_[kMaxListed] = {};
  int count_ = 0;
  std::uint64_t unlistedRows_ = 0;
};

}  // namespace kv
