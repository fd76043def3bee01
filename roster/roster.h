// Roster operations that show their effect on the tiles: readings and tile
// texts, the linked count, hover texts, linking, "Clear Useless" and the
// roster reset.
//
// Threads: the reader thread calls registerDevice, showReading and
// resetRoster; everything else runs on the UI thread. Tile texts are always
// worked out and set on the UI thread (through View::runOnUiThread when
// called from elsewhere), from the table as it is at that moment, so a text
// never lands on a tile after its slot has changed under it.
#pragma once

#include <cstdint>

#include "base/core_clock.h"
#include "base/view.h"
#include "link/device_registry.h"
#include "roster/slot_table.h"
#include "roster/tile_colours.h"

namespace kv {

class Roster final : public DeviceRegistry {
 public:
  Roster(View& view, TileBrushCache& brushes, const CoreClock& clock = systemClock())
      : view_(view), brushes_(brushes), clock_(clock) {}
  Roster(const Roster&) = delete;
  Roster& operator=(const Roster&) = delete;

  DeviceSlotTable& table() { return table_; }
  const DeviceSlotTable& table() const { return table_; }

  // Reader thread: the slot of a reported device (see DeviceSlotTable); the
  // device counts as heard now.
  int registerDevice(const char* name, const char* address) override {
    return table_.registerDevice(name, address, clock_.nowMs());
  }

  // Reader thread: applies a reading to the slot that registerDevice gave
  // for `address`. Stores heart rate, RR interval and battery (65535: keep
  // the stored value) and rewrites the tile's text. Returns false, changing
  // nothing, when the slot no longer holds that device (the operator freed
  // or packed it in between); its next report registers it again.
  bool showReading(int slot, const char* address, int heartRate, int rrInterval, int battery);
  // The same on the UI thread itself.
  bool applyReading(int slot, const char* address, int heartRate, int rrInterval, int battery) override;

  // UI thread: stores the readings (65535: keep) and rewrites the text of
  // tile `slot`.
  void showTileText(int slot, int heartRate, int rrInterval, int battery);
  // UI thread: shows the number of linked slots.
  void showLinkedCount();
  // UI thread: command 1400 + i gives tile i its address hover text.
  // showHoverText(i) is the same for tile i.
  void showHoverText(int slot) override;
  void showTooltip(int commandId);
  // UI thread: command 400 + i links an idle tile or unlinks a linked one.
  void toggleLink(int commandId);
  // UI thread: frees every unlinked tile and packs the linked ones into the
  // first tiles, in order.
  void clearUseless();
  // Any thread: empties the roster and its tiles.
  void resetRoster() override;
  // UI thread, once a second: a device not heard for kLinkedSilentAfterMs
  // (linked) or kIdleSilentAfterMs (idle) is shown silent, with how long it
  // has been so, until its next reading is applied.
  void checkSilence();

  // UI thread, painting: true when tile `slot` is linked (and so painted
  // while the scan runs), with its fill: the slot's brand, or kFillSilent
  // when its device has gone silent.
  bool linkedBrand(int slot, std::uint8_t* brand) const;

 private:
  struct ReadingCall;
  static void showReadingOnUi(void* arg);
  static void resetRosterOnUi(void* arg);
  void resetRosterHere();
  // Stores readings into a slot (lock held) and formats its text.
  static void storeReadings(DeviceSlot& s, int heartRate, int rrInterval, int battery, char* text);
  // Lock held: whether slot `s` is (now) silent and its silent text must be
  // shown; the text goes to `text`.
  static bool silentTextLocked(DeviceSlot& s, std::int64_t nowMs, char* text);

  View& view_;
  TileBrushCache& brushes_;
  const CoreClock& clock_;
  DeviceSlotTable table_;
};

}  // namespace kv
