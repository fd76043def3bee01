// The device roster: registration, tile texts, linking, "Clear Useless",
// the reset, hover texts and the linked count, as the operator sees them.
#include <gtest/gtest.h>

#include <string>

#include "console/class_display.h"
#include "roster/roster.h"
#include "roster/tile_text.h"
#include "support/hand_clock.h"
#include "support/recording_view.h"

namespace kv {
namespace {

class RosterTest : public ::testing::Test {
 protected:
  test::RecordingView view;
  TileBrushCache brushes;
  test::HandClock clock;
  Roster roster{view, brushes, clock};
  DeviceSlotTable& table = roster.table();

  // Registers a device with a reading, as the parser does.
  int report(const char* name, const char* address, int hr, int rr, int batt) {
    const int slot = roster.registerDevice(name, address);
    if (slot >= 0) roster.showReading(slot, address, hr, rr, batt);
    return slot;
  }
  static std::string addr(int i) {
    char a[13];
    std::snprintf(a, sizeof a, "C0FFEE%06d", i);
    return a;
  }
};

TEST_F(RosterTest, RegistrationReusesAddressesAndTakesTheLowestFreeSlot) {
  EXPECT_EQ(table.findSlotByAddress("A00000000001"), -1);
  EXPECT_EQ(table.registerDevice("Mirabeat one", "A00000000001"), 0);
  EXPECT_EQ(table.registerDevice("Coros two", "A00000000002"), 1);
  // Same address, new name: the same slot, the old name and brand stay.
  EXPECT_EQ(table.registerDevice("Other name", "A00000000001"), 0);
  EXPECT_STREQ(table.slot(0).name, "Mirabeat one");
  EXPECT_EQ(table.slot(0).brand, kBrandMirabeat);
  // Addresses compare exactly, case included.
  EXPECT_EQ(table.registerDevice("Coros three", "a00000000001"), 2);
  EXPECT_EQ(table.findSlotByAddress("A00000000002"), 1);
  EXPECT_TRUE(table.isSlotInUse(2));
  EXPECT_FALSE(table.isSlotInUse(3));
  EXPECT_FALSE(table.isSlotInUse(-1));
  EXPECT_FALSE(table.isSlotInUse(40));
  // A new device starts idle with no readings.
  const DeviceSlot s = table.slot(1);
  EXPECT_EQ(s.linkState, kIdle);
  EXPECT_EQ(s.heartRate, 255);
  EXPECT_EQ(s.rrInterval, 65535);
  EXPECT_EQ(s.battery, 255);
}

TEST_F(RosterTest, BrandsComeFromCaseSensitivePrefixesAndPolarIsRefused) {
  EXPECT_EQ(brandOfName("Mirabeat HR-7"), kBrandMirabeat);
  EXPECT_EQ(brandOfName("Mirabeat"), kBrandMirabeat);
  EXPECT_EQ(brandOfName("mirabeat HR-7"), kBrandOther);
  EXPECT_EQ(brandOfName("Mira"), kBrandOther);
  EXPECT_EQ(brandOfName("Pola"), kBrandOther);
  EXPECT_EQ(brandOfName(""), kBrandOther);

  EXPECT_EQ(table.registerDevice("Polar H10 1234567", "B00000000001"), -1);
  EXPECT_EQ(table.registerDevice("Polar", "B00000000002"), -1);
  EXPECT_FALSE(table.isSlotInUse(0)) << "a refused device takes no slot";
  EXPECT_EQ(table.registerDevice("Pola", "B00000000003"), 0);
  EXPECT_EQ(table.slot(0).brand, kBrandOther);
  EXPECT_EQ(table.registerDevice("mirabeat", "B00000000004"), 1);
  EXPECT_EQ(table.slot(1).brand, kBrandOther);
}

TEST_F(RosterTest, TheFortyFirstDeviceWaitsForAFreeSlot) {
  for (int i = 0; i < kTileCount; ++i) ASSERT_EQ(table.registerDevice("Coros", addr(i).c_str()), i);
  EXPECT_EQ(table.registerDevice("Coros", addr(40).c_str()), -1);
  EXPECT_EQ(table.registerDevice("Coros", addr(40).c_str()), -1);
  // Link every device but slot 17, then free it with "Clear Useless".
  for (int i = 0; i < kTileCount; ++i)
    if (i != 17) roster.toggleLink(400 + i);
  roster.clearUseless();
  // Tiles 18..39 moved down one, so slot 39 is the one left free.
  EXPECT_EQ(table.registerDevice("Coros", addr(40).c_str()), 39);
  // Names are kept to 25 characters, whatever arrives.
  roster.resetRoster();
  EXPECT_EQ(table.registerDevice("Mirabeat 0123456789012345678901234", "D00000000001"), 0);
  EXPECT_STREQ(table.slot(0).name, "Mirabeat 0123456789012345");
}

TEST_F(RosterTest, TileTextsFollowReadingsAndLinkState) {
  char out[kTileTextSize];
  formatTileText(out, "Mirabeat A", true, 72, 830, 90);
  EXPECT_STREQ(out, "Mirabeat A\nHR: 72 , RR: 830\nBat: 90%");
  formatTileText(out, "Mirabeat A", true, 72, 0, 90);
  EXPECT_STREQ(out, "Mirabeat A\nHR: 72\nBat: 90%");
  formatTileText(out, "Mirabeat A", false, 72, 830, 90);
  EXPECT_STREQ(out, "Mirabeat A\n\n");
  formatTileText(out, "Mirabeat 0123456789012345", true, 255, 65535, 255);
  EXPECT_STREQ(out, "Mirabeat 0123456789012345\nHR: 255 , RR: 65535\nBat: 255%");
  EXPECT_EQ(std::string(out).size(), 55u) << "the longest tile text";

  // An idle tile shows its name and two empty lines; readings are stored.
  const int slot = report("Mirabeat A", "A1B2C3D4E5F6", 72, 830, 90);
  ASSERT_EQ(slot, 0);
  EXPECT_EQ(view.tileText(0), "Mirabeat A\n\n");
  EXPECT_EQ(table.slot(0).heartRate, 72);
  // Linking does not rewrite the text; the next reading does.
  roster.toggleLink(400);
  EXPECT_EQ(view.tileText(0), "Mirabeat A\n\n");
  EXPECT_EQ(view.linkedCount(), "1");
  roster.showReading(0, "A1B2C3D4E5F6", 72, 830, 90);
  EXPECT_EQ(view.tileText(0), "Mirabeat A\nHR: 72 , RR: 830\nBat: 90%");
  // 65535 keeps a stored value; an RR of 0 drops the RR part.
  roster.showReading(0, "A1B2C3D4E5F6", 65535, 0, 65535);
  EXPECT_EQ(view.tileText(0), "Mirabeat A\nHR: 72\nBat: 90%");
  EXPECT_EQ(table.slot(0).rrInterval, 0);
  // A linked device whose first reading has no RR shows the stored 65535.
  report("Coros B", "B1B2C3D4E5F6", 255, 65535, 255);
  roster.toggleLink(401);
  roster.showReading(1, "B1B2C3D4E5F6", 64, 65535, 80);
  EXPECT_EQ(view.tileText(1), "Coros B\nHR: 64 , RR: 65535\nBat: 80%");
  // Unlinking shows the name alone and stores 0, 0, 0.
  roster.toggleLink(400);
  EXPECT_EQ(view.tileText(0), "Mirabeat A\n\n");
  const DeviceSlot s = table.slot(0);
  EXPECT_EQ(s.linkState, kIdle);
  EXPECT_EQ(s.heartRate, 0);
  EXPECT_EQ(s.rrInterval, 0);
  EXPECT_EQ(s.battery, 0);
  EXPECT_EQ(view.linkedCount(), "1");
}

TEST_F(RosterTest, ADeviceNotHeardIsShownSilentUntilItsNextReading) {
  report("Coros A", addr(0).c_str(), 70, 800, 50);
  report("Coros B", addr(1).c_str(), 80, 700, 40);
  roster.toggleLink(400);
  roster.showReading(0, addr(0).c_str(), 70, 800, 50);
  std::uint8_t fill = 0;
  // Heard every second: nothing on the normal path changes.
  view.clearCalls();
  for (int i = 0; i < 60; ++i) {
    clock.now += 1000;
    report("Coros A", addr(0).c_str(), 70, 800, 50);
    report("Coros B", addr(1).c_str(), 80, 700, 40);
    view.clearCalls();
    roster.checkSilence();
    ASSERT_TRUE(view.calls().empty()) << i;
  }
  // A linked device: silent at 5 s, grey instead of its brand, counting.
  clock.now += 4999;
  roster.checkSilence();
  EXPECT_EQ(view.tileText(0), "Coros A\nHR: 70 , RR: 800\nBat: 50%");
  clock.now += 1;
  roster.checkSilence();
  EXPECT_EQ(view.tileText(0), "Coros A\nHR: -- (5 s)\nBat: 50%");
  ASSERT_TRUE(roster.linkedBrand(0, &fill));
  EXPECT_EQ(fill, kFillSilent);
  EXPECT_EQ(tileColour(fill, false), kSilentColour);
  clock.now += 1500;
  roster.checkSilence();
  EXPECT_EQ(view.tileText(0), "Coros A\nHR: -- (6 s)\nBat: 50%");
  // Heard without a reading: still silent; the next reading makes it live.
  roster.registerDevice("Coros A", addr(0).c_str());
  clock.now += 1000;
  roster.checkSilence();
  EXPECT_EQ(view.tileText(0), "Coros A\nHR: -- (7 s)\nBat: 50%");
  roster.showReading(0, addr(0).c_str(), 72, 790, 50);
  EXPECT_EQ(view.tileText(0), "Coros A\nHR: 72 , RR: 790\nBat: 50%");
  ASSERT_TRUE(roster.linkedBrand(0, &fill));
  EXPECT_EQ(fill, kBrandOther);

  // An idle device is marked after 30 s, not before.
  EXPECT_EQ(view.tileText(1), "Coros B\n\n");
  clock.now += 30000 - 7500 - 1;
  roster.checkSilence();
  EXPECT_EQ(view.tileText(1), "Coros B\n\n");
  clock.now += 1;
  roster.checkSilence();
  EXPECT_EQ(view.tileText(1), "Coros B\n-- (30 s)\n");
  // Linked now, it shows as a silent linked tile at once; packed into
  // slot 0 by "Clear Useless", it stays silent.
  roster.toggleLink(401);
  EXPECT_EQ(view.tileText(1), "Coros B\nHR: -- (30 s)\nBat: 40%");
  roster.toggleLink(400);
  roster.clearUseless();
  EXPECT_EQ(view.tileText(0), "Coros B\nHR: -- (30 s)\nBat: 40%");
  ASSERT_TRUE(roster.linkedBrand(0, &fill));
  EXPECT_EQ(fill, kFillSilent);
  // Unlinked after 31 s: the Part's text first, then the idle mark.
  clock.now += 1000;
  roster.toggleLink(400);
  EXPECT_EQ(view.tileText(0), "Coros B\n-- (31 s)\n");
}

TEST_F(RosterTest, NamesAreShownNotObeyed) {
  // A name of line breaks cannot blank a linked tile or push its readings
  // away; one with its own "reading lines" cannot fake them on an idle one.
  report("\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r", addr(0).c_str(), 70, 800, 50);
  roster.toggleLink(400);
  roster.showReading(0, addr(0).c_str(), 70, 800, 50);
  EXPECT_EQ(view.tileText(0), std::string(25, '?') + "\nHR: 70 , RR: 800\nBat: 50%");
  report("Fake\nHR: 99\nBat: 99%", addr(1).c_str(), 70, 800, 50);
  EXPECT_EQ(view.tileText(1), "Fake?HR: 99?Bat: 99%\n\n");
  // Names are UTF-8 on the air; one that is not is Latin-1. Either way the
  // tile's text is UTF-8, without the controls.
  report("Caf\xe9 \xa0\x85\x7f\x1b", addr(2).c_str(), 70, 800, 50);
  EXPECT_EQ(view.tileText(2), "Caf\xc3\xa9 \xc2\xa0???\n\n");
  report("Zo\xc3\xab \xc2\x85\xe2\x80\xa8!", addr(3).c_str(), 70, 800, 50);
  EXPECT_EQ(view.tileText(3), "Zo\xc3\xab ?" "?!\n\n");

  // As a button's label every "&" is doubled, so it is drawn, not taken as
  // a mnemonic.
  char label[kTileLabelSize];
  tileLabel("Team&Go 7\n\n", label);
  EXPECT_STREQ(label, "Team&&Go 7\n\n");
  tileLabel(std::string(25, '&').c_str(), label);
  EXPECT_EQ(std::string(label), std::string(50, '&'));
}

TEST_F(RosterTest, ClicksOutsideOccupiedTilesChangeNothing) {
  report("Coros", "A00000000001", 70, 800, 50);
  view.clearCalls();
  roster.toggleLink(401);  // free tile
  roster.toggleLink(399);
  roster.toggleLink(440);
  roster.toggleLink(1400);
  roster.showTooltip(1399);
  roster.showTooltip(1440);
  roster.showTooltip(401);
  roster.showTooltip(1401);  // free slot: no hover text
  EXPECT_TRUE(view.calls().empty());
  EXPECT_EQ(table.slot(1).linkState, kIdle);
}

TEST_F(RosterTest, LinkedCountFollowsClicks) {
  for (int i = 0; i < 4; ++i) report("Coros", addr(i).c_str(), 60, 1000, 99);
  roster.toggleLink(400);
  roster.toggleLink(401);
  roster.toggleLink(403);
  EXPECT_EQ(view.linkedCount(), "3");
  roster.toggleLink(401);
  EXPECT_EQ(view.linkedCount(), "2");
}

TEST_F(RosterTest, HoverTextIsTheColonAddressOneTextPerTile) {
  report("Coros", "0A1B2C3D4E5F", 60, 1000, 99);
  for (int i = 0; i < 3; ++i) roster.showTooltip(1400);
  EXPECT_EQ(view.tooltip(0), "0A:1B:2C:3D:4E:5F");
  EXPECT_TRUE(view.tooltipActive(0));
  EXPECT_EQ(view.tooltipSets(0), 3);
  // Slot 39 through 1439.
  for (int i = 1; i < kTileCount; ++i) report("Coros", addr(i).c_str(), 60, 1000, 99);
  roster.showTooltip(1439);
  EXPECT_EQ(view.tooltip(39), "C0:FF:EE:00:00:39");
}

TEST_F(RosterTest, ClearUselessPacksLinkedDevicesInOrder) {
  // Devices in every slot up to 14; 3, 7 and 12 linked with readings.
  for (int i = 0; i < 15; ++i) {
    const char* name = (i == 7) ? "Coros seven" : (i == 3 ? "Mirabeat three" : "Mirabeat x");
    report(name, addr(i).c_str(), 60 + i, 900 + i, 80 + i);
  }
  for (int i : {3, 7, 12}) {
    roster.toggleLink(400 + i);
    roster.showReading(i, addr(i).c_str(), 60 + i, 900 + i, 80 + i);
    roster.showTooltip(1400 + i);
  }
  roster.clearUseless();

  const int from[] = {3, 7, 12};
  for (int l = 0; l < 3; ++l) {
    const DeviceSlot s = table.slot(l);
    const int k = from[l];
    EXPECT_EQ(s.inUse, 1);
    EXPECT_EQ(s.linkState, kLinked);
    EXPECT_EQ(std::string(s.address), addr(k));
    EXPECT_EQ(s.heartRate, 60 + k);
    EXPECT_EQ(s.rrInterval, 900 + k);
    EXPECT_EQ(s.battery, 80 + k);
  }
  EXPECT_EQ(table.slot(0).brand, kBrandMirabeat);
  EXPECT_EQ(table.slot(1).brand, kBrandOther);
  EXPECT_EQ(table.slot(2).brand, kBrandMirabeat);
  EXPECT_EQ(view.tileText(0), "Mirabeat three\nHR: 63 , RR: 903\nBat: 83%");
  EXPECT_EQ(view.tileText(1), "Coros seven\nHR: 67 , RR: 907\nBat: 87%");
  for (int i = 3; i < kTileCount; ++i) {
    EXPECT_EQ(view.tileText(i), "empty") << i;
    EXPECT_FALSE(table.isSlotInUse(i)) << i;
    EXPECT_EQ(table.slot(i).linkState, kIdle) << i;
  }
  for (int i = 0; i < kTileCount; ++i) EXPECT_FALSE(view.tooltipActive(i)) << i;
  // A moved-away slot is reset; the free slots' addresses no longer match.
  EXPECT_EQ(table.slot(12).heartRate, 255);
  EXPECT_EQ(table.findSlotByAddress(addr(5).c_str()), -1);
  EXPECT_EQ(view.linkedCount(), "3");
}

TEST_F(RosterTest, ClearUselessLeavesDevicesWithNoFreeSlotBelow) {
  for (int i = 0; i < 3; ++i) report("Coros", addr(i).c_str(), 70, 800, 50);
  roster.toggleLink(400);
  roster.toggleLink(401);
  roster.clearUseless();
  EXPECT_EQ(std::string(table.slot(0).address), addr(0));
  EXPECT_EQ(std::string(table.slot(1).address), addr(1));
  EXPECT_FALSE(table.isSlotInUse(2));
  EXPECT_EQ(view.tileText(2), "empty");
  // With nothing linked every occupied slot is freed.
  roster.toggleLink(400);
  roster.toggleLink(401);
  roster.clearUseless();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(table.isSlotInUse(i));
}

TEST_F(RosterTest, ResetEmptiesTilesTooltipsAndCount) {
  for (int i = 0; i < 3; ++i) report("Coros", addr(i).c_str(), 70, 800, 50);
  roster.toggleLink(401);
  roster.showTooltip(1401);
  view.clearCalls();
  roster.resetRoster();
  for (int i = 0; i < kTileCount; ++i) {
    EXPECT_FALSE(table.isSlotInUse(i));
    EXPECT_EQ(view.tileText(i), "empty");
    EXPECT_FALSE(view.tooltipActive(i));
    const DeviceSlot s = table.slot(i);
    EXPECT_EQ(s.linkState, kIdle);
    EXPECT_EQ(s.brand, kBrandMirabeat);
    EXPECT_EQ(s.heartRate, 255);
    EXPECT_EQ(s.rrInterval, 65535);
    EXPECT_EQ(s.battery, 255);
  }
  EXPECT_EQ(view.linkedCount(), "");
  // Only the tiles that held a device are rewritten.
  int tileWrites = 0;
  for (const auto& c : view.calls()) tileWrites += c.rfind("setTileText", 0) == 0;
  EXPECT_EQ(tileWrites, 3);
  // A known address comes back as a new device in the lowest slot.
  EXPECT_EQ(table.registerDevice("Coros", addr(2).c_str()), 0);
}

TEST_F(RosterTest, AReadingForAMovedDeviceIsNotShownOnAnotherDevice) {
  // B registers in slot 1; before its reading is shown the operator packs
  // the roster and linked C moves into slot 1.
  report("Coros A", addr(0).c_str(), 70, 800, 50);
  const int b = roster.registerDevice("Coros B", addr(1).c_str());
  report("Coros C", addr(2).c_str(), 90, 700, 40);
  roster.toggleLink(400);
  roster.toggleLink(402);
  roster.clearUseless();
  ASSERT_EQ(std::string(table.slot(1).address), addr(2));
  EXPECT_FALSE(roster.showReading(b, addr(1).c_str(), 150, 400, 10));
  EXPECT_EQ(table.slot(1).heartRate, 90);
  EXPECT_EQ(view.tileText(1), "Coros C\nHR: 90 , RR: 700\nBat: 40%");
}

TEST_F(RosterTest, ADeviceTakingAFreedSlotStartsWithNoReadings) {
  // An idle device with readings in slot 0 is freed by "Clear Useless".
  report("Coros old", addr(0).c_str(), 70, 857, 21);
  roster.clearUseless();
  // The next device in that slot sends no RR of its own: the stored 65535
  // shows, not the freed device's 857.
  ASSERT_EQ(report("Fresh 55", addr(1).c_str(), 62, 65535, 65535), 0);
  roster.toggleLink(400);
  roster.showReading(0, addr(1).c_str(), 62, 65535, 65535);
  EXPECT_EQ(view.tileText(0), "Fresh 55\nHR: 62 , RR: 65535\nBat: 255%");

  // A device registered without a reading (check byte not 0x80), linked,
  // then moved down by "Clear Useless", carries no other device's reading.
  roster.resetRoster();
  report("Coros A", addr(2).c_str(), 80, 700, 60);
  report("Coros B", addr(3).c_str(), 90, 600, 50);
  roster.clearUseless();
  ASSERT_EQ(roster.registerDevice("Coros idle", addr(4).c_str()), 0);
  ASSERT_EQ(roster.registerDevice("Coros quiet", addr(5).c_str()), 1);
  roster.toggleLink(401);
  roster.clearUseless();
  const DeviceSlot s = table.slot(0);
  ASSERT_EQ(std::string(s.address), addr(5));
  EXPECT_EQ(s.heartRate, 255);
  EXPECT_EQ(s.rrInterval, 65535);
  EXPECT_EQ(s.battery, 255);
  EXPECT_EQ(view.tileText(0), "Coros quiet\nHR: 255 , RR: 65535\nBat: 255%");
}

// The class display's cells: the linked devices in tile order, each in its
// brand's colour; a silent one grey, saying for how long, with no old
// number on it.
TEST_F(RosterTest, ClassDisplayShowsTheLinkedDevicesAndGreysTheSilent) {
  ClassCell cells[kTileCount];
  EXPECT_EQ(classCells(roster, clock.now, cells), 0);
  report("Mirabeat 1", addr(0).c_str(), 70, 812, 74);
  report("Coros 2", addr(1).c_str(), 80, 700, 9);
  report("Garmin 3", addr(2).c_str(), 255, 65535, 255);
  EXPECT_EQ(classCells(roster, clock.now, cells), 0);  // none linked yet
  for (int tile : {2, 1, 0}) roster.toggleLink(400 + tile);
  ASSERT_EQ(classCells(roster, clock.now, cells), 3);
  EXPECT_STREQ(cells[0].name, "Mirabeat 1");
  EXPECT_STREQ(cells[0].heartRate, "70");
  EXPECT_STREQ(cells[0].detail, "RR 812 ms   battery 74 %");
  EXPECT_EQ(cells[0].fill, kMirabeatColour);
  EXPECT_FALSE(cells[0].lowBattery);
  EXPECT_STREQ(cells[1].detail, "RR 700 ms   LOW BATTERY 9 %");
  EXPECT_TRUE(cells[1].lowBattery);
  EXPECT_EQ(cells[1].fill, kOtherBrandColour);
  EXPECT_STREQ(cells[2].heartRate, "--");
  EXPECT_STREQ(cells[2].detail, "RR --   battery --");
  // Unlinked: it leaves. Linked again, the zeros the unlink left are no
  // reading: "--" until its next one.
  roster.toggleLink(400 + 1);
  ASSERT_EQ(classCells(roster, clock.now, cells), 2);
  EXPECT_EQ(cells[1].slot, 2);
  roster.toggleLink(400 + 1);
  ASSERT_EQ(classCells(roster, clock.now, cells), 3);
  EXPECT_STREQ(cells[1].heartRate, "--");
  EXPECT_STREQ(cells[1].detail, "RR --   battery --");
  EXPECT_FALSE(cells[1].lowBattery);
  roster.showReading(1, addr(1).c_str(), 82, 690, 9);
  ASSERT_EQ(classCells(roster, clock.now, cells), 3);
  EXPECT_STREQ(cells[1].heartRate, "82");
  roster.toggleLink(400 + 1);
  // Silent after 5 s: grey, how long, and not the last heart rate.
  clock.now += 5000 + 67000;
  roster.checkSilence();
  ASSERT_EQ(classCells(roster, clock.now, cells), 2);
  EXPECT_TRUE(cells[0].silent);
  EXPECT_EQ(cells[0].fill, kSilentColour);
  EXPECT_STREQ(cells[0].heartRate, "silent");
  EXPECT_STREQ(cells[0].detail, "for 1 min 12 s");
  roster.showReading(0, addr(0).c_str(), 75, 800, 74);
  ASSERT_EQ(classCells(roster, clock.now, cells), 2);
  EXPECT_FALSE(cells[0].silent);
  EXPECT_STREQ(cells[0].heartRate, "75");
}

}  // namespace
}  // namespace kv
