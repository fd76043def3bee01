#include "console/qt/traffic_log.h"

#include <QTextCursor>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "console/console.h"

namespace kv::qt {

namespace {

unsigned countLineFeeds(const char* text, std::size_t n) {
  return static_cast<unsigned>(std::count(text, text + n, '\n'));
}

// How many characters the widget has for text[0..n): one less for each
// "\r\n" within it.
std::size_t shownLength(const std::string& text, std::size_t n) {
  std::size_t pairs = 0;
  for (std::size_t i = 1; i < n; ++i) pairs += text[i - 1] == '\r' && text[i] == '\n';
  return n - pairs;
}

bool pairSplitAt(const std::string& text, std::size_t at) {
  return at > 0 && at < text.size() && text[at - 1] == '\r' && text[at] == '\n';
}

}  // namespace

TrafficLog::TrafficLog(QWidget* parent) : QPlainTextEdit(parent), limit_(kLogTextLimit) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Nobody reads it at its 10 x 10 pixels: spare the layout of long lines.
  setLineWrapMode(QPlainTextEdit::NoWrap);
  showTimer_.setSingleShot(true);
  connect(&showTimer_, &QTimer::timeout, this, &TrafficLog::showPending);
}

void TrafficLog::notify(int code) {
  if (notify_) notify_(code);
}

void TrafficLog::appendText(const char* text) {
  const std::size_t wanted = std::strlen(text);
  const std::size_t room = text_.size() < static_cast<std::size_t>(limit_) ? limit_ - text_.size() : 0;
  const std::size_t n = std::min(wanted, room);
  if (n > 0) {
    text_.append(text, n);
    lines_ += countLineFeeds(text, n);
    const qint64 since = sinceShown_.isValid() ? sinceShown_.elapsed() : kShowEveryMs;
    if (since >= kShowEveryMs)
      showPending();
    else if (!showTimer_.isActive())
      showTimer_.start(static_cast<int>(kShowEveryMs - since));
  }
  if (n < wanted) notify(kEnMaxText);
  if (n > 0) notify(kEnChange);
}

void TrafficLog::showPending() {
  showTimer_.stop();
  if (shown_ >= text_.size()) return;
  sinceShown_.start();
  std::size_t from = shown_;
  // The "\r" before is shown as the break already.
  if (pairSplitAt(text_, from)) ++from;
  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  // QTextCursor makes each "\r\n", "\r" and "\n" one line break.
  cursor.insertText(QString::fromLatin1(text_.data() + from, static_cast<qsizetype>(text_.size() - from)));
  shown_ = text_.size();
  moveCursor(QTextCursor::End);
}

void TrafficLog::clearText() {
  if (text_.empty()) return;
  text_.clear();
  lines_ = 0;
  shown_ = 0;
  clear();
  notify(kEnChange);
}

void TrafficLog::trimFront(int count) {
  if (count <= 0 || text_.empty()) return;
  const std::size_t n = std::min(static_cast<std::size_t>(count), text_.size());
  lines_ -= countLineFeeds(text_.data(), n);
  if (n >= shown_) {
    clear();
    shown_ = 0;
  } else {
    // The front of the widget's document goes; a cut between "\r" and "\n"
    // keeps their break, which now stands for the "\n" left in front.
    std::size_t remove = shownLength(text_, n);
    if (pairSplitAt(text_, n)) --remove;
    QTextCursor cursor(document());
    cursor.setPosition(static_cast<int>(remove), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    shown_ -= n;
    moveCursor(QTextCursor::End);
  }
  text_.erase(0, n);
  notify(kEnChange);
}

}  // namespace kv::qt
