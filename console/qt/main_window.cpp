#include "console/qt/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include "console/console.h"
#include "console/layout.h"
#include "console/watch.h"
#include "console/qt/app_setup.h"
#include "console/qt/class_display_window.h"
#include "console/qt/qt_view.h"
#include "console/qt/tile_button.h"
#include "console/qt/traffic_log.h"
#include "roster/tile_text.h"

namespace kv::qt {

namespace {

// What is kept for the user: the folder of the last recording, the
// participants file in force.
constexpr const char* kRecordingFolderKey = "recording/folder";
constexpr const char* kParticipantsFileKey = "participants/file";

// A folder for a file the operator picks: that of `path` when it is one,
// else the user's Documents folder.
QString folderFor(const QString& path) {
  if (!path.isEmpty() && QFileInfo(QFileInfo(path).absolutePath()).isDir()) return QFileInfo(path).absolutePath();
  const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

// The port list's place gives the height of its dropped-down list: about
// four ports below its own field.
constexpr int kPortListVisibleItems = 4;

QRect placeRect(const ControlPlace& p) { return QRect(p.x, p.y, p.width, p.height); }

// The operator's controls take focus when clicked but, as on Windows, Tab
// does not move between them.
void clickFocusOnly(QWidget* w) { w->setFocusPolicy(Qt::ClickFocus); }

// The port list is filled afresh each time the operator opens it.
class PortList : public QComboBox {
 public:
  PortList(MainWindow* window, QWidget* parent) : QComboBox(parent), window_(window) {}
  void showPopup() override {
    window_->command(id::kPortList, kCbnDropDown);
    QComboBox::showPopup();
  }

 private:
  MainWindow* window_;
};

}  // namespace

MainWindow::MainWindow(ConsoleCore& core, QtView& view) : core_(core), view_(view) {
  chooseRecordingFile = [this](const QString& suggested) {
    // The dialog asks before it lets an existing file be picked.
    RecordingChoice choice;
    choice.path = QFileDialog::getSaveFileName(this, "Record readings", suggested, "CSV files (*.csv);;All files (*)");
    choice.replace = !choice.path.isEmpty() && QFileInfo::exists(choice.path);
    return choice;
  };
  chooseOpenFile = [this](const QString& title, const QString& suggested) {
    return QFileDialog::getOpenFileName(this, title, suggested, "CSV files (*.csv *.txt);;All files (*)");
  };
  chooseSaveFile = [this](const QString& title, const QString& suggested) {
    return QFileDialog::getSaveFileName(this, title, suggested, "CSV files (*.csv);;All files (*)");
  };
  setWindowTitle(kWindowTitle);
  setWindowIcon(programIcon());
  // A title, a system menu and a minimise button: no sizing, no maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFixedSize(kMainWindowWidth, kMainWindowHeight);
  // Hover texts show also while another window is active, as the Windows
  // program's always-shown tool tips do.
  setAttribute(Qt::WA_AlwaysShowToolTips);
  move(kMainWindowX, kMainWindowY);

  createMenu();
  auto* client = new QWidget(this);
  setCentralWidget(client);
  createControls();
  layoutControls();

  textsFile_ = qEnvironmentVariable("KORAVEL_WINDOW_TEXTS");
  view_.attach(this);
  core_.link.enumerateComPorts();
  textsChanged();
}

MainWindow::~MainWindow() {
  delete classDisplay_;
  view_.detach(this);
}

void MainWindow::createMenu() {
  QMenu* file = menuBar()->addMenu("&File");
  recordAction_ = file->addAction(kRecordMenuText);
  recordAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
  connect(recordAction_, &QAction::triggered, this, [this] { toggleRecording(); });
  markAction_ = file->addAction(kMarkMenuText);
  markAction_->setShortcut(QKeySequence(Qt::Key_F9));
  markAction_->setEnabled(false);
  connect(markAction_, &QAction::triggered, this, [this] { command(id::kMark, 0); });
  sessionReportAction_ = file->addAction(kSessionReportMenuText);
  connect(sessionReportAction_, &QAction::triggered, this, [this] { sessionReport(); });
  file->addSeparator();
  participantsAction_ = file->addAction(kParticipantsMenuText);
  connect(participantsAction_, &QAction::triggered, this, [this] { openParticipants(); });
  noParticipantsAction_ = file->addAction(kNoParticipantsMenuText);
  connect(noParticipantsAction_, &QAction::triggered, this, [this] { noParticipants(); });
  saveHeardAction_ = file->addAction(kSaveHeardMenuText);
  connect(saveHeardAction_, &QAction::triggered, this, [this] { saveHeardAsParticipants(); });
  file->addSeparator();
  exit_ = file->addAction("E&xit");
  connect(exit_, &QAction::triggered, this, [this] { command(id::kExit, 0); });
  QMenu* view = menuBar()->addMenu(kViewMenuText);
  classDisplayAction_ = view->addAction(kClassDisplayMenuText);
  classDisplayAction_->setShortcut(QKeySequence(Qt::Key_F11));
  connect(classDisplayAction_, &QAction::triggered, this, [this] { toggleClassDisplay(); });
  QMenu* help = menuBar()->addMenu("&Help");
  about_ = help->addAction("&About ...");
  connect(about_, &QAction::triggered, this, [this] { command(id::kAbout, 0); });

  // Alt with "?" or with "/" opens the About box too.
  for (const QKeyCombination key : {Qt::ALT | Qt::Key_Question, Qt::ALT | Qt::Key_Slash}) {
    auto* shortcut = new QShortcut(QKeySequence(key), this);
    connect(shortcut, &QShortcut::activated, this, [this] { command(id::kAbout, 0); });
  }
}

void MainWindow::createControls() {
  QWidget* client = centralWidget();
  auto button = [&](const char* text, int commandId) {
    auto* b = new QPushButton(text, client);
    b->setGeometry(0, 0, kCreationSize, kCreationSize);
    clickFocusOnly(b);
    connect(b, &QPushButton::clicked, this, [this, commandId] { command(commandId, kBnClicked); });
    return b;
  };

  portLabel_ = new QLabel(kPortLabelText, client);
  portLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  portList_ = new PortList(this, client);
  portList_->setMaxVisibleItems(kPortListVisibleItems);
  clickFocusOnly(portList_);
  connect(portList_, &QComboBox::activated, this, [this](int) { command(id::kPortList, kCbnSelChange); });

  start_ = button(kStartText, id::kStart);
  clearUseless_ = button(kClearUselessText, id::kClearUseless);
  clearLog_ = button(kClearLogText, id::kClearLog);
  logButton_ = button(kLogButtonText, id::kLogButton);

  dongleLine_ = new QLineEdit(client);
  dongleLine_->setReadOnly(true);
  clickFocusOnly(dongleLine_);
  linkedCount_ = new QLineEdit(client);
  linkedCount_->setReadOnly(true);
  clickFocusOnly(linkedCount_);

  for (int i = 0; i < kTileCount; ++i) {
    auto* tile = new TileButton(core_, i, client);
    tile->setText(kEmptyTileText);
    clickFocusOnly(tile);
    connect(tile, &QPushButton::clicked, this, [this, i] { command(id::kFirstTile + i, kBnClicked); });
    tiles_[static_cast<std::size_t>(i)] = tile;
  }

  statusLine_ = new QLabel(client);
  statusLine_->setTextFormat(Qt::PlainText);
  statusLine_->setWordWrap(true);
  statusLine_->setAlignment(Qt::AlignLeft | Qt::AlignTop);

  log_ = new TrafficLog(client);
  log_->setGeometry(0, 0, kCreationSize, kCreationSize);
  clickFocusOnly(log_);
  log_->setTextLimit(kLogTextLimit);
  log_->setNotify([this](int code) { command(id::kTrafficLog, code); });
}

QWidget* MainWindow::control(int controlId) const {
  switch (controlId) {
    case id::kTrafficLog: return log_;
    case id::kClearLog: return clearLog_;
    case id::kPortLabel: return portLabel_;
    case id::kStart: return start_;
    case id::kLogButton: return logButton_;
    case id::kDongleLine: return dongleLine_;
    case id::kClearUseless: return clearUseless_;
    case id::kPortList: return portList_;
    case id::kLinkedCount: return linkedCount_;
    case id::kStatusLine: return statusLine_;
    default: break;
  }
  const int slot = controlId - id::kFirstTile;
  return slot >= 0 && slot < kTileCount ? tiles_[static_cast<std::size_t>(slot)] : nullptr;
}

void MainWindow::layoutControls() {
  // The log, "Clear Log" and the log button keep their creation place.
  for (const ControlPlace& place : kPlacedControls) {
    QRect r = placeRect(place);
    if (place.id == id::kPortList) r.setHeight(portList_->sizeHint().height());
    control(place.id)->setGeometry(r);
  }
  statusLine_->setGeometry(placeRect(kStatusLinePlace));
  for (int slot = 0; slot < kTileCount; ++slot) {
    TileButton* tile = tiles_[static_cast<std::size_t>(slot)];
    tile->setGeometry(placeRect(tilePlace(slot)));
    // A tile's size never changes: a new text then asks no layout of the
    // window (an event per reading otherwise).
    tile->setFixedSize(tile->size());
    tile->raise();
  }
}

void MainWindow::textsChanged() {
  if (textsFile_.isEmpty() || textsFileFailed_) return;
  QByteArray out;
  auto line = [&out](const char* key, QString text) {
    text.replace('\n', ' ');
    out += key;
    out += '=';
    out += text.toUtf8();
    out += '\n';
  };
  line("dongle_line", dongleLine_->text());
  line("start", start_->text());
  line("linked", linkedCount_->text());
  line("status", statusLine_->text());
  // Written beside it and renamed over it, so that a reader never sees
  // half a file; never synced to the disk (QSaveFile would), which can keep
  // the UI thread, and with it the reader, waiting for a busy disk.
  const QByteArray path = QFile::encodeName(textsFile_);
  const QByteArray beside = path + ".new";
  const auto size = static_cast<std::size_t>(out.size());
  bool written = false;
  if (std::FILE* file = std::fopen(beside.constData(), "w")) {
    written = std::fwrite(out.constData(), 1, size, file) == size;
    written = std::fclose(file) == 0 && written;
  }
  if (written && std::rename(beside.constData(), path.constData()) == 0) return;
  // Said once; the window goes on without it.
  textsFileFailed_ = true;
  std::fprintf(stderr, "koravel: cannot write the window's texts to %s\n", path.constData());
}

void MainWindow::command(int commandId, int code) { handleCommand(core_, commandId, code); }

void MainWindow::choosePort(int index) {
  portList_->setCurrentIndex(index);
  Q_EMIT portList_->activated(index);
}

void MainWindow::startWatch() {
  connect(&watch_, &QTimer::timeout, this, [this] { watchConsole(core_); });
  watch_.start(kWatchEveryMs);
}

void MainWindow::toggleClassDisplay() {
  if (classDisplay_ == nullptr) {
    classDisplay_ = new ClassDisplayWindow(core_);
    connect(classDisplay_, &ClassDisplayWindow::toggleRequested, this, [this] { toggleClassDisplay(); });
  }
  if (classDisplay_->isVisible()) {
    classDisplay_->closeDisplay();
  } else {
    classDisplay_->openBeside(this);
  }
}

QString MainWindow::suggestedRecordingPath() const {
  QString folder = QSettings().value(kRecordingFolderKey).toString();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(folder).isDir()) folder = QDir::homePath();
  }
  char name[32];
  defaultRecordingName(name, unixMsNow());
  return QDir(folder).filePath(QString::fromUtf8(name));
}

