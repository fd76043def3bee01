// The devices the simulated dongle hears: who they are (name, address,
// kind) and how their readings move from one report to the next.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/dongle-sim/sim_random.h"

namespace kv::sim {

inline constexpr int kMinHeartRate = 60;
inline constexpr int kMaxHeartRate = 180;

struct Reading {
  std::uint8_t heartRate = 0;     // beats per minute
  std::uint16_t rrInterval = 0;   // milliseconds
  std::uint8_t battery = 0;       // percent
  std::int8_t rssi = 0;           // dBm
  std::uint8_t check = 0;         // 0x80: a reading the console applies
};

struct SimDevice {
  std::string name;      // at most 25 characters
  std::string address;   // 12 upper-case hexadecimal digits
  std::uint8_t kind = 1; // 1 to 3

  // The wearer: heart rate drifts towards an effort level that changes now
  // and then; `trend` is its current slope in beats per minute per second.
  double heartRate = 70;
  double trend = 0;
  double target = 70;
  double battery = 100;         // percent, falls by drainPerSecond
  double drainPerSecond = 0;
  int rssiBase = -70;
  // The heart's beats: the interval of the last one, the one under way and
  // how much of it is left. A report carries the last beat's interval, as
  // a strap does, so reports closer together than a beat repeat it.
  double lastBeatMs = 0;   // 0: none yet
  double beatMs = 0;
  double beatLeftMs = 0;
};

struct PopulationPlan {
  int count = 12;
  double polarShare = 0.10;
  double mirabeatShare = 0.50;
};

// Devices with unique names and unique addresses. The number of Polar
// devices is the rounded share, at least one when the share is not 0 and
// there are five devices or more.
std::vector<SimDevice> makeDevices(const PopulationPlan& plan, SimRandom& random);

// Moves the device on by dtSeconds and returns what it reports now. The
// heart rate stays within 60 to 180 and changes by at most 1.5 beats per
// minute per second; the RR interval is that of the last beat, 60000 /
// heart rate when it began within 5 % (so a report that comes before the
// next beat repeats it); the battery never rises. unappliedRate is the share of reports whose check
// byte is not 0x80 (mostly 0x00).
Reading advanceDevice(SimDevice& device, double dtSeconds, double unappliedRate, SimRandom& random);

}  // namespace kv::sim
