// Settings of the simulated dongle and the command line that fills them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kv::sim {

// Fraction of frames (0 to 1) that each fault hits. A frame may be hit by
// several faults at once.
struct FaultRates {
  double badSeal = 0;     // the seal byte is corrupted
  double split = 0;       // the frame goes out in several writes with short pauses
  double garbage = 0;     // a run of stray bytes goes out before the frame
  double unknown = 0;     // a sealed frame of a class/opcode the console does not know goes out before it
  double dropByte = 0;    // one byte of the frame is left out
};

struct SimOptions {
  int devices = 12;
  double rateHz = 1.0;                 // reports per second, per device
  std::optional<std::uint64_t> seed;   // none: a fresh one for every run
  double durationSeconds = 0;          // 0: until stopped
  double unplugAfterSeconds = 0;       // 0: never
  std::string linkPath;                // symbolic link to the slave, "" for none
  bool noLink = false;                 // the program: no link in the user's port folder either
  std::string recordPath;              // record of every frame, "" for none

  // What the configuration request is answered with.
  std::string dongleName = "MiraDongle";
  std::string dongleAddress = "D8A01D5C3E71";
  std::uint8_t versionMajor = 0x02;
  std::uint8_t versionMinor = 0x07;

  double polarShare = 0.10;     // devices with "Polar ..." names
  double mirabeatShare = 0.50;  // of the rest, devices with "Mirabeat ..." names
  double unappliedRate = 0.05;  // reports whose check byte is not 0x80
  // Names and addresses given by hand, device number first: any bytes, as
  // a device's owner may choose them (up to 25 and 12 bytes).
  std::vector<std::pair<int, std::string>> deviceNames;
  std::vector<std::pair<int, std::string>> deviceAddresses;

  FaultRates faults;
  bool faultReplies = false;    // the fault rates also hit acks and config data

  // Devices that stop being heard for a while (a strap taken off, a rider
  // out of range), counted from the start of each scan.
  double silenceShare = 0;          // share of the devices (at least one when above 0)
  int silenceDevice = -1;           // or this one device, 0-based; -1: none
  double silenceAfterSeconds = 0;
  double silenceForSeconds = 0;     // 0: for the rest of the run
  // The dongle hangs: from this time on (counted from the pty's opening) it
  // sends nothing and answers no command, while its port stays open.
  std::optional<double> stallAfterSeconds;
  double stallForSeconds = 0;       // 0: for the rest of the run

  // Make the pty the controlling terminal of this process (setsid, then
  // TIOCSCTTY). Only one pty per process can be; the program does it, tests
  // and in-process users normally do not.
  bool claimControllingTerminal = false;
  bool quiet = false;           // the program: no progress lines on stderr
};

inline constexpr int kMaxDevices = 1000;
inline constexpr double kMaxRateHz = 50.0;

enum class ParseOutcome { Run, Help, Version, Error };

// Reads the program's arguments (argv[0] is the program name). On Error,
// *error says what is wrong, naming the option.
ParseOutcome parseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error);

// The --help text.
std::string simUsage(const std::string& programName);

}  // namespace kv::sim
