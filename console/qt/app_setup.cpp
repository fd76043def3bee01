#include "console/qt/app_setup.h"

#include <QApplication>
#include <QStyleFactory>
#include <cstdlib>

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

QIcon programIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 256}) icon.addFile(QString(":/koravel/koravel-%1.png").arg(size), QSize(size, size));
  return icon;
}

void setUpApplication(QApplication& app) {
  app.setStyle(QStyleFactory::create("Fusion"));
  app.setApplicationName("koravel");
  app.setApplicationVersion("2.0a");
  app.setDesktopFileName("koravel");
  app.setWindowIcon(programIcon());
  app.setQuitOnLastWindowClosed(false);
}

}  // namespace kv::qt
