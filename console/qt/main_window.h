// The main window: a fixed 1024 x 768 window with the operator controls at
// the top, the 40 tiles below them, the menu, and the traffic log. Every
// click, pick and menu command goes to the console's command handler with
// the command ids the Windows program uses.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <array>
#include <functional>

#include "base/view.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kv {
class ConsoleCore;
}

namespace kv::qt {

class ClassDisplayWindow;
class QtView;
class TileButton;
class TrafficLog;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Makes every control, attaches itself to `view` and fills the port list.
  MainWindow(ConsoleCore& core, QtView& view);
  ~MainWindow() override;

  ConsoleCore& core() const { return core_; }

  // Hands a command to the console's handler.
  void command(int commandId, int code);
  // What the operator's pick of port list item `index` does.
  void choosePort(int index);

  // Starts the console's watch, once a second (silent tiles, the status
  // line); the shutdown stops it.
  void startWatch();

  // The shutdown: brushes released, soft reset, 300 ms serving the link;
  // then shutdownFinished. Runs once, however the window goes.
  void runShutdown();
  bool shutDown() const { return shutDown_; }

  // The controls.
  QLabel* portLabel() const { return portLabel_; }
  QComboBox* portList() const { return portList_; }
  QPushButton* startButton() const { return start_; }
  QPushButton* clearUselessButton() const { return clearUseless_; }
  QPushButton* clearLogButton() const { return clearLog_; }
  QPushButton* logButton() const { return logButton_; }
  QLineEdit* dongleLine() const { return dongleLine_; }
  QLineEdit* linkedCount() const { return linkedCount_; }
  QLabel* statusLine() const { return statusLine_; }
  TileButton* tile(int slot) const { return tiles_[static_cast<std::size_t>(slot)]; }
  TrafficLog* trafficLog() const { return log_; }
  QAction* exitAction() const { return exit_; }
  QAction* aboutAction() const { return about_; }
  QAction* classDisplayAction() const { return classDisplayAction_; }
  QAction* recordAction() const { return recordAction_; }
  QAction* markAction() const { return markAction_; }

  // File > "Record readings..." (Ctrl+R): asks for a file, then records to
  // it; while a recording runs the same item, "Stop recording", ends it.
  void toggleRecording();
  // What the item asks with: given the path it suggests, the file the
  // operator chose (UTF-8 path, "" for none) and whether an existing one
  // may be replaced (the operator said so). A file dialog unless a test
  // puts something else here.
  struct RecordingChoice {
    QString path;
    bool replace = false;
  };
  std::function<RecordingChoice(const QString& suggested)> chooseRecordingFile;
  // The path suggested: koravel-YYYYMMDD-HHMMSSZ.csv in the folder used
  // last, else the user's Documents folder.
  QString suggestedRecordingPath() const;
  // The recording item and "Mark" as the core says (View::showRecording).
  void showRecording(const char* recordText, bool markable);

  // File > "Participants...": asks for a participants file and puts it in
  // force, remembered for the next start; "No participants" forgets it;
  // "Save heard devices as participants..." writes one ready to fill. What
  // they ask with: given a title and a suggested path, the file the
  // operator chose ("" for none). File dialogs unless a test puts
  // something else here.
  std::function<QString(const QString& title, const QString& suggested)> chooseOpenFile;
  std::function<QString(const QString& title, const QString& suggested)> chooseSaveFile;
  void openParticipants();
  void noParticipants();
  void saveHeardAsParticipants();
  // The participants file remembered from an earlier run, put in force.
  void loadRememberedParticipants();
  // File > "Session report...": asks for a recording (the last one made,
  // else in the folder recorded to last) and makes its report.
  void sessionReport();
  QAction* sessionReportAction() const { return sessionReportAction_; }
  QAction* participantsAction() const { return participantsAction_; }
  QAction* noParticipantsAction() const { return noParticipantsAction_; }
  QAction* saveHeardAction() const { return saveHeardAction_; }

  // View > Class display, F11: opens the class display, or closes it when
  // it is open. Null until first opened.
  void toggleClassDisplay();
  ClassDisplayWindow* classDisplay() const { return classDisplay_; }
  QWidget* clientArea() const { return centralWidget(); }

  // The control with this id (a tile for 400 + i), or null.
  QWidget* control(int controlId) const;

  // For measurements: when the environment named a file in
  // KORAVEL_WINDOW_TEXTS as the window was made, writes to it what the
  // dongle line, the Start button, the linked count and the status line
  // read (key=value lines), the whole file at once. The view calls it each
  // time it gives one of them a text; without the file it does nothing.
  void textsChanged();

 Q_SIGNALS:
  // The shutdown has run: the event loop may end.
  void shutdownFinished();

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Paints the window at most once a frame of the screen: at the full line
  // rate the tiles change some 200 times a second, and each change would
  // otherwise be a pass of its own over the window and a flush to the
  // display.
  bool event(QEvent* event) override;

 private:
  void createControls();
  void layoutControls();
  void createMenu();

  ConsoleCore& core_;
  QtView& view_;
  bool shutDown_ = false;

  QLabel* portLabel_ = nullptr;
  QComboBox* portList_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* clearUseless_ = nullptr;
  QPushButton* clearLog_ = nullptr;
  QPushButton* logButton_ = nullptr;
  QLineEdit* dongleLine_ = nullptr;
  QLineEdit* linkedCount_ = nullptr;
  QLabel* statusLine_ = nullptr;
  QTimer watch_;
  QElapsedTimer sincePaint_;
  bool paintHeld_ = false;
  std::array<TileButton*, kTileCount> tiles_{};
  TrafficLog* log_ = nullptr;
  QAction* exit_ = nullptr;
  QAction* about_ = nullptr;
  QAction* classDisplayAction_ = nullptr;
  QAction* recordAction_ = nullptr;
  QAction* markAction_ = nullptr;
  QAction* participantsAction_ = nullptr;
  QAction* noParticipantsAction_ = nullptr;
  QAction* saveHeardAction_ = nullptr;
  QAction* sessionReportAction_ = nullptr;
  ClassDisplayWindow* classDisplay_ = nullptr;
  QString textsFile_;
  bool textsFileFailed_ = false;
};

}  // namespace kv::qt
