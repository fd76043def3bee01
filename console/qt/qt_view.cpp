#include "console/qt/qt_view.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QUrl>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <chrono>
#include <cstring>
#include <type_traits>

#include "console/console.h"
#include "console/qt/about_box.h"
#include "console/qt/main_window.h"
#include "console/qt/tile_button.h"
#include "console/qt/traffic_log.h"
#include "roster/tile_text.h"

namespace kv::qt {

namespace {

// The core's texts are UTF-8 (what came over the air is decoded so).
QString text8(const char* text) { return QString::fromUtf8(text); }

bool validSlot(int slot) { return slot >= 0 && slot < kTileCount; }

}  // namespace

QtView::QtView()
    : uiThread_(std::this_thread::get_id()),
      calls_([this] { poster_.post("drainCalls"); }) {}

QtView::~QtView() { calls_.close(); }

void QtView::attach(MainWindow* window) { window_ = window; }

void QtView::detach(MainWindow* window) {
  if (window_ == window) window_ = nullptr;
  calls_.close();
}

template <class F>
void QtView::withWindow(F&& f) {
  auto run = [this, &f] {
    if (window_ != nullptr) f(*window_);
  };
  if (onUiThread()) {
    run();
    return;
  }
  using Run = decltype(run);
  calls_.call([](void* p) { (*static_cast<Run*>(p))(); }, &run);
}

void QtView::appendLog(const char* text) {
  withWindow([text](MainWindow& w) { w.trafficLog()->appendText(text); });
}

void QtView::setDongleLine(const char* text) {
  withWindow([text](MainWindow& w) {
    w.dongleLine()->setText(text8(text));
    w.textsChanged();
  });
}

void QtView::setStartLabel(const char* text) {
  withWindow([text](MainWindow& w) {
    w.startButton()->setText(text8(text));
    w.startButton()->setEnabled(true);
    w.textsChanged();
  });
}

void QtView::setTileText(int slot, const char* text) {
  if (!validSlot(slot)) return;
  // A "&" in a name is shown, never taken as the mark of a mnemonic.
  char label[kTileLabelSize];
  tileLabel(text, label);
  withWindow([slot, &label](MainWindow& w) { w.tile(slot)->setText(text8(label)); });
}

void QtView::setLinkedCount(const char* text) {
  withWindow([text](MainWindow& w) {
    w.linkedCount()->setText(text8(text));
    w.textsChanged();
  });
}

void QtView::setTileTooltip(int slot, const char* text) {
  if (!validSlot(slot)) return;
  withWindow([slot, text](MainWindow& w) { w.tile(slot)->setHoverText(text8(text)); });
}

void QtView::deactivateTooltip(int slot) {
  if (!validSlot(slot)) return;
  withWindow([slot](MainWindow& w) { w.tile(slot)->switchHoverTextOff(); });
}

void QtView::runOnUiThread(void (*fn)(void*), void* arg) {
  if (onUiThread()) {
    fn(arg);
    return;
  }
  calls_.call(fn, arg);
}

void QtView::postTooltipRequest(int slot) { poster_.post("tooltipRequest", slot); }

void QtView::setLogButtonLabel(const char* text) {
  withWindow([text](MainWindow& w) { w.logButton()->setText(text8(text)); });
}

void QtView::clearLog() {
  withWindow([](MainWindow& w) { w.trafficLog()->clearText(); });
}

unsigned QtView::logCaretLine() {
  unsigned line = 0;
  withWindow([&line](MainWindow& w) { line = w.trafficLog()->caretLine(); });
  return line;
}

void QtView::trimLogFront(int count) {
  withWindow([count](MainWindow& w) { w.trafficLog()->trimFront(count); });
}

bool QtView::addPort(const char* path) {
  bool added = false;
  withWindow([path, &added](MainWindow& w) {
    QComboBox* list = w.portList();
    // Filling the list selects nothing.
    const int selected = list->currentIndex();
    list->addItem(QString::fromLocal8Bit(path));
    list->setCurrentIndex(selected);
    added = true;
  });
  return added;
}

int QtView::selectedPort() {
  int index = -1;
  withWindow([&index](MainWindow& w) { index = w.portList()->currentIndex(); });
  return index;
}

void QtView::portName(int index, char* out, int size) {
  if (out == nullptr || size <= 0) return;
  out[0] = '\0';
  withWindow([&](MainWindow& w) {
    if (index < 0 || index >= w.portList()->count()) return;
    const QByteArray name = w.portList()->itemText(index).toLocal8Bit();
    const std::size_t n = std::min(static_cast<std::size_t>(name.size()), static_cast<std::size_t>(size - 1));
    std::memcpy(out, name.constData(), n);
    out[n] = '\0';
  });
}

void QtView::showErrorBox(const char* text, const char* caption) {
  withWindow([&](MainWindow& w) {
    QMessageBox box(QMessageBox::Critical, text8(caption), text8(text), QMessageBox::Ok, &w);
    box.exec();
    w.activateWindow();  // the owner gets the focus back, with or without a window manager
  });
}

void QtView::showAboutBox() {
  withWindow([](MainWindow& w) {
    AboutBox box(&w);
    box.exec();
    w.activateWindow();
  });
}

void QtView::postShutdown() { poster_.post("shutdown"); }

void QtView::destroyWindow() {
  withWindow([](MainWindow& w) { w.close(); });
}

void QtView::waitServingLink(int ms) {
  const auto deadline = UiCallQueue::Clock::now() + std::chrono::milliseconds(ms);
  if (!onUiThread()) {
    std::this_thread::sleep_until(deadline);
    return;
  }
  calls_.serveUntil(nullptr, nullptr, deadline);
}

bool QtView::waitServingLinkUntil(bool (*done)(void*), void* arg, int timeoutMs) {
  const auto deadline = UiCallQueue::Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (!onUiThread()) {
    while (!done(arg) && UiCallQueue::Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done(arg);
  }
  return calls_.serveUntil(done, arg, deadline);
}

void QtView::setStatusLine(const char* text) {
  withWindow([text](MainWindow& w) {
    w.statusLine()->setText(QString::fromLocal8Bit(text));
    w.textsChanged();
  });
}

void QtView::clearPorts() {
  withWindow([](MainWindow& w) { w.portList()->clear(); });
}

void QtView::selectPortItem(int index) {
  withWindow([index](MainWindow& w) { w.portList()->setCurrentIndex(index); });
}

void QtView::postStatusCheck() { poster_.post("statusCheck"); }

void QtView::openDocument(const char* path) {
  if (opener) {
    opener(path);
    return;
  }
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromUtf8(path)));
}

