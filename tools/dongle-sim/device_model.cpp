#include "tools/dongle-sim/device_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace kv::sim {

namespace {

enum class Brand { Mirabeat, Polar, Other };

// Names as the devices advertise them: a pattern with one number, and the
// bound that keeps the number to the pattern's digits.
struct NamePattern {
  const char* format;
  unsigned bound;
};
constexpr NamePattern kMirabeatNames[] = {
    {"Mirabeat HR-7 %04u", 10000}, {"Mirabeat HR-5 %04u", 10000}, {"Mirabeat Pulse %04u", 10000},
    {"Mirabeat Band %03u", 1000}};
constexpr NamePattern kOtherNames[] = {
    {"Coros HRM %04u", 10000},  {"Wahoo TICKR %02u", 100},       {"TICKR X %04X", 0x10000},
    {"HRM-Pro:%06u", 1000000},  {"Suunto Smart Sensor %03u", 1000}, {"Magene H64 %04u", 10000},
    {"Zwift HR %04u", 10000},   {"Scosche R24 %05u", 100000},    {"Decathlon HRM %03u", 1000}};
constexpr NamePattern kPolarNames[] = {
    {"Polar H10 %08X", 0}, {"Polar H9 %08X", 0}, {"Polar OH1 %08X", 0}, {"Polar Verity %08X", 0}};

template <std::size_t N>
std::string pickName(const NamePattern (&patterns)[N], SimRandom& random) {
  const NamePattern& pattern = patterns[random.between(0, N - 1)];
  auto number = static_cast<unsigned>(random.bits() & 0xFFFFFFFF);
  if (pattern.bound != 0) number %= pattern.bound;
  char text[40];
  std::snprintf(text, sizeof text, pattern.format, number);
  return text;
}

std::string hexAddress(std::uint64_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out(12, '0');
  for (int i = 11; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = digits[value & 0xF];
    value >>= 4;
  }
  return out;
}

// Polar devices carry Polar's company prefix, Mirabeat devices their maker's;
// the rest use random static addresses (top two bits set).
std::string makeAddress(Brand brand, SimRandom& random) {
  const std::uint64_t low = random.bits() & 0xFFFFFF;
  switch (brand) {
    case Brand::Polar: return hexAddress(0xA09E1AULL << 24 | low);
    case Brand::Mirabeat: return hexAddress(0xD0C5F3ULL << 24 | low);
    case Brand::Other: break;
  }
  return hexAddress((random.bits() & 0xFFFFFFFFFFFFULL) | 0xC00000000000ULL);
}

int roundShare(int count, double share) { return static_cast<int>(std::lround(count * share)); }

}  // namespace

std::vector<SimDevice> makeDevices(const PopulationPlan& plan, SimRandom& random) {
  const int count = std::max(plan.count, 0);
  int polar = roundShare(count, plan.polarShare);
  if (polar == 0 && plan.polarShare > 0 && count >= 5) polar = 1;
  const int mirabeat = roundShare(count - polar, plan.mirabeatShare);

  std::vector<Brand> brands;
  for (int i = 0; i < count; ++i)
    brands.push_back(i < polar ? Brand::Polar : i < polar + mirabeat ? Brand::Mirabeat : Brand::Other);
  for (int i = count - 1; i > 0; --i) std::swap(brands[static_cast<std::size_t>(i)], brands[static_cast<std::size_t>(random.between(0, i))]);

  std::set<std::string> names;
  std::set<std::string> addresses;
  std::vector<SimDevice> devices;
  for (Brand brand : brands) {
    SimDevice d;
    do {
      d.name = brand == Brand::Mirabeat ? pickName(kMirabeatNames, random)
               : brand == Brand::Polar  ? pickName(kPolarNames, random)
                                        : pickName(kOtherNames, random);
    } while (!names.insert(d.name).second);
    do {
      d.address = makeAddress(brand, random);
    } while (!addresses.insert(d.address).second);
    d.kind = static_cast<std::uint8_t>(random.between(1, 3));
    d.heartRate = random.uniform(65, 140);
    d.target = std::clamp(d.heartRate + random.uniform(-15, 25), 65.0, 175.0);
    d.battery = random.chance(0.1) ? random.uniform(5, 30) : random.uniform(30, 100);
    d.drainPerSecond = random.uniform(1.5, 6.0) / 3600.0;  // 1.5 to 6 % an hour
    d.rssiBase = static_cast<int>(random.between(-88, -50));
    devices.push_back(std::move(d));
  }
  return devices;
}

Reading advanceDevice(SimDevice& d, double dt, double unappliedRate, SimRandom& random) {
  constexpr double kMaxTrend = 1.5;  // beats per minute per second
  if (random.chance(dt / 40.0)) d.target = random.uniform(65, 175);  // the wearer changes effort
  d.trend = d.trend * std::exp(-0.6 * dt) + 0.04 * (d.target - d.heartRate) * dt +
            0.35 * random.gaussian() * std::sqrt(dt);
  d.trend = std::clamp(d.trend, -kMaxTrend, kMaxTrend);
  d.heartRate += d.trend * dt;
  if (d.heartRate <= kMinHeartRate || d.heartRate >= kMaxHeartRate) {
    d.heartRate = std::clamp(d.heartRate, double{kMinHeartRate}, double{kMaxHeartRate});
    d.trend = 0;
  }

  Reading r;
  r.heartRate = static_cast<std::uint8_t>(std::lround(d.heartRate));
  // The beats since the last report; each lasts 60000 / heart rate as it
  // begins, with a beat-to-beat variation of a few per cent.
  auto beatLength = [&] {
    const double variation = std::clamp(0.015 * random.gaussian(), -0.05, 0.05);
    return 60000.0 / d.heartRate * (1.0 + variation);
  };
  if (d.beatMs <= 0) {
    d.lastBeatMs = beatLength();
    d.beatMs = beatLength();
    d.beatLeftMs = d.beatMs * random.uniform(0, 1);
  }
  d.beatLeftMs -= dt * 1000.0;
  while (d.beatLeftMs <= 0) {
    d.lastBeatMs = d.beatMs;
    d.beatMs = beatLength();
    d.beatLeftMs += d.beatMs;
  }
  r.rrInterval = static_cast<std::uint16_t>(std::lround(d.lastBeatMs));

  d.battery = std::max(0.0, d.battery - d.drainPerSecond * dt);
  r.battery = static_cast<std::uint8_t>(std::floor(d.battery));

  const long rssi = d.rssiBase + std::lround(3.0 * random.gaussian());
  r.rssi = static_cast<std::int8_t>(std::clamp(rssi, -100L, -30L));

  r.check = 0x80;
  if (random.chance(unappliedRate)) {
    static constexpr std::uint8_t kOthers[] = {0x01, 0x40, 0x81};
    r.check = random.chance(0.8) ? 0x00 : kOthers[random.between(0, 2)];
  }
  return r;
}

}  // namespace kv::sim
