// A tile: a multi-line push button for one device slot. While the scan runs
// and its slot is linked, it paints itself as a rounded rectangle in the
// device brand's colour (darker under the mouse) with its text over it;
// otherwise it looks like any push button. Its hover text can be switched
// on and off.
#pragma once

#include <QColor>
#include <QPushButton>
#include <QString>

namespace kv {
class ConsoleCore;
}

namespace kv::qt {

class TileButton : public QPushButton {
  Q_OBJECT

 public:
  TileButton(ConsoleCore& core, int slot, QWidget* parent = nullptr);

  int slot() const { return slot_; }

  // The fill this tile is painted with now; false for the standard look.
  bool fillColour(QColor* colour) const;

  // Gives the tile its hover text and switches it on / switches it off.
  void setHoverText(const QString& text);
  void switchHoverTextOff();
  bool hoverTextOn() const { return hoverOn_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  ConsoleCore& core_;
  const int slot_;
  bool hoverOn_ = false;
};

}  // namespace kv::qt
