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

void drawLine(QPainter& p, const CellRect& r, int px, const char* text, Qt::Alignment align) {
  const QString s = QString::fromLatin1(text);
  p.setFont(fitted(s, px, r.width));
  p.drawText(QRect(r.x, r.y, r.width, r.height), align | Qt::TextSingleLine, s);
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
  ClassCell now[kTileCount];
  const int n = classCells(core_.roster, core_.clock.nowMs(), now);
  bool same = n == count_;
  for (int i = 0; same && i < n; ++i) same = now[i] == cells_[i];
  if (same) return false;
  count_ = n;
  std::copy(now, now + n, cells_);
  return true;
}

void ClassDisplayWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), colour(kClassDisplayBackground));
  p.setRenderHint(QPainter::TextAntialiasing);
  const int w = width(), h = height();
  if (count_ <= 0) {
    p.setPen(colour(kClassDisplayMessageColour));
    drawLine(p, CellRect{w / 20, 0, w - w / 10, h}, h / 20, kClassDisplayEmptyText, Qt::AlignCenter);
    return;
  }
  const CellGrid grid = cellGrid(count_, w, h);
  for (int i = 0; i < count_; ++i) {
    const ClassCell& c = cells_[i];
    const CellRect r = cellRect(grid, i, w, h);
    const CellLayout l = cellLayout(r);
    p.fillRect(QRect(r.x, r.y, r.width, r.height), colour(c.fill));
    p.setPen(colour(c.text));
    if (c.lowBattery) {
      // A frame in the text's colour draws the eye to the battery line.
      const int t = std::max(2, r.height / 40);
      p.fillRect(QRect(l.detail.x - t, l.detail.y - t, l.detail.width + 2 * t, t), colour(c.text));
    }
    drawLine(p, l.name, l.namePx, c.name, Qt::AlignHCenter | Qt::AlignVCenter);
    drawLine(p, l.heartRate, c.silent ? l.heartRatePx / 2 : l.heartRatePx, c.heartRate, Qt::AlignCenter);
    drawLine(p, l.detail, l.detailPx, c.detail, Qt::AlignHCenter | Qt::AlignVCenter);
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
