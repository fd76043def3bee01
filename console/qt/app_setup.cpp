#include "console/qt/app_setup.h"

#include <QApplication>
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kv_version.h"

namespace kv::qt {

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
