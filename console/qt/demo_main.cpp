// koravel-demo: the console with a simulated dongle built in. The simulator
// runs on a pseudo-terminal in this process and its port is added to the
// port list, so the operator picks it like a real port.
//
//   koravel-demo [--autoplay] [--screenshot FILE] [--quit-after SECONDS]
//                [--devices N] [--rate HZ] [--seed N] [--sim-record FILE]
//                [--silence-device N] [--silence-after SECONDS]
//
// With no display it draws offscreen (then only a screenshot shows it).
// SIGTERM, SIGINT and SIGHUP close the window as its close button does.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "console/qt/app_setup.h"
#include "console/qt/console_session.h"
#include "console/qt/demo_autoplay.h"
#include "kv_version.h"
#include "tools/dongle-sim/dongle_sim.h"

namespace {

constexpr const char* kProgram = "koravel-demo";
// Without --quit-after, how long after the moment of the picture the
// program ends; and when that moment is, without --autoplay.
constexpr int kPictureWaitMs = 2000;

struct DemoOptions {
  bool autoplay = false;
  std::string screenshot;
  std::optional<double> quitAfterSeconds;
  kv::sim::SimOptions sim;
};

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: %s [options]\n"
               "The Koravel console with a simulated dongle; pick its port in the list.\n"
               "  --autoplay            play an operator's first minute: pick the port, Start, link tiles\n"
               "  --screenshot FILE     save a picture of the window (PNG) and end; with --autoplay,\n"
               "                        once tiles are linked, otherwise at --quit-after or after 2 s\n"
               "  --quit-after SECONDS  end through File / Exit after SECONDS\n"
               "  --devices N           simulated devices (default 12)\n"
               "  --rate HZ             reports per second per device (default 1)\n"
               "  --seed N              the simulator's seed (default 7: the same devices every run)\n"
               "  --sim-record FILE     the simulator's record of every frame\n"
               "  --silence-device N    device N (from 0) stops being heard: a linked tile\n"
               "                        turns grey 5 s later\n"
               "  --silence-after SECONDS\n"
               "                        when, counted from the start of the scan (default 0)\n"
               "  --help                this text\n"
               "  --version             the version\n"
               "Qt's own options (-platform, -style...) are taken too. With neither DISPLAY\n"
               "nor WAYLAND_DISPLAY set, it draws offscreen. SIGTERM, SIGINT and SIGHUP end\n"
               "it as closing the window does.\n",
               kProgram);
}

bool parseNumber(const char* text, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v >= 0)) return false;
  *out = v;
  return true;
}

// 0: run; 1: error; 2: help or version shown.
int parseOptions(int argc, char** argv, DemoOptions* o) {
  o->sim.seed = 7;
  o->sim.quiet = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a value\n", kProgram, arg.c_str());
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto number = [&](double* out) {
      const char* text = nullptr;
      if (!value(&text)) return false;
      if (!parseNumber(text, out)) {
        std::fprintf(stderr, "%s: %s: not a number: %s\n", kProgram, arg.c_str(), text);
        return false;
      }
      return true;
    };
    const char* text = nullptr;
    double v = 0;
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 2;
    } else if (arg == "--version") {
      std::printf("%s %s\n", kProgram, KV_VERSION);
      return 2;
    } else if (arg == "--autoplay") {
      o->autoplay = true;
    } else if (arg == "--screenshot") {
      if (!value(&text)) return 1;
      o->screenshot = text;
    } else if (arg == "--quit-after") {
      if (!number(&v)) return 1;
      o->quitAfterSeconds = v;
    } else if (arg == "--devices") {
      if (!number(&v)) return 1;
      if (v < 1 || v > 40) {
        std::fprintf(stderr, "%s: --devices: 1 to 40\n", kProgram);
        return 1;
      }
      o->sim.devices = static_cast<int>(v);
    } else if (arg == "--rate") {
      if (!number(&v)) return 1;
      if (v <= 0 || v > kv::sim::kMaxRateHz) {
        std::fprintf(stderr, "%s: --rate: more than 0, at most %g\n", kProgram, kv::sim::kMaxRateHz);
        return 1;
      }
      o->sim.rateHz = v;
    } else if (arg == "--seed") {
      if (!number(&v)) return 1;
      o->sim.seed = static_cast<std::uint64_t>(v);
    } else if (arg == "--sim-record") {
      if (!value(&text)) return 1;
      o->sim.recordPath = text;
    } else if (arg == "--silence-device") {
      if (!number(&v)) return 1;
      if (v != static_cast<int>(v) || v > kv::sim::kMaxDevices) {
        std::fprintf(stderr, "%s: --silence-device: a device number, from 0\n", kProgram);
        return 1;
      }
      o->sim.silenceDevice = static_cast<int>(v);
    } else if (arg == "--silence-after") {
      if (!number(&v)) return 1;
      o->sim.silenceAfterSeconds = v;
    } else if (const int taken = kv::qt::qtOptionArguments(argc, argv, i); taken > 0) {
      i += taken - 1;  // Qt's own, for the QApplication
    } else if (taken < 0) {
      std::fprintf(stderr, "%s: %s needs a value\n", kProgram, arg.c_str());
      return 1;
    } else {
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", kProgram, arg.c_str());
      return 1;
    }
  }
  if (o->sim.silenceDevice >= o->sim.devices) {
    std::fprintf(stderr, "%s: --silence-device: there are only %d devices (numbered from 0)\n", kProgram,
                 o->sim.devices);
    return 1;
  }
  return 0;
}

