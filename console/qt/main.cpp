// koravel: the operator console. It reads no options; the operator picks
// the dongle's port in the window.
#include <QApplication>

#include "console/qt/app_setup.h"
#include "console/qt/console_session.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  kv::qt::setUpApplication(app);
  kv::qt::ConsoleSession session;
  return session.exec();
}