void MainWindow::toggleRecording() {
  if (core_.recording.running()) {
    command(id::kRecord, 0);
    return;
  }
  const RecordingChoice choice = chooseRecordingFile(suggestedRecordingPath());
  if (choice.path.isEmpty()) return;
  if (startRecording(core_, choice.path.toUtf8().constData(), choice.replace))
    QSettings().setValue(kRecordingFolderKey, QFileInfo(choice.path).absolutePath());
}

void MainWindow::showRecording(const char* recordText, bool markable) {
  recordAction_->setText(QString::fromUtf8(recordText));
  markAction_->setEnabled(markable);
}

void MainWindow::openParticipants() {
  const QString remembered = QSettings().value(kParticipantsFileKey).toString();
  const QString path = chooseOpenFile("Participants", folderFor(remembered));
  if (path.isEmpty()) return;
  if (loadParticipants(core_, path.toUtf8().constData())) QSettings().setValue(kParticipantsFileKey, path);
}

void MainWindow::noParticipants() {
  QSettings().remove(kParticipantsFileKey);
  command(id::kNoParticipants, 0);
}

void MainWindow::saveHeardAsParticipants() {
  const QString remembered = QSettings().value(kParticipantsFileKey).toString();
  const QString suggested =
      remembered.isEmpty() ? QDir(folderFor(QString())).filePath("participants.csv") : remembered;
  const QString path = chooseSaveFile("Save heard devices as participants", suggested);
  if (path.isEmpty()) return;
  char error[200];
  if (!kv::saveHeardAsParticipants(core_, path.toUtf8().constData(), error, sizeof error))
    view_.showErrorBox(("Cannot write " + path.toStdString() + ": " + error).c_str(), "Koravel");
}

