// What both programs set up around the console: the style, the icon, a
// platform when there is no display, the command line looked at before any
// display is opened, and the stop signals.
#pragma once

#include <QIcon>
#include <QPointer>
#include <QSocketNotifier>
#include <functional>
#include <memory>

class QApplication;
class QWidget;

namespace kv::qt {

// How many entries of argv, from argv[at] on, a Qt command-line option there
// takes (QGuiApplication's and QApplication's, and the X11 and Windows
// platforms': -platform, -style, -reverse...; with one dash or two, a value
// after it or, for -style, -stylesheet and -qmljsdebugger, after '='): 1 or
// 2. 0 when argv[at] is no Qt option; -1 when it is one whose value is
// missing. So a program can refuse what it does not know before the
// QApplication opens the display.
int qtOptionArguments(int argc, char** argv, int at);

// SIGTERM, SIGINT and SIGHUP end the program as closing its main window
// does: the console's shutdown runs (the dongle's soft reset, the link
// stopped) and the program exits with status 0. Made at the start of main:
// from then on the handler writes each such signal to a socket pair (all it
// does, as a signal handler may do little); once closeOnStop has named the
// window, the UI thread reads the pair and closes the window, also for a
// signal that came before. The handlers are put back as they were when it
// goes.
class StopSignals {
 public:
  // `program` names it in the one line said when the signals cannot be
  // caught so.
  explicit StopSignals(const char* program);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // UI thread, once the QApplication and the window exist. The reading
  // goes with the window. `first`, when given, runs before the window is
  // closed.
  void closeOnStop(QWidget& window, std::function<void()> first = {});

 private:
  int fds_[2] = {-1, -1};
  QPointer<QSocketNotifier> notifier_;
};

// Before the QApplication exists: with no display to talk to (neither
// DISPLAY nor WAYLAND_DISPLAY set) and no platform chosen, draws offscreen.
// Returns true when it chose offscreen.
bool useOffscreenWithoutDisplay();

// The QApplication, on the display the environment names. When Qt can
// open none (none is named, or the one named cannot be reached), says so in
// one line on standard error and ends the process with status 1, in place
// of Qt's abort. Qt's own messages while it looks for the display are held
// back until it has one.
std::unique_ptr<QApplication> openApplicationOrExit(int& argc, char** argv, const char* program);

// The Fusion style (every machine draws the same), the program's icon and
// names; the program ends when its console says so, not when its last
// window closes.
void setUpApplication(QApplication& app);

// The heart with a pulse line.
QIcon programIcon();

}  // namespace kv::qt
