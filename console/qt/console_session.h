// One run of the console: the view, the core and the main window, started
// and stopped in the Windows program's order.
//
//   start-up: the window and its controls (the port list is filled), the
//             slot table and the writer thread, then the window is shown;
//   running:  the event loop, until the window's shutdown has run (Exit,
//             closing the window, the log out of space);
//   ending:   the link is stopped while its threads' calls are still
//             served; then the view lets go of the window.
#pragma once

#include "console/console.h"
#include "console/qt/main_window.h"
#include "console/qt/qt_view.h"

namespace kv::qt {

class ConsoleSession {
 public:
  // The link uses `platform` for its port and its threads (the system's
  // own unless told otherwise).
  explicit ConsoleSession(const LinkPlatform& platform = LinkPlatform{});
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // Starts the core and shows the window. False when start-up failed: the
  // window's shutdown has then run.
  bool start();
  // Stops the link (serving its calls meanwhile) and detaches the view.
  void finish();
  // start, the application's event loop until the shutdown, finish.
  // Returns the program's exit code: 0, or 1 when start-up failed (the
  // window was never shown and the event loop did not run).
  int exec();

  // Ended by a signal (SIGTERM at a system's shut-down, say): what the end
  // has to say goes to standard error only, never to a box that would wait
  // for somebody.
  bool endedBySignal = false;

  QtView view;
  ConsoleCore core;
  MainWindow window{core, view};

 private:
  bool finished_ = false;
};

}  // namespace kv::qt
