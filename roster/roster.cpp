#include "roster/roster.h"

#include <cstring>

#include "base/text.h"
#include "link/frame.h"
#include "roster/tile_text.h"

namespace kv {

namespace {

bool inRange(int id, int first) { return id >= first && id < first + kTileCount; }

}  // namespace

void Roster::storeReadings(DeviceSlot& s, int heartRate, int rrInterval, int battery, char* text) {
  if (heartRate != kKeepReading) s.heartRate = heartRate;
  if (rrInterval != kKeepReading) s.rrInterval = rrInterval;
  if (battery != kKeepReading) s.battery = battery;
  formatTileText(text, s.name, s.linkState == kLinked, s.heartRate, s.rrInterval, s.battery);
}

bool Roster::silentTextLocked(DeviceSlot& s, std::int64_t nowMs, char* text) {
  if (s.inUse != 1) return false;
  const bool linked = s.linkState == kLinked;
  if (!s.silent) {
    if (nowMs - s.lastHeardMs < (linked ? kLinkedSilentAfterMs : kIdleSilentAfterMs)) return false;
    s.silent = true;
    s.silentSinceMs = s.lastHeardMs;
    s.shownSilentSeconds = -1;
  }
  const int seconds = static_cast<int>((nowMs - s.silentSinceMs) / 1000);
  if (seconds == s.shownSilentSeconds) return false;
  s.shownSilentSeconds = seconds;
  formatSilentTileText(text, s.name, linked, seconds, s.battery);
  return true;
}

void Roster::showTileText(int slot, int heartRate, int rrInterval, int battery) {
  if (slot < 0 || slot >= kTileCount) return;
  char text[kTileTextSize];
  {
    std::lock_guard lock(table_.mutex_);
    storeReadings(table_.slots_[slot], heartRate, rrInterval, battery, text);
    table_.slots_[slot].readingsCleared = false;
  }
  view_.setTileText(slot, text);
}

struct Roster::ReadingCall {
  Roster* roster;
  int slot;
  const char* address;
  int heartRate, rrInterval, battery;
  bool applied;
};

void Roster::showReadingOnUi(void* arg) {
  auto* call = static_cast<ReadingCall*>(arg);
  call->applied =
      call->roster->applyReading(call->slot, call->address, call->heartRate, call->rrInterval, call->battery);
}

bool Roster::applyReading(int slot, const char* address, int heartRate, int rrInterval, int battery) {
  if (slot < 0 || slot >= kTileCount) return false;
  char text[kTileTextSize];
  {
    std::lock_guard lock(table_.mutex_);
    DeviceSlot& s = table_.slots_[slot];
    if (s.inUse != 1 || std::strcmp(s.address, address) != 0) return false;
    storeReadings(s, heartRate, rrInterval, battery, text);
    s.readingsCleared = false;
    // A reading makes a silent device live again.
    s.lastReadingMs = clock_.nowMs();
    s.makeLive();
  }
  view_.setTileText(slot, text);
  return true;
}

bool Roster::showReading(int slot, const char* address, int heartRate, int rrInterval, int battery) {
  if (slot < 0 || slot >= kTileCount) return false;
  ReadingCall call{this, slot, address, heartRate, rrInterval, battery, false};
  view_.runOnUiThread(&Roster::showReadingOnUi, &call);
  return call.applied;
}

void Roster::showLinkedCount() {
  int count = 0;
  {
    std::lock_guard lock(table_.mutex_);
    for (const DeviceSlot& s : table_.slots_) count += (s.linkState == kLinked);
  }
  char text[12];
  formatLinkedCount(text, count);
  view_.setLinkedCount(text);
}

void Roster::showTooltip(int commandId) {
  if (inRange(commandId, 1400)) showHoverText(commandId - 1400);
}

void Roster::showHoverText(int slot) {
  if (slot < 0 || slot >= kTileCount) return;
  char address[sizeof DeviceSlot{}.address];
  {
    std::lock_guard lock(table_.mutex_);
    const DeviceSlot& s = table_.slots_[slot];
    if (s.inUse != 1) return;  // freed since the request was posted
    std::memcpy(address, s.address, sizeof address);
  }
  char str_addr[20];
  formatColonAddress(address, std::strlen(address), str_addr);
  view_.setTileTooltip(slot, str_addr);
}

void Roster::toggleLink(int commandId) {
  if (!inRange(commandId, 400)) return;
  const int slot = commandId - 400;
  char text[kTileTextSize];
  char silentText[kTileTextSize];
  bool unlinked = false;
  bool silent = false;
  {
    std::lock_guard lock(table_.mutex_);
    DeviceSlot& s = table_.slots_[slot];
    if (s.inUse != 1) return;
    if (s.linkState == kIdle) {
      s.linkState = kLinked;
    } else {
      s.linkState = kIdle;
      storeReadings(s, 0, 0, 0, text);
      s.readingsCleared = true;
      unlinked = true;
    }
    // Silence is judged again by the threshold of the new state.
    s.makeLive();
    silent = silentTextLocked(s, clock_.nowMs(), silentText);
  }
  if (unlinked) view_.setTileText(slot, text);
  if (silent) view_.setTileText(slot, silentText);
  showLinkedCount();
}

void Roster::clearUseless() {
  // Texts to set once the lock is released; a null entry leaves the tile.
  char texts[kTileCount][kTileTextSize];
  bool changed[kTileCount] = {};
  {
    std::lock_guard lock(table_.mutex_);
    DeviceSlot* slots = table_.slots_;
    for (int i = 0; i < kTileCount; ++i) {
      DeviceSlot& s = slots[i];
      if (s.inUse == 1 && s.linkState != kLinked) {
        s.address[0] = '\0';
        s.inUse = 0;
        std::strcpy(texts[i], kEmptyTileText);
        changed[i] = true;
      }
    }
    for (int k = 1; k < kTileCount; ++k) {
      DeviceSlot& from = slots[k];
      if (from.inUse != 1 || from.linkState != kLinked) continue;
      int l = 0;
      while (l < k && slots[l].inUse == 1) ++l;
      if (l == k) continue;
      DeviceSlot& to = slots[l];
      to.inUse = from.inUse;
      to.linkState = from.linkState;
      to.heartRate = from.heartRate;
      to.rrInterval = from.rrInterval;
      to.battery = from.battery;
      to.readingsCleared = from.readingsCleared;
      to.lastHeardMs = from.lastHeardMs;
      to.lastReadingMs = from.lastReadingMs;
      to.silent = from.silent;
      to.silentSinceMs = from.silentSinceMs;
      std::memcpy(to.name, from.name, sizeof to.name);
      std::memcpy(to.address, from.address, sizeof to.address);
      storeReadings(to, to.heartRate, to.rrInterval, to.battery, texts[l]);
      if (to.silent) {
        to.shownSilentSeconds = -1;
        silentTextLocked(to, clock_.nowMs(), texts[l]);
      }
      changed[l] = true;
      from.inUse = 0;
      from.linkState = kIdle;
      from.name[0] = '\0';
      from.address[0] = '\0';
      from.heartRate = kNoReading8;
      from.rrInterval = kNoReading16;
      from.battery = kNoReading8;
      from.makeLive();
      to.brand = from.brand;
      std::strcpy(texts[k], kEmptyTileText);
      changed[k] = true;
    }
  }
  for (int i = 0; i < kTileCount; ++i) {
    if (changed[i]) view_.setTileText(i, texts[i]);
    view_.deactivateTooltip(i);
  }
  brushes_.emptyBrushCaches();
}

void Roster::resetRosterHere() {
  bool occupied[kTileCount];
  {
    std::lock_guard lock(table_.mutex_);
    for (int i = 0; i < kTileCount; ++i) occupied[i] = table_.slots_[i].inUse == 1;
    table_.initLocked();
  }
  view_.setLinkedCount("");
  for (int i = 0; i < kTileCount; ++i) {
    if (occupied[i]) view_.setTileText(i, kEmptyTileText);
    view_.deactivateTooltip(i);
  }
}

void Roster::resetRosterOnUi(void* arg) { static_cast<Roster*>(arg)->resetRosterHere(); }

void Roster::resetRoster() { view_.runOnUiThread(&Roster::resetRosterOnUi, this); }

void Roster::checkSilence() {
  char texts[kTileCount][kTileTextSize];
  bool changed[kTileCount] = {};
  const std::int64_t now = clock_.nowMs();
  {
    std::lock_guard lock(table_.mutex_);
    for (int i = 0; i < kTileCount; ++i) changed[i] = silentTextLocked(table_.slots_[i], now, texts[i]);
  }
  for (int i = 0; i < kTileCount; ++i)
    if (changed[i]) view_.setTileText(i, texts[i]);
}

bool Roster::linkedBrand(int slot, std::uint8_t* brand) const {
  if (slot < 0 || slot >= kTileCount) return false;
  std::lock_guard lock(table_.mutex_);
  const DeviceSlot& s = table_.slots_[slot];
  if (s.linkState != kLinked) return false;
  *brand = s.silent ? kFillSilent : s.brand;
  return true;
}

}  // namespace kv