void MainWindow::sessionReport() {
  QString suggested = QString::fromUtf8(core_.recording.path());
  if (suggested.isEmpty() || !QFileInfo(suggested).isFile())
    suggested = folderFor(QSettings().value(kRecordingFolderKey).toString() + "/");
  const QString path = chooseOpenFile("Session report", suggested);
  if (!path.isEmpty()) startSessionReport(core_, path.toUtf8().constData());
}

void MainWindow::loadRememberedParticipants() {
  const QString path = QSettings().value(kParticipantsFileKey).toString();
  if (!path.isEmpty()) loadParticipants(core_, path.toUtf8().constData());
}

void MainWindow::runShutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  watch_.stop();
  if (classDisplay_ != nullptr) classDisplay_->closeDisplay();
  shutdownWindow(core_);
  Q_EMIT shutdownFinished();
}

bool MainWindow::event(QEvent* event) {
  if (event->type() != QEvent::UpdateRequest) return QMainWindow::event(event);
  const QScreen* shownOn = screen();
  const double hz = shownOn != nullptr && shownOn->refreshRate() > 1 ? shownOn->refreshRate() : 60.0;
  const qint64 frameMs = std::max<qint64>(1, static_cast<qint64>(1000.0 / hz));
  if (sincePaint_.isValid() && sincePaint_.elapsed() < frameMs) {
    // Qt waits for this request to be served before it asks again: the
    // held one is served once the frame is over, with whatever has changed
    // meanwhile.
    if (!paintHeld_) {
      paintHeld_ = true;
      QTimer::singleShot(frameMs - sincePaint_.elapsed(), this, [this] {
        paintHeld_ = false;
        QEvent request(QEvent::UpdateRequest);
        this->event(&request);
      });
    }
    return true;
  }
  sincePaint_.start();
  return QMainWindow::event(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  runShutdown();
  event->accept();
}

}  // namespace kv::qt
