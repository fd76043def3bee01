// The simulated devices: who they are, and readings that move like a person's.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>

#include "tools/dongle-sim/device_model.h"

namespace kv::sim {
namespace {

bool isUpperHex(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(c) || (c >= 'A' && c <= 'F'); });
}

TEST(DeviceModel, PopulationHasUniqueIdentitiesAndAMixOfBrands) {
  SimRandom random(7);
  const auto devices = makeDevices({40, 0.10, 0.50}, random);
  ASSERT_EQ(devices.size(), 40u);
  std::set<std::string> names;
  std::set<std::string> addresses;
  int polar = 0;
  int mirabeat = 0;
  for (const auto& d : devices) {
    names.insert(d.name);
    addresses.insert(d.address);
    EXPECT_LE(d.name.size(), 25u) << d.name;
    EXPECT_EQ(d.address.size(), 12u);
    EXPECT_TRUE(isUpperHex(d.address)) << d.address;
    EXPECT_GE(d.kind, 1);
    EXPECT_LE(d.kind, 3);
    polar += d.name.starts_with("Polar ");
    mirabeat += d.name.starts_with("Mirabeat ");
  }
  EXPECT_EQ(names.size(), 40u);
  EXPECT_EQ(addresses.size(), 40u);
  EXPECT_EQ(polar, 4);
  EXPECT_EQ(mirabeat, 18);
  EXPECT_EQ(40 - polar - mirabeat, 18) << "the rest carry other brands";

  SimRandom few(7);
  const auto five = makeDevices({5, 0.10, 0.50}, few);
  EXPECT_EQ(std::count_if(five.begin(), five.end(), [](const SimDevice& d) { return d.name.starts_with("Polar"); }),
            1)
      << "a few devices still include one the console refuses";
  SimRandom none(7);
  EXPECT_TRUE(makeDevices({0, 0.1, 0.5}, none).empty());
  SimRandom many(7);
  const auto big = makeDevices({1000, 0.1, 0.5}, many);
  std::set<std::string> bigAddresses;
  for (const auto& d : big) bigAddresses.insert(d.address);
  EXPECT_EQ(bigAddresses.size(), 1000u);
}

TEST(DeviceModel, ReadingsMoveLikeAPerson) {
  SimRandom random(11);
  auto devices = makeDevices({40, 0.1, 0.5}, random);
  int reports = 0;
  int unapplied = 0;
  for (auto& d : devices) {
    Reading last = advanceDevice(d, 1.0, 0.05, random);
    int low = last.heartRate;
    int high = last.heartRate;
    for (int second = 1; second < 3600; ++second) {
      const Reading r = advanceDevice(d, 1.0, 0.05, random);
      ASSERT_GE(r.heartRate, kMinHeartRate);
      ASSERT_LE(r.heartRate, kMaxHeartRate);
      ASSERT_LE(std::abs(r.heartRate - last.heartRate), 3) << "no jumps from one second to the next";
      // The last beat began within the last second: its rate then was within
      // 1.5 beats a minute of now, and it varies by 5 % at most.
      const double nominal = 60000.0 / r.heartRate;
      ASSERT_LE(std::abs(r.rrInterval - nominal), nominal * (0.05 + 1.6 / r.heartRate) + 1)
          << int(r.heartRate) << " bpm, RR " << r.rrInterval;
      ASSERT_LE(r.battery, last.battery) << "a battery only drains";
      ASSERT_GE(r.rssi, -100);
      ASSERT_LE(r.rssi, -30);
      if (r.check != 0x80) ++unapplied;
      low = std::min<int>(low, r.heartRate);
      high = std::max<int>(high, r.heartRate);
      ++reports;
      last = r;
    }
    EXPECT_GE(high - low, 15) << d.name << ": an hour's heart rate moves";
  }
  const double share = double(unapplied) / reports;
  EXPECT_GT(share, 0.04);
  EXPECT_LT(share, 0.06);
}

TEST(DeviceModel, ReportsCloserThanABeatRepeatItsInterval) {
  // Five reports a second: a new RR about as often as the heart beats,
  // the same one repeated in between.
  SimRandom random(5);
  auto devices = makeDevices({1, 0, 0}, random);
  SimDevice& d = devices[0];
  d.heartRate = d.target = 70;
  int changes = 0, repeats = 0;
  double beats = 0;
  int last = advanceDevice(d, 0.2, 0, random).rrInterval;
  for (int i = 0; i < 1500; ++i) {
    const Reading r = advanceDevice(d, 0.2, 0, random);
    beats += r.heartRate * 0.2 / 60.0;
    changes += r.rrInterval != last;
    repeats += r.rrInterval == last;
    last = r.rrInterval;
  }
  EXPECT_NEAR(changes, beats, beats * 0.1);
  EXPECT_GT(repeats, 1500 / 5);
}

TEST(DeviceModel, BatteryDrainsSlowlyButVisiblyOverHours) {
  SimRandom random(3);
  auto devices = makeDevices({1, 0, 0}, random);
  SimDevice& d = devices[0];
  d.battery = 80;
  const Reading first = advanceDevice(d, 1.0, 0, random);
  Reading r = first;
  for (int s = 0; s < 60; ++s) r = advanceDevice(d, 1.0, 0, random);
  EXPECT_GE(r.battery, first.battery - 1) << "a minute costs at most a per cent";
  for (int s = 0; s < 4 * 3600; ++s) r = advanceDevice(d, 1.0, 0, random);
  EXPECT_LT(r.battery, first.battery - 4) << "four hours cost several per cent";
}

TEST(DeviceModel, SameSeedGivesTheSameDevicesAndReadings) {
  auto run = [](std::uint64_t seed) {
    SimRandom random(seed);
    auto devices = makeDevices({12, 0.1, 0.5}, random);
    std::vector<std::string> trace;
    for (const auto& d : devices) trace.push_back(d.name + "/" + d.address + "/" + std::to_string(d.kind));
    for (int i = 0; i < 500; ++i) {
      const Reading r = advanceDevice(devices[static_cast<std::size_t>(i) % devices.size()], 1.0, 0.05, random);
      trace.push_back(std::to_string(r.heartRate) + "," + std::to_string(r.rrInterval) + "," +
                      std::to_string(r.battery) + "," + std::to_string(r.rssi) + "," + std::to_string(r.check));
    }
    return trace;
  };
  EXPECT_EQ(run(42), run(42));
  EXPECT_NE(run(42), run(43));
}

}  // namespace
}  // namespace kv::sim
