#include "console/qt/app_setup.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QStyleFactory>
#include <QWidget>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kv_version.h"

namespace kv::qt {

namespace {

// Qt's options and whether each takes a value. QGuiApplication and
// QApplication take most; the xcb platform -display, -name, -sync, -visual
// and the like; the Windows platform -fontengine and -dpiawareness.
struct QtOption {
  const char* name;
  bool value;
  bool valueAfterEquals;  // also "-name=value"
};
constexpr QtOption kQtOptions[] = {
    {"platform", true, false},     {"platformpluginpath", true, false}, {"platformtheme", true, false},
    {"plugin", true, false},       {"qwindowgeometry", true, false},    {"geometry", true, false},
    {"qwindowicon", true, false},  {"icon", true, false},               {"qwindowtitle", true, false},
    {"title", true, false},        {"session", true, false},            {"style", true, true},
    {"stylesheet", true, true},    {"display", true, false},            {"name", true, false},
    {"visual", true, false},       {"ncols", true, false},              {"fontengine", true, false},
    {"dpiawareness", true, false}, {"qmljsdebugger", true, true},       {"reverse", false, false},
    {"widgetcount", false, false}, {"nograb", false, false},            {"dograb", false, false},
    {"sync", false, false},        {"cmap", false, false},              {"testability", false, false},
    {"qdevel", false, false},      {"qdebug", false, false},
};

}  // namespace

int qtOptionArguments(int argc, char** argv, int at) {
  const char* arg = argv[at];
  if (arg[0] != '-') return 0;
  arg += arg[1] == '-' ? 2 : 1;
  for (const QtOption& o : kQtOptions) {
    const std::size_t len = std::strlen(o.name);
    if (std::strncmp(arg, o.name, len) != 0) continue;
    if (arg[len] == '\0') {
      if (!o.value) return 1;
      return at + 1 < argc ? 2 : -1;
    }
    if (arg[len] == '=' && o.valueAfterEquals) return 1;
  }
  return 0;
}

bool useOffscreenWithoutDisplay() {
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0';
  };
  if (set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM")) return false;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  return true;
}

namespace {

struct HeldMessage {
  QtMsgType type;
  const char* category;
  QString text;
};

const char* g_program = "";
std::vector<HeldMessage>* g_held = nullptr;

const char* variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

void holdUntilDisplayOpen(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    g_held->push_back({type, context.category, text});
    return;
  }
  // Qt found no platform to draw on.
  const char* platform = variable("QT_QPA_PLATFORM");
  const char* x11 = variable("DISPLAY");
  const char* wayland = variable("WAYLAND_DISPLAY");
  if (platform != nullptr)
    std::fprintf(stderr, "%s: needs a display, and cannot open one with QT_QPA_PLATFORM=%s\n", g_program, platform);
  else if (x11 != nullptr || wayland != nullptr)
    std::fprintf(stderr, "%s: needs a display, and cannot open %s=%s\n", g_program,
                 x11 != nullptr ? "DISPLAY" : "WAYLAND_DISPLAY", x11 != nullptr ? x11 : wayland);
  else
    std::fprintf(stderr, "%s: needs a display (X11 or Wayland), and neither DISPLAY nor WAYLAND_DISPLAY is set\n",
                 g_program);
  std::fflush(stderr);
  std::_Exit(1);
}

}  // namespace

std::unique_ptr<QApplication> openApplicationOrExit(int& argc, char** argv, const char* program) {
  std::vector<HeldMessage> held;
  g_program = program;
  g_held = &held;
  const QtMessageHandler previous = qInstallMessageHandler(holdUntilDisplayOpen);
  auto app = std::make_unique<QApplication>(argc, argv);
  qInstallMessageHandler(previous);
  g_held = nullptr;
  for (const HeldMessage& m : held) qt_message_output(m.type, QMessageLogContext(nullptr, 0, nullptr, m.category), m.text);
  return app;
}

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
struct sigaction g_previous[3];
// The pair's end the handler writes to; -1 while there is none.
std::atomic<int> g_stopWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

extern "C" void writeStopSignal(int sig) {
  const int fd = g_stopWriteFd.load();
  if (fd < 0) return;
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(sig);
  // Non-blocking: a full pair already holds a stop.
  [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

StopSignals::StopSignals(const char* program) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds_) != 0) {
    fds_[0] = fds_[1] = -1;
    std::fprintf(stderr, "%s: stop signals will end it without the shutdown: %s\n", program, std::strerror(errno));
    return;
  }
  g_stopWriteFd = fds_[0];
  struct sigaction sa {};
  sa.sa_handler = writeStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &sa, &g_previous[i]);
}

StopSignals::~StopSignals() {
  if (fds_[0] < 0) return;
  for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
  g_stopWriteFd = -1;
  delete notifier_.data();
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void StopSignals::closeOnStop(QWidget& window, std::function<void()> first) {
  if (fds_[1] < 0 || notifier_ != nullptr) return;
  notifier_ = new QSocketNotifier(fds_[1], QSocketNotifier::Read, &window);
  const int readFd = fds_[1];
  QObject::connect(notifier_, &QSocketNotifier::activated, &window, [&window, readFd, first] {
    unsigned char drained[16];
    while (::read(readFd, drained, sizeof drained) > 0) {
    }
    if (first) first();
    // As the window's close button: its close event runs the shutdown once.
    window.close();
  });
}

QIcon programIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 256}) icon.addFile(QString(":/koravel/koravel-%1.png").arg(size), QSize(size, size));
  return icon;
}

void setUpApplication(QApplication& app) {
  app.setStyle(QStyleFactory::create("Fusion"));
  app.setApplicationName("koravel");
  // The few choices it keeps for the user (the folder of the last
  // recording) go to ~/.config/koravel/koravel.conf.
  app.setOrganizationName("koravel");
  app.setApplicationVersion(KV_VERSION);
  app.setDesktopFileName("koravel");
  app.setWindowIcon(programIcon());
  app.setQuitOnLastWindowClosed(false);
}

}  // namespace kv::qt
