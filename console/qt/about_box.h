// The About box: the program's icon, "Koravel Version 2.0a" and OK. OK,
// Enter and Escape close it.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace kv::qt {

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);

  QLabel* textLabel() const { return text_; }
  QLabel* iconLabel() const { return icon_; }
  QPushButton* okButton() const { return ok_; }

 private:
  QLabel* icon_;
  QLabel* text_;
  QPushButton* ok_;
};

}  // namespace kv::qt
