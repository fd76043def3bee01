// The roster used from two threads at once, as the reader thread and the UI
// thread use it: registration and readings against clicks, "Clear Useless"
// and resets. Run under ThreadSanitizer by the sanitizer build; in any build
// it checks that the tiles end up showing what the table holds.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "roster/roster.h"
#include "roster/tile_text.h"
#include "support/recording_view.h"

namespace kv {
namespace {

TEST(RosterThreads, ReaderAndUiThreadsKeepTableAndTilesWhole) {
  test::RecordingView view;
  TileBrushCache brushes;
  Roster roster(view, brushes);
  std::atomic<bool> done{false};

  std::thread reader([&] {
    std::mt19937 rng(1);
    char name[26], address[13];
    for (int n = 0; n < 20000; ++n) {
      const int dev = static_cast<int>(rng() % 50);
      std::snprintf(name, sizeof name, dev % 3 ? "Mirabeat %d" : "Coros %d", dev);
      std::snprintf(address, sizeof address, "AB%010d", dev);
      const int slot = roster.registerDevice(name, address);
      if (slot >= 0) roster.showReading(slot, address, 60 + dev, 1000 - dev, dev);
      if (n % 2500 == 2499) roster.resetRoster();
    }
    done = true;
  });
  std::thread ui([&] {
    std::mt19937 rng(2);
    while (!done) {
      view.onUi([&] {
        const unsigned r = rng() % 100;
        if (r < 90) {
          roster.toggleLink(400 + static_cast<int>(rng() % 40));
        } else if (r < 97) {
          roster.showTooltip(1400 + static_cast<int>(rng() % 40));
        } else {
          roster.clearUseless();
        }
      });
    }
  });
  reader.join();
  ui.join();

  // Every occupied slot holds a distinct address and its own device's
  // readings; every tile shows "empty" or its own slot's device.
  const DeviceSlotTable& table = roster.table();
  for (int i = 0; i < kTileCount; ++i) {
    const DeviceSlot s = table.slot(i);
    const std::string tile = view.tileText(i);
    if (s.inUse != 1) {
      EXPECT_EQ(s.linkState, kIdle) << i;
      continue;
    }
    EXPECT_EQ(table.findSlotByAddress(s.address), i);
    const int dev = std::stoi(std::string(s.address + 2));
    if (s.heartRate != 0 && s.heartRate != 255) {
      EXPECT_EQ(s.heartRate, 60 + dev) << i;
      EXPECT_EQ(s.rrInterval, 1000 - dev) << i;
    }
    if (tile != "empty") {
      EXPECT_EQ(tile.substr(0, tile.find('\n')), s.name) << "tile " << i << " shows " << tile;
    }
  }
}

}  // namespace
}  // namespace kv
