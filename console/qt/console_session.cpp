#include "console/qt/console_session.h"

#include <QApplication>

namespace kv::qt {

ConsoleSession::ConsoleSession() = default;

ConsoleSession::~ConsoleSession() { finish(); }

bool ConsoleSession::start() {
  if (!startConsole(core)) {
    window.runShutdown();
    return false;
  }
  window.show();
  return true;
}

void ConsoleSession::finish() {
  if (finished_) return;
  finished_ = true;
  core.link.stopLink();
  view.detach(&window);
}

int ConsoleSession::exec() {
  if (start()) {
    QObject::connect(&window, &MainWindow::shutdownFinished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    QApplication::exec();
  }
  finish();
  return 0;
}

}  // namespace kv::qt
