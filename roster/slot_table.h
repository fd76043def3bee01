// The roster: 40 device slots, slot i behind tile i.
//
// The reader thread registers devices while the UI thread links, unlinks and
// packs them, so every operation takes the table's lock and sees and leaves
// the table whole. The lock is never held across a call into the view.
#pragma once

#include <cstdint>
#include <mutex>

#include "base/view.h"

namespace kv {

inline constexpr std::uint8_t kIdle = 5;
inline constexpr std::uint8_t kLinked = 15;

inline constexpr std::uint8_t kBrandMirabeat = 0;
inline constexpr std::uint8_t kBrandPolar = 1;
inline constexpr std::uint8_t kBrandOther = 9;
// The fill of a linked tile whose device has gone silent, in the place of
// its brand (see tileColour).
inline constexpr std::uint8_t kFillSilent = 0xFF;

inline constexpr int kNoReading8 = 255;     // heart rate, battery: none received yet
inline constexpr int kNoReading16 = 65535;  // RR interval: none received yet; as an argument: keep
inline constexpr int kKeepReading = 65535;

// A linked device not heard for this long is shown silent: not painted in
// its brand's colour, its reading line saying how long it has been silent.
inline constexpr std::int64_t kLinkedSilentAfterMs = 5000;
// An unlinked device not heard for this long is marked the same way.
inline constexpr std::int64_t kIdleSilentAfterMs = 30000;

struct DeviceSlot {
  int inUse = 0;                  // 0 free, 1 occupied
  std::uint8_t linkState = kIdle;  // kIdle or kLinked
  char name[26] = {};
  char address[13] = {};
  std::uint8_t brand = kBrandMirabeat;
  int heartRate = kNoReading8;
  int rrInterval = kNoReading16;
  int battery = kNoReading8;
  // Unlinked since its last reading: the readings are the zeros an unlink
  // leaves, not the device's (the tile shows them as they are; the class
  // display does not take them for a reading).
  bool readingsCleared = false;
  // When its device was last heard (a report with a good seal) and when its
  // last reading was applied (0: none yet), on the core's clock.
  std::int64_t lastHeardMs = 0;
  std::int64_t lastReadingMs = 0;
  // Not heard for too long: shown silent, counting from silentSinceMs (the
  // last time it was heard), until its next reading is applied.
  bool silent = false;
  std::int64_t silentSinceMs = 0;
  int shownSilentSeconds = -1;  // the count its tile shows, -1: none

  // Not (or no longer) shown silent.
  void makeLive() {
    silent = false;
    shownSilentSeconds = -1;
  }
};

// The table and the operations that touch no window. Thread-safe.
class DeviceSlotTable {
 public:
  DeviceSlotTable() { initSlotTable(); }
  DeviceSlotTable(const DeviceSlotTable&) = delete;
  DeviceSlotTable& operator=(const DeviceSlotTable&) = delete;

  // Every slot free and idle, readings 255 / 65535 / 255, brand 0.
  void initSlotTable();
  // Lowest occupied slot holding exactly this address, else -1.
  int findSlotByAddress(const char* address) const;
  bool isSlotInUse(int index) const;
  // The slot now holding the device with this address, or -1 when the
  // device is refused ("Polar...") or no slot is free. A device new to the
  // table starts idle, live and with no readings (255 / 65535 / 255). The
  // device counts as heard at `nowMs`.
  int registerDevice(const char* name, const char* address, std::int64_t nowMs = 0);
  // A copy of slot `index` as it is now.
  DeviceSlot slot(int index) const;

 private:
  friend class Roster;
  int findLocked(const char* address) const;
  void initLocked();

  mutable std::mutex mutex_;
  DeviceSlot slots_[kTileCount];
};

// Brand of a reported name: 0 Mirabeat, 1 Polar (refused), 9 any other.
std::uint8_t brandOfName(const char* name);

}  // namespace kv
