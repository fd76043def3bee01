#include "console/qt/about_box.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "console/console.h"
#include "console/qt/app_setup.h"

namespace kv::qt {

namespace {

// The box is laid out in dialog units of its 8-point font, as on Windows:
// a unit is about 1.5 pixels across and 1.625 pixels down.
QRect dialogUnits(int x, int y, int w, int h) {
  return QRect(x * 3 / 2, y * 13 / 8, w * 3 / 2, h * 13 / 8);
}

}  // namespace

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle("About");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);
  setFixedSize(dialogUnits(0, 0, 230, 75).size());

  icon_ = new QLabel(this);
  icon_->setGeometry(dialogUnits(14, 9, 20, 20));
  icon_->setPixmap(programIcon().pixmap(icon_->size()));

  text_ = new QLabel(this);
  text_->setTextFormat(Qt::PlainText);
  text_->setText(kAboutText);
  text_->setGeometry(dialogUnits(48, 10, 119, 8).adjusted(0, 0, 0, 4));

  ok_ = new QPushButton("OK", this);
  ok_->setGeometry(dialogUnits(195, 6, 30, 11).adjusted(0, 0, 0, 6));
  ok_->setDefault(true);
  ok_->setAutoDefault(true);
  ok_->setFocus();
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace kv::qt
