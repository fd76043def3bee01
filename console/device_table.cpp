#include "console/device_table.h"

#include <cstring>


namespace kv {

void DeviceTable::heard(const DeviceReport& report, std::int64_t nowMs) {
  std::lock_guard lock(mutex_);
  HeardDevice* d = nullptr;
  for (int i = 0; i < count_; ++i) {
    if (std::strncmp(devices_[i].address, report.address, kAddressWidth) == 0) {
      d = &devices_[i];
      break;
    }
  }
  if (d == nullptr) {
    if (count_ == kMaxListed) {
      ++unlistedRows_;
      return;
    }
    d = &devices_[count_++];
    std::memset(d, 0, sizeof *d);
    std::strncpy(d->address, report.address, kAddressWidth);
  }
  std::memset(d->name, 0, sizeof d->name);
  std::memcpy(d->name, report.name, strnlen(report.name, kDeviceNameWidth));
  d->heartRate = report.heartRate;
  d->rrInterval = report.rrInterval;
  d->battery = report.battery;
  d->lastHeardMs = nowMs;
  ++d->rows;
}

int DeviceTable::snapshot(HeardDevice* out, std::uint64_t* unlistedRows) const {
  std::lock_guard lock(mutex_);
  std::memcpy(out, devices_, sizeof(HeardDevice) * static_cast<std::size_t>(count_));
  *unlistedRows = unlistedRows_;
  return count_;
}

int DeviceTable::devices(std::uint64_t* unlistedRows) const {
  std::lock_guard lock(mutex_);
  *unlistedRows = unlistedRows_;
  return count_;
}

}  // namespace kv
