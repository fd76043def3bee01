// The class display (View > Class display, F11): the linked devices, big,
// in a window of its own for a TV or projector. What it shows and where
// comes from the core (console/class_display.h); this paints it.
#pragma once

#include <QTimer>
#include <QWidget>

#include "console/class_display.h"

namespace kv {
class ConsoleCore;
}

namespace kv::qt {

class ClassDisplayWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ClassDisplayWindow(ConsoleCore& core);

  // Full screen on the largest screen other than `console`'s, when there is
  // one; otherwise a normal window. Starts looking at the roster.
  void openBeside(const QWidget* console);
  // Closes it and stops looking.
  void closeDisplay();

  int cellCount() const { return shown_.count; }
  const ClassCell& cell(int i) const { return shown_.cells[i]; }
  // Looks at the roster now (the timer does it every kClassDisplayEveryMs);
  // true when what it shows changed.
  bool refresh();

 Q_SIGNALS:
  // F11 inside it: the operator wants it closed.
  void toggleRequested();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  ConsoleCore& core_;
  QTimer timer_;
  ClassDisplayCells shown_;
};

}  // namespace kv::qt
