// koravel: the operator console. It reads no configuration: the operator
// picks the dongle's port in the window. --help and --version answer, and
// anything else but Qt's own options is refused, before any window opens.
// SIGTERM, SIGINT and SIGHUP close the window as its close button does.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "console/qt/app_setup.h"
#include "console/qt/console_session.h"
#include "kv_version.h"

namespace {

constexpr const char* kProgram = "koravel";

constexpr const char* kUsage =
    "usage: koravel [--help | --version]\n"
    "The operator console of the Koravel group heart-rate monitoring kit.\n"
    "\n"
    "It talks to the kit's radio dongle over a serial port (115200 8N1) and\n"
    "reads no configuration: pick the dongle's port in the window's list\n"
    "(/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*, and your own port folder,\n"
    "$XDG_RUNTIME_DIR/koravel). Opening a serial device needs the dialout\n"
    "group. It needs a display (X11 or Wayland).\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n"
    "Qt's own options (-platform, -style...) are taken too.\n"
    "\n"
    "SIGTERM, SIGINT and SIGHUP end it as closing the window does (the\n"
    "dongle is reset first). See koravel(1).\n";

}  // namespace

int main(int argc, char** argv) {
  // Everything on the command line is looked at before Qt opens the
  // display: a wrong option is said as such, also where there is none.
  for (int i = 1; i < argc;) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("%s %s\n", kProgram, KV_VERSION);
      return 0;
    }
    const int taken = kv::qt::qtOptionArguments(argc, argv, i);
    if (taken < 0) {
      std::fprintf(stderr, "%s: option %s needs a value (see --help)\n", kProgram, argv[i]);
      return 2;
    }
    if (taken == 0) {
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", kProgram, argv[i]);
      return 2;
    }
    i += taken;
  }
  kv::qt::StopSignals stopSignals(kProgram);
  const auto app = kv::qt::openApplicationOrExit(argc, argv, kProgram);
  // Qt has taken its own options (-platform and the like) out of argv; one
  // that this Qt does not know after all is left.
  if (argc > 1) {
    std::fprintf(stderr, "%s: unknown option %s (see --help)\n", kProgram, argv[1]);
    return 2;
  }
  kv::qt::setUpApplication(*app);
  kv::qt::ConsoleSession session;
  stopSignals.closeOnStop(session.window, [&session] { session.endedBySignal = true; });
  const int status = session.exec();
  kv::writeStatsIfAsked(session.core, kProgram);
  // Start-up fails only when the link's writer thread cannot be started.
  if (status != 0) std::fputs("koravel: could not start: the link's writer thread did not start\n", stderr);
  return status;
}
