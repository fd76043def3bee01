#include "console/qt/class_display_window.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScreen>

#include "console/console.h"

namespace kv::qt {

namespace {

QColor colour(Rgb c) { return QColor(c.r, c.g, c.b); }

// The largest bold font no taller than `px` in which `text` fits `width`.
QFont fitted(const QString& text, int px, int width) {
  QFont font;
  font.setBold(true);
  font.setPixelSize(std::max(1, px));
  const int w = QFontMetrics(font).horizontalAdvance(text);
  if (w > width && w > 0) font.setPixelSize(std::max(1, px * width / w));
  return font;
}

void drawLine(QPainter& p, const TextLine& line) {
  const QString s = QString::fromUtf8(line.text);
  const CellRect& r = line.rect;
  p.setFont(fitted(s, line.px, r.width));
  p.drawText(QRect(r.x, r.y, r.width, r.height), Qt::AlignCenter | Qt::TextSingleLine, s);
}

}  // namespace

ClassDisplayWindow::ClassDisplayWindow(ConsoleCore& core) : QWidget(nullptr, Qt::Window), core_(core) {
  setWindowTitle(kClassDisplayTitle);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(320, 180);
  resize(kClassDisplayWidth, kClassDisplayHeight);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (refresh()) update();
  });
}

void ClassDisplayWindow::openBeside(const QWidget* console) {
  const QScreen* own = console != nullptr ? console->screen() : nullptr;
  QScreen* best = nullptr;
  auto area = [](const QScreen* s) { return 1LL * s->geometry().width() * s->geometry().height(); };
  for (QScreen* s : QGuiApplication::screens())
    if (s != own && (best == nullptr || area(s) > area(best))) best = s;
  refresh();
  timer_.start(kClassDisplayEveryMs);
  if (best != nullptr) {
    setScreen(best);
    setGeometry(best->geometry());
    showFullScreen();
  } else {
    showNormal();
  }
  raise();
  activateWindow();
}

void ClassDisplayWindow::closeDisplay() {
  timer_.stop();
  hide();
}

bool ClassDisplayWindow::refresh() {
  return shown_.refresh(core_.roster, core_.clock.nowMs(), core_.participants.get());
}

void ClassDisplayWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), colour(kClassDisplayBackground));
  p.setRenderHint(QPainter::TextAntialiasing);
  const int w = width(), h = height();
  if (shown_.count <= 0) {
    p.setPen(colour(kClassDisplayMessageColour));
    drawLine(p, emptyMessageLine(w, h));
    return;
  }
  const CellGrid grid = cellGrid(shown_.count, w, h);
  for (int i = 0; i < shown_.count; ++i) {
    const CellPicture c = cellPicture(shown_.cells[i], cellRect(grid, i, w, h));
    p.fillRect(QRect(c.cell.x, c.cell.y, c.cell.width, c.cell.height), colour(c.fill));
    if (c.bar) p.fillRect(QRect(c.barRect.x, c.barRect.y, c.barRect.width, c.barRect.height), colour(c.text));
    p.setPen(colour(c.text));
    for (const TextLine& line : c.lines) drawLine(p, line);
  }
}

void ClassDisplayWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F11) {
    Q_EMIT toggleRequested();
  } else if (event->key() == Qt::Key_Escape && isFullScreen()) {
    showNormal();
  } else {
    QWidget::keyPressEvent(event);
  }
}

void ClassDisplayWindow::closeEvent(QCloseEvent* event) {
  timer_.stop();
  QWidget::closeEvent(event);
}

void ClassDisplayWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  update();
}

}  // namespace kv::qt
