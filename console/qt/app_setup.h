// What both programs set up around the console: the style, the icon, and a
// platform when there is no display.
#pragma once

#include <QIcon>
#include <memory>

class QApplication;

namespace kv::qt {

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
