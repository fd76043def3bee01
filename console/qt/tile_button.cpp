#include "console/qt/tile_button.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QToolTip>

#include "console/console.h"

namespace kv::qt {

TileButton::TileButton(ConsoleCore& core, int slot, QWidget* parent)
    : QPushButton(parent), core_(core), slot_(slot) {
  setAttribute(Qt::WA_Hover);
}

bool TileButton::fillColour(QColor* colour) const {
  if (core_.words.scanning == 0) return false;
  std::uint8_t brand = 0;
  if (!core_.roster.linkedBrand(slot_, &brand)) return false;
  const Rgb rgb = tileColour(brand, underMouse());
  *colour = QColor(rgb.r, rgb.g, rgb.b);
  return true;
}

void TileButton::paintEvent(QPaintEvent* event) {
  QColor fill;
  if (!fillColour(&fill)) {
    QPushButton::paintEvent(event);
    return;
  }
  QPainter painter(this);
  // A one-pixel black outline inside the tile's rectangle, 10 x 10 corner
  // ellipses, the brand's colour inside; then the text as a button draws it.
  painter.setPen(QPen(Qt::black, 1));
  painter.setBrush(fill);
  painter.drawRoundedRect(rect().adjusted(0, 0, -1, -1), 5, 5);
  QStyleOptionButton option;
  initStyleOption(&option);
  style()->drawControl(QStyle::CE_PushButtonLabel, &option, &painter, this);
}

void TileButton::enterEvent(QEnterEvent* event) {
  QPushButton::enterEvent(event);
  update();
}

void TileButton::leaveEvent(QEvent* event) {
  QPushButton::leaveEvent(event);
  update();
}

void TileButton::setHoverText(const QString& text) {
  hoverOn_ = true;
  if (toolTip() != text) setToolTip(text);
}

void TileButton::switchHoverTextOff() {
  hoverOn_ = false;
  if (toolTip().isEmpty()) return;
  setToolTip(QString());
  // A balloon that is up for this tile goes too.
  if (QToolTip::isVisible() && underMouse()) QToolTip::hideText();
}

}  // namespace kv::qt