std::uint64_t commandsReceived(const kv::sim::SimCounters& c) {
  return c.startAdvReceived + c.softResetReceived + c.otherControlReceived + c.configRequestReceived +
         c.unknownReceived + c.badSealReceived;
}

}  // namespace

int main(int argc, char** argv) {
  DemoOptions options;
  switch (parseOptions(argc, argv, &options)) {
    case 0:
      break;
    case 2:
      return 0;
    default:
      return 2;
  }
  kv::qt::StopSignals stopSignals(kProgram);
  const bool offscreen = kv::qt::useOffscreenWithoutDisplay();
  QApplication app(argc, argv);
  kv::qt::setUpApplication(app);
  if (offscreen) std::printf("%s: no display: drawing offscreen\n", kProgram);

  kv::sim::DongleSim sim(options.sim);
  std::string slavePath;
  std::string error;
  if (!sim.openPty(&slavePath, &error)) {
    std::fprintf(stderr, "%s: the simulated dongle could not start: %s\n", kProgram, error.c_str());
    return 1;
  }
  sim.start();

  kv::qt::ConsoleSession session;
  stopSignals.closeOnStop(session.window, [&session] { session.endedBySignal = true; });
  session.view.addPort(slavePath.c_str());
  const int simIndex = session.window.portList()->findText(QString::fromLocal8Bit(slavePath.c_str()));
  std::printf("%s: simulated dongle (%d devices, seed %llu) on %s\n", kProgram, options.sim.devices,
              static_cast<unsigned long long>(sim.seed()), slavePath.c_str());
  if (options.sim.silenceDevice >= 0) {
    const auto devices = sim.deviceList();
    std::printf("%s: device %d (%s) falls silent %g s after the scan starts\n", kProgram, options.sim.silenceDevice,
                devices[static_cast<std::size_t>(options.sim.silenceDevice)].name.c_str(),
                options.sim.silenceAfterSeconds);
  }
  std::fflush(stdout);

  kv::qt::MainWindow& window = session.window;
  int exitCode = 0;
  bool pictureTaken = false;
  auto exitConsole = [&window] {
    if (!window.shutDown()) window.command(kv::id::kExit, 0);
  };
  auto takePicture = [&] {
    if (pictureTaken || options.screenshot.empty()) return;
    pictureTaken = true;
    const QString path = QFileInfo(QString::fromLocal8Bit(options.screenshot.c_str())).absoluteFilePath();
    if (window.grab().save(path, "PNG")) {
      std::printf("%s: screenshot saved to %s\n", kProgram, path.toLocal8Bit().constData());
    } else {
      std::fprintf(stderr, "%s: could not save the screenshot to %s\n", kProgram, path.toLocal8Bit().constData());
      exitCode = 1;
    }
    std::fflush(stdout);
  };

  kv::qt::DemoAutoplay autoplay(window, simIndex);
  if (options.autoplay) {
    QObject::connect(&autoplay, &kv::qt::DemoAutoplay::step, [](const QString& what) {
      std::printf("%s: autoplay: %s\n", kProgram, what.toLocal8Bit().constData());
      std::fflush(stdout);
    });
    QTimer::singleShot(0, &autoplay, &kv::qt::DemoAutoplay::start);
  }

  if (options.quitAfterSeconds) {
    QTimer::singleShot(static_cast<int>(*options.quitAfterSeconds * 1000), &window, [&] {
      takePicture();
      exitConsole();
    });
  } else if (!options.screenshot.empty()) {
    auto pictureThenExit = [&] {
      takePicture();
      QTimer::singleShot(0, &window, exitConsole);
    };
    if (options.autoplay) {
      QObject::connect(&autoplay, &kv::qt::DemoAutoplay::ready, &window, pictureThenExit);
    } else {
      QTimer::singleShot(kPictureWaitMs, &window, pictureThenExit);
    }
  }

  const int sessionCode = session.exec();
  if (sessionCode != 0) std::fprintf(stderr, "%s: could not start: the link's writer thread did not start\n", kProgram);

  // Let the simulator read the last command (the soft reset at shutdown)
  // before it stops.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (commandsReceived(sim.counters()) < session.core.link.commandsWritten() &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  sim.stop();
  return exitCode != 0 ? exitCode : sessionCode;
}
