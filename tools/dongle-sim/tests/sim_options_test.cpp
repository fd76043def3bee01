// The command line: every option reaches its setting, in both spellings, and
// a bad one is refused with a message that names it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/dongle-sim/sim_options.h"

namespace kv::sim {
namespace {

ParseOutcome parse(std::vector<const char*> args, SimOptions* options, std::string* error) {
  args.insert(args.begin(), "koravel-dongle-sim");
  return parseSimOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(SimOptions, EveryOptionReachesItsSetting) {
  SimOptions o;
  std::string error;
  ASSERT_EQ(parse({}, &o, &error), ParseOutcome::Run);
  EXPECT_EQ(o.devices, 12);
  EXPECT_EQ(o.rateHz, 1.0);
  EXPECT_FALSE(o.seed.has_value());

  ASSERT_EQ(parse({"--devices", "45", "--rate=2.5", "--seed", "18446744073709551615", "--duration", "30",
                   "--unplug-after=12.5", "--link", "com5", "--record=run.rec", "--name", "Bench 1",
                   "--address", "0a1b2c3d4e5f", "--fw-version", "3.1a", "--polar-share", "0.2",
                   "--mirabeat-share=0.75", "--unapplied-rate", "0", "--fault-bad-seal", "0.05", "--fault-split=1",
                   "--fault-garbage", "0.1", "--fault-unknown", "0.01", "--fault-drop-byte", "0.02",
                   "--fault-replies", "--quiet"},
                  &o, &error),
            ParseOutcome::Run)
      << error;
  EXPECT_EQ(o.devices, 45);
  EXPECT_EQ(o.rateHz, 2.5);
  EXPECT_EQ(o.seed, 18446744073709551615ULL);
  EXPECT_EQ(o.durationSeconds, 30);
  EXPECT_EQ(o.unplugAfterSeconds, 12.5);
  EXPECT_EQ(o.linkPath, "com5");
  EXPECT_EQ(o.recordPath, "run.rec");
  EXPECT_EQ(o.dongleName, "Bench 1");
  EXPECT_EQ(o.dongleAddress, "0A1B2C3D4E5F") << "kept in upper case, as the dongle sends it";
  EXPECT_EQ(o.versionMajor, 0x3);
  EXPECT_EQ(o.versionMinor, 0x1A);
  EXPECT_EQ(o.polarShare, 0.2);
  EXPECT_EQ(o.mirabeatShare, 0.75);
  EXPECT_EQ(o.unappliedRate, 0);
  EXPECT_EQ(o.faults.badSeal, 0.05);
  EXPECT_EQ(o.faults.split, 1);
  EXPECT_EQ(o.faults.garbage, 0.1);
  EXPECT_EQ(o.faults.unknown, 0.01);
  EXPECT_EQ(o.faults.dropByte, 0.02);
  EXPECT_TRUE(o.faultReplies);
  EXPECT_TRUE(o.quiet);
  EXPECT_FALSE(o.claimControllingTerminal) << "the program sets that itself";

  SimOptions q;
  ASSERT_EQ(parse({"--silence-share", "0.25", "--silence-device=3", "--silence-after", "0", "--silence-for", "7.5",
                   "--stall-after", "0", "--stall-for=2"},
                  &q, &error),
            ParseOutcome::Run)
      << error;
  EXPECT_EQ(q.silenceShare, 0.25);
  EXPECT_EQ(q.silenceDevice, 3);
  EXPECT_EQ(q.silenceAfterSeconds, 0);
  EXPECT_EQ(q.silenceForSeconds, 7.5);
  EXPECT_EQ(q.stallAfterSeconds, 0.0) << "a stall from the start is a stall";
  EXPECT_EQ(q.stallForSeconds, 2);
  EXPECT_FALSE(SimOptions{}.stallAfterSeconds.has_value());

  SimOptions h;
  EXPECT_EQ(parse({"--devices", "3", "--help"}, &h, &error), ParseOutcome::Help);
  EXPECT_EQ(parse({"-h"}, &h, &error), ParseOutcome::Help);
  EXPECT_EQ(parse({"--version"}, &h, &error), ParseOutcome::Version);
  EXPECT_EQ(parse({"--version", "--help"}, &h, &error), ParseOutcome::Help);
}

TEST(SimOptions, BadOptionsAreRefusedNamingWhatIsWrong) {
  const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
      {{"--rate", "fast"}, "--rate: 'fast' is not a number"},
      {{"--rate", "0"}, "--rate"},
      {{"--rate", "51"}, "--rate"},
      {{"--rate", "nan"}, "--rate"},
      {{"--devices", "-3"}, "--devices: '-3' is not a whole number"},
      {{"--devices", "1001"}, "--devices"},
      {{"--devices", "4x"}, "--devices"},
      {{"--seed", "x"}, "--seed"},
      {{"--duration", "-1"}, "--duration"},
      {{"--unplug-after", "0"}, "--unplug-after"},
      {{"--duration", "1", "--unplug-after", "2"}, "--unplug-after"},
      {{"--fault-split", "1.5"}, "--fault-split: '1.5' is not a fraction between 0 and 1"},
      {{"--fault-bad-seal", "-0.1"}, "--fault-bad-seal"},
      {{"--polar-share", "lots"}, "--polar-share"},
      {{"--address", "12345"}, "--address: '12345' is not 12 hexadecimal digits"},
      {{"--address", "0123456789AG"}, "--address"},
      {{"--name", "ThirteenChars"}, "--name: 'ThirteenChars' must have 1 to 12 characters"},
      {{"--name", ""}, "--name"},
      {{"--name", "tab\there"}, "--name"},
      {{"--fw-version", "2"}, "--fw-version"},
      {{"--fw-version", "2.123"}, "--fw-version"},
      {{"--fw-version", "g.1"}, "--fw-version"},
      {{"--link", ""}, "--link"},
      {{"--silence-device", "12"}, "--silence-device: there are only 12 devices"},
      {{"--silence-after", "-1"}, "--silence-after"},
      {{"--silence-for", "0"}, "--silence-for"},
      {{"--stall-after", "soon"}, "--stall-after"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--rate"}, "--rate needs a value"},
      {{"--quiet=1"}, "--quiet takes no value"},
      {{"extra"}, "unexpected argument 'extra'"},
  };
  for (const auto& [args, expected] : cases) {
    SimOptions o;
    std::string error;
    EXPECT_EQ(parse(args, &o, &error), ParseOutcome::Error) << args[0];
    EXPECT_NE(error.find(expected), std::string::npos) << "got: " << error;
  }
}

}  // namespace
}  // namespace kv::sim
