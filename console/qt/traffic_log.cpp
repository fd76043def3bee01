#include "console/qt/traffic_log.h"

#include <QTextCursor>
#include <algorithm>
#include <cstring>

#include "console/console.h"

namespace kv::qt {

namespace {

unsigned countLineFeeds(const char* text, std::size_t n) {
  return static_cast<unsigned>(std::count(text, text + n, '\n'));
}

}  // namespace

TrafficLog::TrafficLog(QWidget* parent) : QPlainTextEdit(parent), limit_(kLogTextLimit) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Nobody reads it at its 10 x 10 pixels: spare the layout of long lines.
  setLineWrapMode(QPlainTextEdit::NoWrap);
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
    // The widget turns "\r\n" (and a lone "\r") into one line break.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromLatin1(text, static_cast<qsizetype>(n)));
    moveCursor(QTextCursor::End);
  }
  if (n < wanted) notify(kEnMaxText);
  if (n > 0) notify(kEnChange);
}

void TrafficLog::clearText() {
  if (text_.empty()) return;
  text_.clear();
  lines_ = 0;
  clear();
  notify(kEnChange);
}

void TrafficLog::trimFront(int count) {
  if (count <= 0 || text_.empty()) return;
  const std::size_t n = std::min(static_cast<std::size_t>(count), text_.size());
  lines_ -= countLineFeeds(text_.data(), n);
  text_.erase(0, n);
  // A cut may fall between "\r" and "\n": show the text afresh rather than
  // work out where the cut falls in the widget's own text.
  showAll();
  notify(kEnChange);
}

void TrafficLog::showAll() {
  setPlainText(QString::fromLatin1(text_.data(), static_cast<qsizetype>(text_.size())));
  moveCursor(QTextCursor::End);
}

}  // namespace kv::qt
