#include "console/qt/console_session.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace kv::qt {

ConsoleSession::ConsoleSession(const LinkPlatform& platform) : core(view, platform) {}

ConsoleSession::~ConsoleSession() { finish(); }

bool ConsoleSession::start() {
  if (!startConsole(core)) {
    window.runShutdown();
    return false;
  }
  window.startWatch();
  window.loadRememberedParticipants();
  window.show();
  return true;
}

void ConsoleSession::finish() {
  if (finished_) return;
  finished_ = true;
  core.link.stopLink();
  finishSessionReport(core);
  // The recording's file is finished once nothing more can come.
  char told[512];
  finishRecording(core, told, sizeof told);
  if (told[0] != '\0') {
    std::fprintf(stderr, "koravel: recording: %s\n", told);
    if (!endedBySignal && QApplication::instance() != nullptr)
      QMessageBox::warning(nullptr, "Koravel: recording", QString::fromUtf8(told));
  }
  view.detach(&window);
}

int ConsoleSession::exec() {
  const bool started = start();
  if (started) {
    QObject::connect(&window, &MainWindow::shutdownFinished, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    QApplication::exec();
  }
  finish();
  return started ? 0 : 1;
}

}  // namespace kv::qt
