// koravel: the operator console. It reads no options; the operator picks
// the dongle's port in the window.
#include <QApplication>
#include <cstdio>

#include "console/qt/app_setup.h"
#include "console/qt/console_session.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  kv::qt::setUpApplication(app);
  kv::qt::ConsoleSession session;
  const int status = session.exec();
  // Start-up fails only when the link's writer thread cannot be started.
  if (status != 0) std::fputs("koravel: could not start: the link's writer thread did not start\n", stderr);
  return status;
}