void QtView::showRecording(const char* recordText, bool markable) {
  withWindow([recordText, markable](MainWindow& w) { w.showRecording(recordText, markable); });
}

void QtView::repaintTilesHere() {
  if (window_ == nullptr) return;
  for (int i = 0; i < kTileCount; ++i) window_->tile(i)->update();
}

void QtView::repaintTiles() {
  // The parser asks from the reader thread: a repaint can wait for the
  // event loop, so the reader need not.
  if (onUiThread()) {
    repaintTilesHere();
  } else {
    poster_.post("repaintTiles");
  }
}

void UiPoster::post(const char* slot) { QMetaObject::invokeMethod(this, slot, Qt::QueuedConnection); }

void UiPoster::post(const char* slot, int value) {
  QMetaObject::invokeMethod(this, slot, Qt::QueuedConnection, Q_ARG(int, value));
}

void UiPoster::drainCalls() { view_.calls_.drainPosted(); }

void UiPoster::tooltipRequest(int slot) {
  if (view_.window_ != nullptr) view_.window_->command(id::kFirstTooltipRequest + slot, 0);
}

void UiPoster::shutdown() {
  if (view_.window_ != nullptr) view_.window_->close();
}

void UiPoster::statusCheck() {
  if (view_.window_ != nullptr) showStatus(view_.window_->core());
}

void UiPoster::repaintTiles() { view_.repaintTilesHere(); }

}  // namespace kv::qt
