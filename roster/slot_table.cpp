#include "roster/slot_table.h"

#include <cstring>

namespace kv {

namespace {

bool hasPrefix(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

void copyBounded(char* out, std::size_t size, const char* text) {
  std::size_t n = std::strlen(text);
  if (n >= size) n = size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

}  // namespace

std::uint8_t brandOfName(const char* name) {
  if (hasPrefix(name, "Mirabeat")) return kBrandMirabeat;
  if (hasPrefix(name, "Polar")) return kBrandPolar;
  return kBrandOther;
}

void DeviceSlotTable::initLocked() {
  for (DeviceSlot& s : slots_) {
    s.inUse = 0;
    s.linkState = kIdle;
    s.brand = kBrandMirabeat;
    s.heartRate = kNoReading8;
    s.rrInterval = kNoReading16;
    s.battery = kNoReading8;
    s.readingsCleared = false;
    s.lastHeardMs = 0;
    s.lastReadingMs = 0;
    s.makeLive();
  }
}

void DeviceSlotTable::initSlotTable() {
  std::lock_guard lock(mutex_);
  initLocked();
}

int DeviceSlotTable::findLocked(const char* address) const {
  for (int i = 0; i < kTileCount; ++i) {
    if (slots_[i].inUse == 1 && std::strcmp(slots_[i].address, address) == 0) return i;
  }
  return -1;
}

int DeviceSlotTable::findSlotByAddress(const char* address) const {
  std::lock_guard lock(mutex_);
  return findLocked(address);
}

bool DeviceSlotTable::isSlotInUse(int index) const {
  if (index < 0 || index >= kTileCount) return false;
  std::lock_guard lock(mutex_);
  return slots_[index].inUse == 1;
}

int DeviceSlotTable::registerDevice(const char* name, const char* address, std::int64_t nowMs) {
  std::lock_guard lock(mutex_);
  const int known = findLocked(address);
  if (known >= 0) {
    slots_[known].lastHeardMs = nowMs;
    return known;
  }
  int free = -1;
  for (int i = 0; i < kTileCount; ++i) {
    if (slots_[i].inUse == 0) {
      free = i;
      break;
    }
  }
  if (free < 0) return -1;
  const std::uint8_t brand = brandOfName(name);
  if (brand == kBrandPolar) return -1;
  DeviceSlot& s = slots_[free];
  s.brand = brand;
  s.inUse = 1;
  // A slot freed by "Clear Useless" still holds its last device's readings;
  // the new device starts with none of its own.
  s.heartRate = kNoReading8;
  s.rrInterval = kNoReading16;
  s.battery = kNoReading8;
  s.readingsCleared = false;
  s.lastHeardMs = nowMs;
  s.lastReadingMs = 0;
  s.makeLive();
  copyBounded(s.name, sizeof s.name, name);
  copyBounded(s.address, sizeof s.address, address);
  return free;
}

DeviceSlot DeviceSlotTable::slot(int index) const {
  std::lock_guard lock(mutex_);
  return slots_[index];
}

}  // namespace kv
