// What both programs set up around the console: the style, the icon, and a
// platform when there is no display.
#pragma once

#include <QIcon>

class QApplication;

namespace kv::qt {

// Before the QApplication exists: with no display to talk to (neither
// DISPLAY nor WAYLAND_DISPLAY set) and no platform chosen, draws offscreen.
// Returns true when it chose offscreen.
bool useOffscreenWithoutDisplay();

// The Fusion style (every machine draws the same), the program's icon and
// names; the program ends when its console says so, not when its last
// window closes.
void setUpApplication(QApplication& app);

// The heart with a pulse line.
QIcon programIcon();

}  // namespace kv::qt
