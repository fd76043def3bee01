#include "tools/dongle-sim/sim_options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <string_view>
#include <vector>

namespace kv::sim {

namespace {

bool parseDouble(std::string_view text, double* out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && ptr == end && std::isfinite(*out);
}

bool parseUnsigned(std::string_view text, std::uint64_t* out) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && ptr == end;
}

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One or two hexadecimal digits.
bool parseHexByte(std::string_view text, std::uint8_t* out) {
  if (text.empty() || text.size() > 2) return false;
  unsigned value = 0;
  for (char c : text) {
    if (!isHexDigit(c)) return false;
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  *out = static_cast<std::uint8_t>(value);
  return true;
}

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// Each option: its name, whether it takes a value, and what it does with it.
// The handler returns "" when the value is good, else what is wrong with it.
struct OptionRule {
  std::string_view name;
  bool takesValue;
  std::function<std::string(std::string_view)> apply;
};

std::function<std::string(std::string_view)> fraction(double* target) {
  return [target](std::string_view v) -> std::string {
    double x = 0;
    if (!parseDouble(v, &x)) return quoted(v) + " is not a number";
    if (x < 0 || x > 1) return quoted(v) + " is not a fraction between 0 and 1";
    *target = x;
    return "";
  };
}

std::function<std::string(std::string_view)> seconds(double* target) {
  return [target](std::string_view v) -> std::string {
    double x = 0;
    if (!parseDouble(v, &x)) return quoted(v) + " is not a number of seconds";
    if (x <= 0) return quoted(v) + " must be more than 0 seconds";
    *target = x;
    return "";
  };
}

std::function<std::string(std::string_view)> secondsFromZero(double* target) {
  return [target](std::string_view v) -> std::string {
    double x = 0;
    if (!parseDouble(v, &x)) return quoted(v) + " is not a number of seconds";
    if (x < 0) return quoted(v) + " is less than 0 seconds";
    *target = x;
    return "";
  };
}

std::function<std::string(std::string_view)> path(std::string* target) {
  return [target](std::string_view v) -> std::string {
    if (v.empty()) return "the path is empty";
    *target = std::string(v);
    return "";
  };
}

// "N=TEXT": device N's name or address, any bytes up to `width`.
std::function<std::string(std::string_view)> deviceText(std::vector<std::pair<int, std::string>>* into,
                                                        std::size_t width) {
  return [into, width](std::string_view v) -> std::string {
    const auto eq = v.find('=');
    std::uint64_t n = 0;
    if (eq == std::string_view::npos || !parseUnsigned(v.substr(0, eq), &n) ||
        n >= static_cast<std::uint64_t>(kMaxDevices))
      return quoted(v) + " is not N=TEXT with a device number N from 0 to " + std::to_string(kMaxDevices - 1);
    const std::string_view text = v.substr(eq + 1);
    if (text.empty() || text.size() > width)
      return "the text must be 1 to " + std::to_string(width) + " bytes";
    into->emplace_back(static_cast<int>(n), std::string(text));
    return "";
  };
}

}  // namespace


ParseOutcome parseSimOptions(int argc, const char* const* argv, SimOptions* options, std::string* error) {
  SimOptions& o = *options;
  bool help = false;
  bool version = false;
  const std::vector<OptionRule> rules = {
      {"--help", false, [&](std::string_view) { help = true; return std::string(); }},
      {"-h", false, [&](std::string_view) { help = true; return std::string(); }},
      {"--version", false, [&](std::string_view) { version = true; return std::string(); }},
      {"--devices", true,
       [&](std::string_view v) -> std::string {
         std::uint64_t n = 0;
         if (!parseUnsigned(v, &n)) return quoted(v) + " is not a whole number";
         if (n > static_cast<std::uint64_t>(kMaxDevices))
           return quoted(v) + " is more than " + std::to_string(kMaxDevices) + " devices";
         o.devices = static_cast<int>(n);
         return "";
       }},
      {"--rate", true,
       [&](std::string_view v) -> std::string {
         double x = 0;
         if (!parseDouble(v, &x)) return quoted(v) + " is not a number of reports per second";
         if (x <= 0 || x > kMaxRateHz)
           return quoted(v) + " is outside 0 (exclusive) to " + std::to_string(static_cast<int>(kMaxRateHz)) + " Hz";
         o.rateHz = x;
         return "";
       }},
      {"--seed", true,
       [&](std::string_view v) -> std::string {
         std::uint64_t n = 0;
         if (!parseUnsigned(v, &n)) return quoted(v) + " is not a whole number from 0 to 2^64-1";
         o.seed = n;
         return "";
       }},
      {"--duration", true, seconds(&o.durationSeconds)},
      {"--unplug-after", true, seconds(&o.unplugAfterSeconds)},
      {"--link", true, path(&o.linkPath)},
      {"--no-link", false, [&](std::string_view) { o.noLink = true; return std::string(); }},
      {"--record", true, path(&o.recordPath)},
      {"--name", true,
       [&](std::string_view v) -> std::string {
         if (v.empty() || v.size() > 12) return quoted(v) + " must have 1 to 12 characters";
         for (char c : v)
           if (c < 0x20 || c > 0x7E) return quoted(v) + " may hold only printable ASCII characters";
         o.dongleName = std::string(v);
         return "";
       }},
      {"--address", true,
       [&](std::string_view v) -> std::string {
         if (v.size() != 12) return quoted(v) + " is not 12 hexadecimal digits";
         std::string upper;
         for (char c : v) {
           if (!isHexDigit(c)) return quoted(v) + " is not 12 hexadecimal digits";
           upper += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
         }
         o.dongleAddress = upper;
         return "";
       }},
      {"--fw-version", true,
       [&](std::string_view v) -> std::string {
         const auto dot = v.find('.');
         if (dot == std::string_view::npos || !parseHexByte(v.substr(0, dot), &o.versionMajor) ||
             !parseHexByte(v.substr(dot + 1), &o.versionMinor))
           return quoted(v) + " is not MAJOR.MINOR in hexadecimal (e.g. 2.07)";
         return "";
       }},
      {"--polar-share", true, fraction(&o.polarShare)},
      {"--mirabeat-share", true, fraction(&o.mirabeatShare)},
      {"--unapplied-rate", true, fraction(&o.unappliedRate)},
      {"--fault-bad-seal", true, fraction(&o.faults.badSeal)},
      {"--fault-split", true, fraction(&o.faults.split)},
      {"--fault-garbage", true, fraction(&o.faults.garbage)},
      {"--fault-unknown", true, fraction(&o.faults.unknown)},
      {"--fault-drop-byte", true, fraction(&o.faults.dropByte)},
      {"--fault-replies", false, [&](std::string_view) { o.faultReplies = true; return std::string(); }},
      {"--silence-share", true, fraction(&o.silenceShare)},
      {"--silence-device", true,
       [&](std::string_view v) -> std::string {
         std::uint64_t n = 0;
         if (!parseUnsigned(v, &n) || n >= static_cast<std::uint64_t>(kMaxDevices))
           return quoted(v) + " is not a device number from 0 to " + std::to_string(kMaxDevices - 1);
         o.silenceDevice = static_cast<int>(n);
         return "";
       }},
      {"--silence-after", true, secondsFromZero(&o.silenceAfterSeconds)},
      {"--silence-for", true, seconds(&o.silenceForSeconds)},
      {"--stall-after", true,
       [&](std::string_view v) -> std::string {
         double x = 0;
         const std::string problem = secondsFromZero(&x)(v);
         if (problem.empty()) o.stallAfterSeconds = x;
         return problem;
       }},
      {"--stall-for", true, seconds(&o.stallForSeconds)},
      {"--device-name", true, deviceText(&o.deviceNames, 25)},
      {"--device-address", true, deviceText(&o.deviceAddresses, 12)},
      {"--quiet", false, [&](std::string_view) { o.quiet = true; return std::string(); }},
  };

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view name = arg;
    std::optional<std::string_view> inlineValue;
    if (arg.starts_with("--")) {
      const auto eq = arg.find('=');
      if (eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        inlineValue = arg.substr(eq + 1);
      }
    }
    const OptionRule* rule = nullptr;
    for (const auto& r : rules)
      if (r.name == name) rule = &r;
    if (rule == nullptr) {
      *error = arg.starts_with("-") ? "unknown option " + quoted(name)
                                    : "unexpected argument " + quoted(arg) + " (every setting is an option)";
      return ParseOutcome::Error;
    }
    std::string_view value;
    if (rule->takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        *error = std::string(name) + " needs a value";
        return ParseOutcome::Error;
      }
    } else if (inlineValue) {
      *error = std::string(name) + " takes no value";
      return ParseOutcome::Error;
    }
    const std::string problem = rule->apply(value);
    if (!problem.empty()) {
      *error = std::string(name) + ": " + problem;
      return ParseOutcome::Error;
    }
  }
  if (o.noLink && !o.linkPath.empty()) {
    *error = "--no-link: and --link? Give one of them";
    return ParseOutcome::Error;
  }
  for (const auto* given : {&o.deviceNames, &o.deviceAddresses}) {
    for (const auto& [device, text] : *given) {
      if (device >= o.devices) {
        *error = "--device-name/--device-address: there are only " + std::to_string(o.devices) +
                 " devices (numbered from 0)";
        return ParseOutcome::Error;
      }
    }
  }
  if (o.silenceDevice >= o.devices) {
    *error = "--silence-device: there are only " + std::to_string(o.devices) + " devices (numbered from 0)";
    return ParseOutcome::Error;
  }
  if (o.durationSeconds > 0 && o.unplugAfterSeconds > o.durationSeconds) {
    *error = "--unplug-after: the run ends (--duration) before the unplug";
    return ParseOutcome::Error;
  }
  if (help) return ParseOutcome::Help;
  return version ? ParseOutcome::Version : ParseOutcome::Run;
}

std::string simUsage(const std::string& programName) {
  return "Usage: " + programName + R"( [OPTIONS]

A simulated heart-rate dongle on a pseudo-terminal, for trying and testing the
Koravel console without the radio hardware. It opens a pseudo-terminal pair,
prints the path of its slave side (e.g. /dev/pts/7) as the first line of its
standard output, and answers on it like the dongle at 115200 baud: it acks
soft reset and start ADV, answers the configuration request, and while
scanning sends each device's reading as a register device data frame. Writes
are paced to what a 115200 8N1 line carries (11,520 bytes/s).

Run:
  --devices N          devices in range (default 12, at most 1000)
  --rate HZ            reports per second per device (default 1, at most 50)
  --seed N             repeat a run: same devices, readings and faults
                       (default: a fresh seed, shown on standard error)
  --duration SECONDS   end the run after this long (exit 0)
  --unplug-after SECONDS
                       close the pseudo-terminal as an unplugged dongle would,
                       then exit 0
  --link PATH          also make PATH a symbolic link to the slave (e.g. a
                       Wine prefix's dosdevices/com5); an existing link is
                       replaced; removed at exit. Without --link the link is
                       dongle-sim-PID in your own port folder,
                       $XDG_RUNTIME_DIR/koravel (else /tmp/koravel-UID),
                       which the console lists: no root or dialout needed
  --no-link            no link at all
  --record FILE        write a record of every frame sent and received
  --quiet              no progress lines on standard error
  -h, --help           this text
  --version            the version

Dongle (answer to the configuration request):
  --name TEXT          1 to 12 printable characters (default MiraDongle)
  --address HEX        12 hexadecimal digits (default D8A01D5C3E71)
  --fw-version MAJ.MIN hexadecimal, as the console shows it (default 2.07)

Devices:
  --polar-share F      fraction named "Polar ..." (the console refuses those;
                       default 0.1)
  --mirabeat-share F   fraction of the others named "Mirabeat ..." (default
                       0.5); the rest carry other brands' names
  --unapplied-rate F   fraction of reports whose check byte is not 0x80
                       (mostly 0x00; default 0.05)
  --device-name N=TEXT device N (0-based) advertises TEXT as its name: any
                       bytes, 1 to 25 (a name as hostile as an owner may
                       choose: control characters, formulas, UTF-8 or not)
  --device-address N=TEXT
                       device N's address, 1 to 12 bytes, as freely

Faults (F is the fraction of device reports hit, 0 to 1, default 0):
  --fault-bad-seal F   corrupt the frame's seal
  --fault-split F      send the frame in several writes with pauses of 1-12 ms
  --fault-garbage F    send 1-16 stray bytes before the frame (never 'M', so
                       they cannot open a frame by themselves)
  --fault-unknown F    send a sealed frame of an unknown class/opcode before it
  --fault-drop-byte F  leave one byte of the frame out
  --fault-replies      the same faults also hit acks and config data

Silence and stalls (SECONDS may be fractions):
  --silence-share F    a share of the devices (at least one when F > 0) stops
                       being heard: no report of theirs goes out
  --silence-device N   or the one device N (0-based, as in the record)
  --silence-after SECONDS
                       when, counted from the start of each scan (default 0)
  --silence-for SECONDS
                       for how long; then they are heard again (default: to
                       the end of the run)
  --stall-after SECONDS
                       the dongle hangs this long after the pseudo-terminal
                       opened: it sends nothing and answers no command, while
                       its port stays open
  --stall-for SECONDS  for how long; then it carries on, still scanning if it
                       was (default: to the end of the run)

Record format (--record): one line per frame, fields separated by spaces:
  t_ms=1234.567 dir=tx kind=report fault=none intact=1 dev=3 len=55 hex=4D4244...
  t_ms      milliseconds since the pseudo-terminal was opened; for tx, the
            time the frame's last byte was written
  dir       tx (sent by the dongle) or rx (received from the console)
  kind      tx: ack, config, report, unknown (injected frame), garbage
            rx: start-adv, soft-reset, control (other mode), config-request,
                unknown (well sealed, not understood), bad-seal, garbage
  fault     none, or the faults applied, joined by commas: bad-seal,
            drop-byte, split, injected (garbage and unknown frames);
            for rx, bad-seal or garbage when the bytes were not a good frame
  intact    1 when the bytes on the line are the whole frame with a good
            seal (a split frame is intact), else 0
  dev       only on reports: the device's index (0-based)
  len, hex  the bytes as they went over the line, in upper-case hexadecimal
Lines that begin with '#' are comments: the run's settings at the top, and
events (open, scan start/stop, overrun when the console leaves more than
3.5 KB unread, silence/heard dev=N, stall/recover, unplug, end).

Exit status: 0 at the end of the run (--duration, --unplug-after, SIGINT or
SIGTERM), 1 when the pseudo-terminal or the link cannot be set up, 2 for bad
options.
)";
}

}  // namespace kv::sim
