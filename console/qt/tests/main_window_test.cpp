// The Linux console end to end: the window and its controls, driven as an
// operator would, against a device played on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QPointer>
#include <QToolTip>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <system_error>

#include "console/qt/about_box.h"
#include "console/qt/class_display_window.h"
#include "console/qt/tile_button.h"
#include "console/qt/traffic_log.h"
#include "qt_test_support.h"

namespace kv::qt::test {
namespace {

using namespace std::chrono_literals;

std::string logText(MainWindow& w) { return w.trafficLog()->text(); }
bool logHas(MainWindow& w, const std::string& s) { return logText(w).find(s) != std::string::npos; }

// Closes every modal box that comes up while it lives, each once handed to
// `inspect`, with `close`.
class ModalCloser {
 public:
  ModalCloser(std::function<void(QWidget*)> inspect, std::function<void(QWidget*)> close)
      : inspect_(std::move(inspect)), close_(std::move(close)) {
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || !modal->isVisible() || modal == last_) return;
      last_ = modal;
      ++seen_;
      inspect_(modal);
      close_(modal);
      if (modal->isVisible()) modal->close();  // never leave a test hanging
    });
    poll_.start(5);
  }
  int seen() const { return seen_; }

 private:
  std::function<void(QWidget*)> inspect_, close_;
  QTimer poll_;
  QPointer<QWidget> last_;
  int seen_ = 0;
};

void pressKey(QWidget* box, Qt::Key key) {
  QWidget* target = QApplication::focusWidget();
  if (target == nullptr || target->window() != box) target = box;
  QTest::keyClick(target, key);
}

using ConsoleWindowTest = ConsoleTest;

TEST_F(ConsoleWindowTest, StartsWithTheControlsInTheirPlaces) {
  MainWindow& w = window();
  EXPECT_EQ(w.windowTitle(), "Koravel  v2.0a");
  EXPECT_EQ(w.size(), QSize(1024, 768));
  EXPECT_EQ(w.minimumSize(), QSize(1024, 768));
  EXPECT_EQ(w.maximumSize(), QSize(1024, 768));
  EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(w.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_EQ(QApplication::style()->name(), "fusion");

  // The menu.
  const auto menus = w.menuBar()->actions();
  ASSERT_EQ(menus.size(), 3);
  EXPECT_EQ(menus[0]->text(), "&File");
  EXPECT_EQ(menus[1]->text(), "&View");
  EXPECT_EQ(menus[2]->text(), "&Help");
  EXPECT_EQ(w.classDisplayAction()->text(), "&Class display");
  EXPECT_EQ(w.classDisplayAction()->shortcut(), QKeySequence(Qt::Key_F11));
  EXPECT_EQ(w.exitAction()->text(), "E&xit");
  EXPECT_EQ(w.aboutAction()->text(), "&About ...");

  // The band at the top; the log and its two buttons stay in the corner.
  EXPECT_EQ(w.portLabel()->text(), "Step 1 : COM Port");
  EXPECT_EQ(w.portLabel()->geometry(), QRect(30, 10, 150, 30));
  EXPECT_EQ(w.portList()->pos(), QPoint(30, 40));
  EXPECT_EQ(w.portList()->width(), 150);
  EXPECT_EQ(w.portList()->currentIndex(), -1);
  EXPECT_TRUE(w.portList()->currentText().isEmpty());
  EXPECT_GE(devicePortIndex(), 0);
  EXPECT_EQ(w.startButton()->text(), "Start ...");
  EXPECT_EQ(w.startButton()->geometry(), QRect(210, 40, 150, 35));
  EXPECT_EQ(w.clearUselessButton()->text(), "Clear Useless");
  EXPECT_EQ(w.clearUselessButton()->geometry(), QRect(390, 40, 150, 35));
  EXPECT_EQ(w.dongleLine()->geometry(), QRect(594, 5, 350, 30));
  EXPECT_EQ(w.linkedCount()->geometry(), QRect(250, 5, 60, 30));
  EXPECT_TRUE(w.dongleLine()->isReadOnly());
  EXPECT_TRUE(w.linkedCount()->isReadOnly());
  EXPECT_TRUE(w.dongleLine()->text().isEmpty());
  EXPECT_TRUE(w.linkedCount()->text().isEmpty());
  EXPECT_EQ(w.clearLogButton()->text(), "Clear Log");
  EXPECT_EQ(w.logButton()->text(), "Stop Log");
  for (QWidget* corner : {static_cast<QWidget*>(w.trafficLog()), static_cast<QWidget*>(w.clearLogButton()),
                          static_cast<QWidget*>(w.logButton())}) {
    EXPECT_EQ(corner->geometry(), QRect(0, 0, 10, 10));
    EXPECT_TRUE(corner->isVisible());
  }
  EXPECT_TRUE(w.trafficLog()->isReadOnly());
  EXPECT_EQ(w.trafficLog()->textLimit(), 2097152);

  // The tiles, by columns.
  EXPECT_EQ(w.tile(0)->geometry(), QRect(10, 76, 246, 58));
  EXPECT_EQ(w.tile(9)->geometry(), QRect(10, 643, 246, 58));
  EXPECT_EQ(w.tile(10)->geometry(), QRect(256, 76, 246, 58));
  EXPECT_EQ(w.tile(39)->geometry(), QRect(748, 643, 246, 58));
  for (int i = 0; i < kTileCount; ++i) {
    TileButton* tile = w.tile(i);
    EXPECT_EQ(tile->geometry(), QRect(10 + 246 * (i / 10), 76 + 63 * (i % 10), 246, 58)) << i;
    EXPECT_EQ(tile->text(), "empty");
    EXPECT_TRUE(tile->toolTip().isEmpty());
    EXPECT_EQ(tile->parentWidget(), w.clientArea());
  }
  // Everything sits in the client area, below the menu.
  EXPECT_EQ(w.portLabel()->parentWidget(), w.clientArea());
  EXPECT_GE(w.clientArea()->y(), w.menuBar()->height());
}

// The status line's longest texts, with the simulator's link in a user's
// port folder as the port, wrap within its place: nothing is cut off.
TEST_F(ConsoleWindowTest, TheLongestStatusTextsFitInTheStatusLine) {
  QLabel* line = window().statusLine();
  EXPECT_EQ(line->geometry(), QRect(560, 40, 434, 34));
  EXPECT_TRUE(line->wordWrap());
  StatusFacts open;
  std::snprintf(open.port.name, sizeof open.port.name, "/run/user/1000/koravel/dongle-sim-4194303");
  open.port.open = true;
  open.scanning = true;
  open.port.lastInputMs = 1;
  open.nowMs = 3600 * 1000 + 1;  // an hour of nothing
  StatusFacts lost = open;
  lost.port.open = false;
  lost.port.lost = true;
  StatusFacts refused = lost;
  refused.port.lost = false;
  refused.port.failed = true;
  refused.port.failRc = EACCES;
  StatusFacts ownTerminal = refused;
  ownTerminal.port.failRc = kOwnTerminalRc;
  StatusFacts unanswered = open;
  unanswered.noAnswer = true;
  // What opening the list may have to say while nothing is open.
  StatusFacts denied;
  denied.listHint =
      "Port /run/user/1000/koravel/dongle-sim-4194303: permission denied: add your user to the dialout group (then "
      "log in again)";
  StatusFacts folder;
  folder.listHint = "Port folder /run/user/1000/koravel not used: it is a symbolic link, not a folder of this "
                    "user's own";
  for (const StatusFacts& facts : {open, lost, refused, ownTerminal, unanswered, denied, folder}) {
    char text[kStatusTextSize];
    formatStatus(facts, text);
    session->view.setStatusLine(text);
    EXPECT_LE(line->heightForWidth(line->width()), line->height()) << text;
  }
}

TEST_F(ConsoleWindowTest, PickingThePortSendsTheResetAtOnceAndTheConfigRequest150MsLater) {
  bool eventRan = false;
  QMetaObject::invokeMethod(&window(), [&] { eventRan = true; }, Qt::QueuedConnection);
  const Clock::time_point picked = Clock::now();
  window().choosePort(devicePortIndex());
  const Clock::time_point returned = Clock::now();
  // The wait served the writer (whose echo goes to the log before it
  // writes) and nothing else.
  EXPECT_FALSE(eventRan);
  EXPECT_GE(returned - picked, 150ms);

  ASSERT_TRUE(spinUntil([&] { return device.count() >= 2; })) << device.count() << " frames; log: " << logText(window());
  const auto frames = device.frames();
  EXPECT_EQ(frames[0].bytes, kSoftReset);
  EXPECT_EQ(frames[1].bytes, kConfigRequest);
  const auto gap = frames[1].at - frames[0].at;
  EXPECT_GE(gap, 140ms) << std::chrono::duration<double, std::milli>(gap).count();
  EXPECT_LT(frames[0].at - picked, 100ms);
  EXPECT_GE(frames[1].at - picked, 150ms);

  const std::string log = logText(window());
  const auto opened = log.find("Port " + device.path() + " opened\r\n");
  const auto reset = log.find("SoftReset Dongle\r\n");
  const auto config = log.find("ask Dongle Config data\r\n");
  ASSERT_NE(opened, std::string::npos);
  ASSERT_NE(reset, std::string::npos);
  ASSERT_NE(config, std::string::npos);
  EXPECT_LT(opened, reset);
  EXPECT_LT(reset, config);

  // The answer to the reset, then the configuration.
  device.sendAck();
  ASSERT_TRUE(spinUntil([&] { return core().words.swallowNextAck == 0; }));
  device.sendConfig("MiraDongle", "D8A01D5C3E71", 2, 7);
  EXPECT_TRUE(spinUntil([&] { return !window().dongleLine()->text().isEmpty(); }));
  EXPECT_EQ(window().dongleLine()->text(), "MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07");
  EXPECT_EQ(window().portList()->currentIndex(), devicePortIndex());
}

TEST_F(ConsoleWindowTest, StartReportsTileClicksAndStop) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();

  std::size_t from = device.count();
  w.startButton()->click();
  EXPECT_EQ(w.startButton()->text(), "scanning");
  ASSERT_GE(waitForFrame(kStartAdv, from), 0);
  device.sendAck();
  ASSERT_TRUE(spinUntil([&] { return w.startButton()->text() == "Stop !!!"; }));
  EXPECT_EQ(core().words.scanning, 1);

  device.sendReport("Mirabeat One", "0A1B2C3D4E5F", 72, 830, 90);
  device.sendReport("Polar H10", "AABBCCDDEEFF", 61, 900, 80);  // refused
  device.sendReport("Pulse Two", "112233445566", 60, 0, 50);
  ASSERT_TRUE(spinUntil([&] { return w.tile(1)->text() == "Pulse Two\n\n"; }));
  EXPECT_EQ(w.tile(0)->text(), "Mirabeat One\n\n");
  EXPECT_EQ(w.tile(2)->text(), "empty");
  ASSERT_TRUE(spinUntil([&] { return w.tile(1)->hoverTextOn(); }));
  EXPECT_EQ(w.tile(0)->toolTip(), "0A:1B:2C:3D:4E:5F");
  EXPECT_EQ(w.tile(1)->toolTip(), "11:22:33:44:55:66");
  EXPECT_FALSE(w.tile(2)->hoverTextOn());

  // Linking: the count follows; the next report shows the readings.
  QTest::mouseClick(w.tile(0), Qt::LeftButton);
  EXPECT_EQ(w.linkedCount()->text(), "1");
  w.tile(1)->click();
  EXPECT_EQ(w.linkedCount()->text(), "2");
  device.sendReport("Mirabeat One", "0A1B2C3D4E5F", 73, 820, 89);
  EXPECT_TRUE(spinUntil([&] { return w.tile(0)->text() == "Mirabeat One\nHR: 73 , RR: 820\nBat: 89%"; }))
      << w.tile(0)->text().toStdString();
  // Unlinking shows the name alone; a free tile's click changes nothing.
  w.tile(1)->click();
  EXPECT_EQ(w.linkedCount()->text(), "1");
  EXPECT_EQ(w.tile(1)->text(), "Pulse Two\n\n");
  w.tile(5)->click();
  EXPECT_EQ(w.linkedCount()->text(), "1");
  EXPECT_EQ(w.tile(5)->text(), "empty");

  // Stop: the ack resets the roster.
  from = device.count();
  w.startButton()->click();
  EXPECT_EQ(w.startButton()->text(), "Start scan / Link");
  ASSERT_GE(waitForFrame(kSoftReset, from), 0);
  device.sendAck();
  ASSERT_TRUE(spinUntil([&] { return w.startButton()->text() == "Start ..."; }));
  EXPECT_EQ(core().words.scanning, 0);
  EXPECT_TRUE(w.linkedCount()->text().isEmpty());
  for (int i = 0; i < kTileCount; ++i) {
    EXPECT_EQ(w.tile(i)->text(), "empty") << i;
    EXPECT_FALSE(w.tile(i)->hoverTextOn()) << i;
    EXPECT_TRUE(w.tile(i)->toolTip().isEmpty()) << i;
  }
}

TEST_F(ConsoleWindowTest, AStartThatNoDongleAnswersIsToldAndTheButtonWorksAgain) {
  MainWindow& w = window();
  const QString port = QString::fromStdString("Port " + device.path());
  // Nobody answers the reset or the configuration request.
  w.choosePort(devicePortIndex());
  ASSERT_GE(waitForFrame(kConfigRequest, 0), 0);
  EXPECT_EQ(w.statusLine()->text(), port + " open");

  std::size_t from = device.count();
  w.startButton()->click();
  const Clock::time_point pressed = Clock::now();
  EXPECT_EQ(w.startButton()->text(), "scanning");
  ASSERT_GE(waitForFrame(kStartAdv, from), 0);
  const double limit = kAckWaitMs / 1000.0 + kWatchTickS + kLoadMarginS;
  ASSERT_TRUE(spinUntil([&] { return w.statusLine()->text() == port + ": no answer from the dongle"; }, boundMs(limit)))
      << w.statusLine()->text().toStdString();
  const double toldAfter = secondsSince(pressed);
  std::printf("no answer told %.2f s after Start\n", toldAfter);
  EXPECT_GE(toldAfter, kAckWaitMs / 1000.0 - 0.05);
  EXPECT_EQ(w.startButton()->text(), "Start ...");
  EXPECT_TRUE(w.startButton()->isEnabled());
  EXPECT_EQ(core().words.scanning, 0);

  // Pressed again, and this time the dongle answers.
  from = device.count();
  w.startButton()->click();
  ASSERT_GE(waitForFrame(kStartAdv, from), 0);
  device.sendAck();
  ASSERT_TRUE(spinUntil([&] { return w.startButton()->text() == "Stop !!!"; }));
  EXPECT_EQ(core().words.scanning, 1);
  EXPECT_TRUE(spinUntil([&] { return w.statusLine()->text() == port + " open, scanning"; },
                        boundMs(kWatchTickS + kLoadMarginS)))
      << w.statusLine()->text().toStdString();
}

// For measurements (bench/program-bench tells a click's effect by them):
// with KORAVEL_WINDOW_TEXTS named, its file holds what the dongle line, the
// Start button, the linked count and the status line read, after each
// change.
TEST_F(ConsoleWindowTest, TheWindowsTextsGoToTheFileNamedForMeasurements) {
  const std::string path = ::testing::TempDir() + "koravel-window-texts-" + std::to_string(getpid());
  std::remove(path.c_str());
  // The window reads the variable when it is made.
  session->finish();
  session.reset();
  setenv("KORAVEL_WINDOW_TEXTS", path.c_str(), 1);
  session = std::make_unique<ConsoleSession>();
  unsetenv("KORAVEL_WINDOW_TEXTS");
  session->view.addPort(device.path().c_str());
  ASSERT_TRUE(session->start());
  auto texts = [&path] {
    std::map<std::string, std::string> read;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) read[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return read;
  };
  const std::string port = "Port " + device.path();
  EXPECT_EQ(texts(), (std::map<std::string, std::string>{{"dongle_line", ""},
                                                          {"start", "Start ..."},
                                                          {"linked", ""},
                                                          {"status", "No port open: pick the dongle's port in the list"}}));

  ASSERT_NO_FATAL_FAILURE(openDevice());
  EXPECT_EQ(texts()["dongle_line"], "MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07");
  EXPECT_EQ(texts()["status"], port + " open");
  // Pressed, the button reads "scanning" until the ack.
  window().startButton()->click();
  EXPECT_EQ(texts()["start"], "scanning");
  ASSERT_GE(waitForFrame(kStartAdv, 0), 0);
  device.sendAck();
  ASSERT_TRUE(spinUntil([&] { return texts()["start"] == "Stop !!!"; }));
  EXPECT_TRUE(spinUntil([&] { return texts()["status"] == port + " open, scanning"; },
                        boundMs(kWatchTickS + kLoadMarginS)))
      << texts()["status"];
  device.sendReport("Mirabeat One", "0A1B2C3D4E5F", 72, 830, 90);
  ASSERT_TRUE(spinUntil([&] { return window().tile(0)->text() == "Mirabeat One\n\n"; }));
  window().tile(0)->click();
  EXPECT_EQ(texts()["linked"], "1");
  std::remove(path.c_str());
}

TEST_F(ConsoleWindowTest, HoverTextsShowOnlyWhileSwitchedOn) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  device.sendReport("Mirabeat One", "0A1B2C3D4E5F", 72, 830, 90);
  ASSERT_TRUE(spinUntil([&] { return w.tile(0)->hoverTextOn(); }));

  auto askForHoverText = [&](TileButton* tile) {
    QToolTip::hideText();
    spinUntil([] { return !QToolTip::isVisible(); }, 1000);
    const QPoint at = tile->rect().center();
    QHelpEvent help(QEvent::ToolTip, at, tile->mapToGlobal(at));
    QApplication::sendEvent(tile, &help);
    return QToolTip::isVisible() ? QToolTip::text() : QString();
  };
  EXPECT_EQ(askForHoverText(w.tile(0)), "0A:1B:2C:3D:4E:5F");
  EXPECT_EQ(askForHoverText(w.tile(1)), "");

  // "Clear Useless" frees the unlinked tile and switches every hover text
  // off; the device's next report switches its own back on.
  w.clearUselessButton()->click();
  EXPECT_FALSE(w.tile(0)->hoverTextOn());
  EXPECT_EQ(askForHoverText(w.tile(0)), "");
  device.sendReport("Pulse Two", "112233445566", 60, 0, 50);
  ASSERT_TRUE(spinUntil([&] { return w.tile(0)->hoverTextOn(); }));
  EXPECT_EQ(askForHoverText(w.tile(0)), "11:22:33:44:55:66");

  // With another window active, hovering over a tile still shows its hover
  // text (as the Windows program's always-shown tool tips do).
  QToolTip::hideText();
  QWidget other;
  other.setGeometry(0, 0, 200, 100);
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  ASSERT_FALSE(w.isActiveWindow());
  // The mouse stays where it is left, for the next test's window too: it is
  // left off the tiles.
  struct OffTheTiles {
    MainWindow& w;
    ~OffTheTiles() { QTest::mouseMove(w.portLabel(), QPoint(2, 2)); }
  } offTheTiles{w};
  QTest::mouseMove(w.tile(5), w.tile(5)->rect().center());
  QTest::mouseMove(w.tile(0), w.tile(0)->rect().center());
  EXPECT_TRUE(spinUntil([] { return QToolTip::isVisible() && QToolTip::text() == "11:22:33:44:55:66"; }))
      << "shown: " << QToolTip::isVisible() << " " << QToolTip::text().toStdString();
  EXPECT_FALSE(w.isActiveWindow());
  QToolTip::hideText();
}

TEST_F(ConsoleWindowTest, AnAmpersandInADeviceNameIsShownAndIsNoShortcut) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  device.sendReport("Team&Go 7", "0A1B2C3D4E5F", 72, 830, 90);
  ASSERT_TRUE(spinUntil([&] { return w.tile(0)->text() != "empty"; }));
  EXPECT_EQ(w.tile(0)->text(), "Team&&Go 7\n\n");
  // A mnemonic would press the tile at once (and release it 100 ms later).
  int presses = 0;
  QObject::connect(w.tile(0), &QPushButton::pressed, [&] { ++presses; });
  QTest::keyClick(&w, Qt::Key_G, Qt::AltModifier);
  EXPECT_EQ(presses, 0);
  EXPECT_TRUE(w.linkedCount()->text().isEmpty());
}

TEST_F(ConsoleWindowTest, ClearUselessFreesUnlinkedTilesAndPacksTheLinkedOnes) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();
  device.sendReport("Pulse A", "A00000000001", 60, 700, 50);
  device.sendReport("Pulse B", "B00000000002", 61, 710, 51);
  device.sendReport("Mirabeat C", "C00000000003", 62, 720, 52);
  ASSERT_TRUE(spinUntil([&] { return w.tile(2)->text() == "Mirabeat C\n\n"; }));
  w.tile(2)->click();
  ASSERT_EQ(w.linkedCount()->text(), "1");

  w.clearUselessButton()->click();
  EXPECT_EQ(w.tile(0)->text(), "Mirabeat C\nHR: 62 , RR: 720\nBat: 52%");
  EXPECT_EQ(w.tile(1)->text(), "empty");
  EXPECT_EQ(w.tile(2)->text(), "empty");
  std::uint8_t brand = 99;
  EXPECT_TRUE(core().roster.linkedBrand(0, &brand));
  EXPECT_EQ(brand, 0);
  // The freed devices come back to the lowest free tiles with their reports.
  device.sendReport("Pulse B", "B00000000002", 61, 710, 51);
  EXPECT_TRUE(spinUntil([&] { return w.tile(1)->text() == "Pulse B\n\n"; }));
}

TEST_F(ConsoleWindowTest, TheLogPausesClearsAndTrimsItself) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();
  ASSERT_TRUE(logHas(w, "got dongle config data"));

  // Paused: no command echo and no "trust" line; protocol events still.
  w.logButton()->click();
  EXPECT_EQ(w.logButton()->text(), "Start Log");
  EXPECT_EQ(core().words.logPaused, 1);
  w.clearLogButton()->click();
  EXPECT_EQ(logText(w), "");
  EXPECT_TRUE(w.trafficLog()->toPlainText().isEmpty());
  ASSERT_NO_FATAL_FAILURE(startScan());
  device.sendReport("Mirabeat One", "0A1B2C3D4E5F", 72, 830, 90);
  ASSERT_TRUE(spinUntil([&] { return w.tile(0)->text() != "empty"; }));
  spinFor(50);
  EXPECT_EQ(logText(w), "\r\n>> got dongle ack\r\n");

  w.logButton()->click();
  EXPECT_EQ(w.logButton()->text(), "Stop Log");
  EXPECT_EQ(core().words.logPaused, 0);
  device.sendReport("Mirabeat One", "0A1B2C3D4E5F", 74, 830, 90);
  EXPECT_TRUE(spinUntil([&] { return logHas(w, "\r\ntrust, 74, 90\r\n"); }));
  // A log-button notification other than a click does nothing.
  w.command(id::kLogButton, 1);
  EXPECT_EQ(w.logButton()->text(), "Stop Log");

  // Trimming: the caret's line index may reach 800; at 801 the first 4000
  // characters go. A trim leaves the pause as it was.
  w.clearLogButton()->click();
  char line[32];
  for (int i = 0; i < 800; ++i) {
    std::snprintf(line, sizeof line, "line %04d\r\n", i);
    session->view.appendLog(line);
  }
  EXPECT_EQ(w.trafficLog()->caretLine(), 800u);
  EXPECT_EQ(w.trafficLog()->length(), 8800);
  w.trafficLog()->showPending();  // the trim then cuts the widget's text too
  w.logButton()->click();  // paused
  session->view.appendLog("line 0800\r\n");
  EXPECT_EQ(w.trafficLog()->length(), 8811 - 4000);
  EXPECT_EQ(core().words.logPaused, 1);
  const std::string trimmed = logText(w);
  EXPECT_EQ(trimmed.substr(trimmed.size() - 11), "line 0800\r\n");
  // 363 whole lines and "line 03" of the next went.
  EXPECT_EQ(trimmed.substr(0, 13), "63\r\nline 0364") << trimmed.substr(0, 20);
  EXPECT_EQ(w.trafficLog()->caretLine(), 438u);
  // The widget shows the same text, also after a cut between "\r" and "\n"
  // (the "\n" left in front is a line break of its own).
  auto widgetShowsTheText = [&] {
    w.trafficLog()->showPending();
    QString shown = QString::fromLatin1(logText(w).c_str());
    shown.replace("\r\n", "\n");
    return w.trafficLog()->toPlainText() == shown;
  };
  EXPECT_TRUE(widgetShowsTheText());
  w.trafficLog()->trimFront(static_cast<int>(logText(w).find('\r')) + 1);
  EXPECT_EQ(logText(w).substr(0, 10), "\nline 0364");
  EXPECT_TRUE(widgetShowsTheText());
  w.logButton()->click();
  for (int i = 0; i < 3000; ++i) session->view.appendLog("x\r\n");
  EXPECT_LE(w.trafficLog()->caretLine(), 800u);
  EXPECT_EQ(core().words.logPaused, 0);

  // After a quiet spell a line shows at once, in the same turn of the event
  // loop as what brought it; one close behind it shows by the timer.
  w.clearLogButton()->click();
  spinFor(TrafficLog::kShowEveryMs + 10);
  session->view.appendLog("first\r\n");
  EXPECT_EQ(w.trafficLog()->toPlainText(), "first\n");
  session->view.appendLog("second\r\n");
  EXPECT_TRUE(spinUntil([&] { return w.trafficLog()->toPlainText() == "first\nsecond\n"; }));
}

TEST_F(ConsoleWindowTest, ALogOutOfSpaceIsToldAndShutsTheConsoleDown) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();
  QStringList texts, captions;
  QList<QMessageBox::Icon> icons;
  ModalCloser closer(
      [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        texts << box->text();
        captions << box->windowTitle();
        icons << box->icon();
      },
      [](QWidget* modal) { pressKey(modal, Qt::Key_Return); });
  const std::size_t from = device.count();
  // One long line: no trim can make room.
  const std::string big(static_cast<std::size_t>(kLogTextLimit), 'x');
  session->view.appendLog(big.c_str());
  ASSERT_EQ(closer.seen(), 1);
  EXPECT_EQ(texts[0], "info. out of space.");
  EXPECT_EQ(captions[0], "Stridon");
  EXPECT_EQ(icons[0], QMessageBox::Critical);
  EXPECT_EQ(w.trafficLog()->length(), kLogTextLimit);
  // The shutdown was queued: it runs from the event loop.
  EXPECT_FALSE(w.shutDown());
  EXPECT_TRUE(spinUntil([&] { return w.shutDown(); }));
  EXPECT_GE(waitForFrame(kSoftReset, from, 1000), 0);
  std::printf("out-of-space boxes shown: %d\n", closer.seen());
}

TEST_F(ConsoleWindowTest, TheAboutBoxOpensFromTheMenuAndBothShortcutsAndClosesWithEnterOrEscape) {
  MainWindow& w = window();
  struct Way {
    const char* name;
    std::function<void()> open;
    Qt::Key closeKey;
  };
  const Way ways[] = {
      {"menu", [&] { w.aboutAction()->trigger(); }, Qt::Key_Return},
      {"Alt+?", [&] { QTest::keyClick(&w, Qt::Key_Question, Qt::AltModifier); }, Qt::Key_Escape},
      {"Alt+/", [&] { QTest::keyClick(&w, Qt::Key_Slash, Qt::AltModifier); }, Qt::Key_Enter},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    // Focus does not come back by itself when a box closes.
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    bool closed = false;
    ModalCloser closer(
        [&](QWidget* modal) {
          auto* box = qobject_cast<AboutBox*>(modal);
          ASSERT_NE(box, nullptr);
          EXPECT_EQ(box->windowTitle(), "About");
          EXPECT_EQ(box->textLabel()->text(), "Koravel Version 2.0a");
          EXPECT_FALSE(box->iconLabel()->pixmap().isNull());
          EXPECT_EQ(box->okButton()->text(), "OK");
        },
        [&](QWidget* modal) {
          pressKey(modal, way.closeKey);
          closed = !modal->isVisible();
        });
    way.open();  // returns when the box has closed
    EXPECT_EQ(closer.seen(), 1);
    EXPECT_TRUE(closed);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  }
}

// Counts the Show events of the object it watches.
class ShowCounter : public QObject {
 public:
  int shows = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Show) ++shows;
    return false;
  }
};

TEST(ConsoleStartTest, AWriterThreadTheSystemRefusesEndsTheRunWithStatus1AndNoWindow) {
  LinkPlatform refusing;
  refusing.startThread = [](std::thread&, void (*)(Link*), Link*) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  ConsoleSession session(refusing);
  ShowCounter counter;
  session.window.installEventFilter(&counter);
  // Should the event loop run after all, it ends here rather than hang.
  bool loopRan = false;
  QTimer guard;
  QObject::connect(&guard, &QTimer::timeout, [&] {
    loopRan = true;
    QCoreApplication::quit();
  });
  guard.start(0);
  EXPECT_EQ(session.exec(), 1);
  EXPECT_FALSE(loopRan);
  EXPECT_EQ(counter.shows, 0);
  EXPECT_TRUE(session.window.shutDown());
}

class ShutdownTest : public ConsoleTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ShutdownTest, ExitAndClosingTheWindowSendTheResetWithinTheWaitAndEndTheLoop) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  ASSERT_NO_FATAL_FAILURE(startScan());
  MainWindow& w = window();
  int finished = 0;
  QObject::connect(&w, &MainWindow::shutdownFinished, [&] { ++finished; });
  const std::size_t from = device.count();
  const Clock::time_point t0 = Clock::now();
  if (std::string(GetParam()) == "exit") {
    w.exitAction()->trigger();
  } else {
    w.close();
  }
  const Clock::time_point t1 = Clock::now();
  EXPECT_EQ(finished, 1);
  EXPECT_TRUE(w.shutDown());
  EXPECT_FALSE(w.isVisible());
  EXPECT_GE(t1 - t0, 300ms);
  EXPECT_LT(t1 - t0, 600ms);
  // The reset went out during the wait.
  const int reset = device.find(kSoftReset, from);
  ASSERT_GE(reset, 0);
  EXPECT_LT(device.frames()[static_cast<std::size_t>(reset)].at, t1);
  // A second close does not run it again; then the link stops cleanly.
  w.close();
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(core().link.stopLink(), 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, ShutdownTest, ::testing::Values("exit", "close"));

// Colours of the pixel left of the text, in the tile's middle row.
QColor fillPixel(TileButton* tile) { return tile->grab().toImage().pixelColor(12, tile->height() / 2); }

TEST_F(ConsoleWindowTest, LinkedTilesArePaintedInTheirBrandColourWhileTheScanRuns) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  device.sendReport("Mirabeat One", "0A1B2C3D4E5F", 72, 830, 90);
  device.sendReport("Pulse Two", "112233445566", 60, 0, 50);
  device.sendReport("Mirabeat Three", "333333333333", 60, 0, 50);
  ASSERT_TRUE(spinUntil([&] { return w.tile(2)->text() != "empty"; }));
  w.tile(0)->click();
  w.tile(1)->click();
  const QColor standard = fillPixel(w.tile(2));

  // Not scanning yet: the standard look.
  EXPECT_EQ(fillPixel(w.tile(0)), standard);
  ASSERT_NO_FATAL_FAILURE(startScan());
  EXPECT_EQ(fillPixel(w.tile(0)), QColor(0, 128, 255));
  EXPECT_EQ(fillPixel(w.tile(1)), QColor(213, 64, 183));
  EXPECT_EQ(fillPixel(w.tile(2)), standard);  // idle
  EXPECT_EQ(fillPixel(w.tile(3)), standard);  // free
  // The one-pixel black outline.
  const QImage image = w.tile(0)->grab().toImage();
  EXPECT_EQ(image.pixelColor(0, 29), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(245, 29), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(123, 0), QColor(Qt::black));
  EXPECT_EQ(image.pixelColor(123, 57), QColor(Qt::black));
  EXPECT_NE(image.pixelColor(0, 0), QColor(Qt::black));  // rounded corner

  // Under the mouse: the darker colour, and back.
  QTest::mouseMove(w.tile(0), QPoint(40, 20));
  ASSERT_TRUE(spinUntil([&] { return w.tile(0)->underMouse(); }));
  EXPECT_EQ(fillPixel(w.tile(0)), QColor(11, 53, 189));
  QTest::mouseMove(w.tile(1), QPoint(40, 20));
  ASSERT_TRUE(spinUntil([&] { return w.tile(1)->underMouse(); }));
  EXPECT_EQ(fillPixel(w.tile(1)), QColor(166, 36, 140));
  EXPECT_EQ(fillPixel(w.tile(0)), QColor(0, 128, 255));
}

// The class display: opened and closed by F11, the linked devices in their
// brand's colour, one that falls silent greyed. With KV_SCREENSHOT_DIR set it
// leaves pictures of 4 and 40 devices at 1920 x 1080 there.
TEST_F(ConsoleWindowTest, TheClassDisplayShowsTheLinkedDevicesBigAndGreysTheSilent) {
  ASSERT_NO_FATAL_FAILURE(openDevice());
  MainWindow& w = window();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QTest::keyClick(&w, Qt::Key_F11);
  ClassDisplayWindow* display = w.classDisplay();
  ASSERT_NE(display, nullptr);
  ASSERT_TRUE(display->isVisible());
  EXPECT_EQ(display->windowTitle(), "Koravel class display");
  EXPECT_FALSE(display->isFullScreen());  // one screen: a normal window
  EXPECT_EQ(display->cellCount(), 0);

  char name[32], address[16];
  auto report = [&](int i, int hr) {
    std::snprintf(name, sizeof name, i % 3 == 1 ? "Coros %d" : "Mirabeat %d", i + 1);
    std::snprintf(address, sizeof address, "C0FFEE%06d", i);
    device.sendReport(name, address, hr, 60000 / hr, i == 2 ? 9 : 80);
  };
  for (int i = 0; i < 4; ++i) report(i, 60 + 7 * i);
  ASSERT_TRUE(spinUntil([&] { return w.tile(3)->text() != "empty"; }));
  for (int i = 0; i < 4; ++i) w.tile(i)->click();
  ASSERT_NO_FATAL_FAILURE(startScan());
  ASSERT_TRUE(spinUntil([&] { return display->cellCount() == 4; }));
  EXPECT_STREQ(display->cell(2).detail, "RR 810 ms   LOW BATTERY 9 %");
  display->resize(1920, 1080);
  const auto cellPixel = [&](int i, int count) {
    const CellRect r = cellRect(cellGrid(count, 1920, 1080), i, 1920, 1080);
    return display->grab().toImage().pixelColor(r.x + 3, r.y + 3);
  };
  ASSERT_TRUE(spinUntil([&] { return display->size() == QSize(1920, 1080); }));
  EXPECT_EQ(cellPixel(0, 4), QColor(0, 128, 255));
  EXPECT_EQ(cellPixel(1, 4), QColor(213, 64, 183));
  const QString shots = qEnvironmentVariable("KV_SCREENSHOT_DIR");
  if (!shots.isEmpty()) display->grab().save(shots + "/class-display-4-qt.png");

  // Unlinked: it leaves.
  w.tile(1)->click();
  ASSERT_TRUE(spinUntil([&] { return display->cellCount() == 3; }));
  EXPECT_EQ(display->cell(1).slot, 2);

  // Silent: the devices not heard for 5 s are grey; one kept live is not.
  QElapsedTimer quiet;
  quiet.start();
  ASSERT_TRUE(spinUntil([&] {
    if (quiet.elapsed() % 500 < 20) report(0, 61);
    return display->cellCount() == 3 && display->cell(1).silent;
  }, boundMs(kLinkedSilentAfterMs / 1000.0 + kWatchTickS + kLoadMarginS + 1)));
  EXPECT_FALSE(display->cell(0).silent);
  EXPECT_STREQ(display->cell(1).heartRate, "silent");
  EXPECT_EQ(cellPixel(1, 3), QColor(150, 150, 150));
  EXPECT_EQ(cellPixel(0, 3), QColor(0, 128, 255));

  // 40 at once, for the picture.
  for (int i = 0; i < kTileCount; ++i) report(i, 55 + i * 3);
  ASSERT_TRUE(spinUntil([&] { return w.tile(kTileCount - 1)->text() != "empty"; }));
  for (int i = 0; i < kTileCount; ++i)
    if (i != 0 && i != 2 && i != 3) w.tile(i)->click();
  ASSERT_TRUE(spinUntil([&] { return display->cellCount() == kTileCount; }));
  EXPECT_EQ(cellPixel(39, kTileCount), QColor(0, 128, 255));
  if (!shots.isEmpty()) display->grab().save(shots + "/class-display-40-qt.png");

  // F11 inside it closes it, and opens it again from the console; Escape
  // leaves full screen.
  QTest::keyClick(display, Qt::Key_F11);
  EXPECT_FALSE(display->isVisible());
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QTest::keyClick(&w, Qt::Key_F11);
  EXPECT_TRUE(display->isVisible());
  display->showFullScreen();
  ASSERT_TRUE(spinUntil([&] { return display->isFullScreen(); }));
  QTest::keyClick(display, Qt::Key_Escape);
  EXPECT_TRUE(spinUntil([&] { return !display->isFullScreen(); }));
  EXPECT_TRUE(display->isVisible());
}

TEST_F(ConsoleWindowTest, RecordReadingsAsksForAFileMarksWithF9AndStopsWithCtrlR) {
  MainWindow& w = window();
  const QString folder = QDir::temp().filePath(QString("kv-qt-record-%1").arg(QCoreApplication::applicationPid()));
  QDir(folder).removeRecursively();
  ASSERT_TRUE(QDir().mkpath(folder));
  QString suggested;
  const QString path = folder + "/class.csv";
  w.chooseRecordingFile = [&](const QString& s) {
    suggested = s;
    return MainWindow::RecordingChoice{path, false};
  };
  EXPECT_EQ(w.recordAction()->text(), "Record readings...");
  EXPECT_EQ(w.recordAction()->shortcut(), QKeySequence("Ctrl+R"));
  EXPECT_EQ(w.markAction()->shortcut(), QKeySequence(Qt::Key_F9));
  EXPECT_FALSE(w.markAction()->isEnabled());
  // In the File menu, above Exit.
  const QList<QAction*> file = w.exitAction()->associatedObjects().isEmpty()
                                   ? QList<QAction*>{}
                                   : qobject_cast<QMenu*>(w.exitAction()->associatedObjects().first())->actions();
  ASSERT_GE(file.size(), 3);
  EXPECT_EQ(file.indexOf(w.recordAction()), 0);
  EXPECT_EQ(file.indexOf(w.markAction()), 1);
  EXPECT_EQ(file.last(), w.exitAction());

  ASSERT_NO_FATAL_FAILURE(openDevice());
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QTest::keyClick(&w, Qt::Key_R, Qt::ControlModifier);
  EXPECT_TRUE(QFileInfo(suggested).fileName().startsWith("koravel-"));
  EXPECT_TRUE(suggested.endsWith("Z.csv"));
  EXPECT_EQ(w.recordAction()->text(), "Stop recording");
  EXPECT_TRUE(w.markAction()->isEnabled());
  device.sendReport("Zo\xc3\xab", "C0FFEE000001", 77, 779, 80);
  ASSERT_TRUE(spinUntil([&] { return core().recording.stats().rows == 1; }));
  QTest::keyClick(&w, Qt::Key_F9);
  EXPECT_EQ(w.statusLine()->text(), "Mark 1");
  device.sendReport("Zo\xc3\xab", "C0FFEE000001", 78, 769, 80);
  ASSERT_TRUE(spinUntil([&] { return core().recording.stats().rows == 2; }));
  ASSERT_TRUE(spinUntil([&] { return w.statusLine()->text() == "Recording to class.csv: 2 rows"; },
                        boundMs(kMarkShownMs / 1000.0 + kWatchTickS + kLoadMarginS)));
  QTest::keyClick(&w, Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(w.recordAction()->text(), "Record readings...");
  EXPECT_FALSE(w.markAction()->isEnabled());
  EXPECT_EQ(w.statusLine()->text(), "Recording saved: 2 rows in " + path + "; File > Session report makes its report");
  // File > Session report: the recording just made is suggested; its page
  // is made beside it and opened.
  QString offered;
  w.chooseOpenFile = [&](const QString&, const QString& suggested) {
    offered = suggested;
    return suggested;
  };
  std::string opened;
  session->view.opener = [&](const char* page) { opened = page; };
  w.sessionReportAction()->trigger();
  EXPECT_EQ(offered, path);
  EXPECT_EQ(w.statusLine()->text(), "Making the session report of class.csv ...");
  ASSERT_TRUE(spinUntil([&] { return !opened.empty(); }, boundMs(kWatchTickS + kLoadMarginS + 2)));
  EXPECT_EQ(opened, (folder + "/class.html").toStdString());
  EXPECT_EQ(w.statusLine()->text(), "Session report: " + folder + "/class.html");
  QFile page(folder + "/class.html");
  ASSERT_TRUE(page.open(QIODevice::ReadOnly));
  EXPECT_TRUE(page.readAll().contains("Zo\xc3\xab"));
  QFile csv(path);
  ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
  const QByteArray text = csv.readAll();
  EXPECT_EQ(text.count("\r\n"), 5);  // the header, the dongle, two readings and the marker
  EXPECT_TRUE(text.contains(",,MiraDongle @D8:A0:1D:5C:3E:71  Ver. 2.07,dongle,,,,,,,,,,\r\n"));
  EXPECT_TRUE(text.contains(",C0FFEE000001,Zo\xc3\xab,other,77,779,80,"));
  EXPECT_TRUE(text.contains(",,,,,,,,,1,,,,\r\n"));
  // The next suggestion is in the folder used last.
  EXPECT_EQ(QFileInfo(w.suggestedRecordingPath()).absolutePath(), QFileInfo(path).absolutePath());
  // A file that cannot be made is said, and nothing records.
  w.chooseRecordingFile = [&](const QString&) { return MainWindow::RecordingChoice{folder + "/no/such/x.csv", false}; };
  w.recordAction()->trigger();
  EXPECT_EQ(w.recordAction()->text(), "Record readings...");
  EXPECT_TRUE(w.statusLine()->text().startsWith("Cannot record to " + folder + "/no/such/x.csv: "));
  QDir(folder).removeRecursively();
}

TEST_F(ConsoleWindowTest, ParticipantsOnTheClassDisplayTheirZonesAndTheFileReadAgainAndRemembered) {
  MainWindow& w = window();
  const QString folder = QDir::temp().filePath(QString("kv-qt-people-%1").arg(QCoreApplication::applicationPid()));
  QDir(folder).removeRecursively();
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString path = folder + "/class.csv";
  auto write = [&](const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
  };
  // As Excel writes it where the decimal separator is a comma.
  QByteArray people = "\xEF\xBB\xBFname;address;max_hr;age\r\n"
                      "Zo\xC3\xAB;C0:FF:EE:00:00:00;200;\r\n"
                      "Ben;C0FFEE000001;;40\r\n";
  const char* names[] = {"Chi\xE1\xBB\x8B Lan", "Amara", "Jos\xC3\xA9", "Ingrid", "Kwame", "Ren\xC3\xA9", "Aiko",
                         "Mateo", "Saoirse", "Dmitri", "Fatima", "Lars", "Priya", "Tom\xC3\xA1\xC5\xA1", "Noor",
                         "Helga", "Kofi", "Mei", "\xC3\x93scar", "Yara", "Bj\xC3\xB6rn", "Leila", "Ngozi",
                         "Pierre", "Sven", "Amelia", "Hiro", "Zainab", "Luca", "Ana", "Emeka", "Freya",
                         "Jonas", "Keiko", "Malik", "Olga", "Rafael", "Sofia"};
  for (int i = 2; i < kTileCount; ++i)
    people += QString("%1;C0FFEE%2;%3;\r\n").arg(QString::fromUtf8(names[i - 2])).arg(i, 6, 10, QChar('0')).arg(170 + i).toUtf8();
  write(people);
  w.chooseOpenFile = [&](const QString&, const QString&) { return path; };
  w.participantsAction()->trigger();
  ASSERT_NE(core().participants, nullptr);
  EXPECT_EQ(core().participants->count(), kTileCount);

  ASSERT_NO_FATAL_FAILURE(openDevice());
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QTest::keyClick(&w, Qt::Key_F11);
  ClassDisplayWindow* display = w.classDisplay();
  ASSERT_NE(display, nullptr);
  char address[16];
  auto report = [&](int i, int hr) {
    std::snprintf(address, sizeof address, "C0FFEE%06d", i);
    device.sendReport(i == 0 ? "Mirabeat 1" : "Coros 2", address, hr, 60000 / hr, i == 3 ? 9 : 80);
  };
  for (int i = 0; i < 4; ++i) report(i, 70 + 25 * i);
  ASSERT_TRUE(spinUntil([&] { return w.tile(3)->text() != "empty"; }));
  for (int i = 0; i < 4; ++i) w.tile(i)->click();
  // The main window's tiles are as they always were: device names.
  EXPECT_TRUE(w.tile(0)->text().startsWith("Mirabeat 1"));
  ASSERT_NO_FATAL_FAILURE(startScan());
  display->resize(1920, 1080);
  ASSERT_TRUE(spinUntil([&] { return display->cellCount() == 4 && display->size() == QSize(1920, 1080); }));
  EXPECT_STREQ(display->cell(0).name, "Zo\xC3\xAB");
  EXPECT_STREQ(display->cell(0).detail, "REST   35 %");
  EXPECT_STREQ(display->cell(1).name, "Ben");
  EXPECT_STREQ(display->cell(1).detail, "ZONE 1   52 %");  // 95 of 208 - 0.7 x 40
  const auto cellPixel = [&](int i, int count) {
    const CellRect r = cellRect(cellGrid(count, 1920, 1080), i, 1920, 1080);
    return display->grab().toImage().pixelColor(r.x + 3, r.y + 3);
  };
  const auto rgb = [](Rgb c) { return QColor(c.r, c.g, c.b); };
  EXPECT_EQ(cellPixel(0, 4), rgb(zoneColour(0)));
  // Across a boundary: 139 is 69 % of 200 (zone 2), 140 is 70 % (zone 3).
  report(0, 139);
  ASSERT_TRUE(spinUntil([&] { return std::string(display->cell(0).detail) == "ZONE 2   69 %"; }));
  EXPECT_EQ(cellPixel(0, 4), rgb(zoneColour(2)));
  report(0, 140);
  ASSERT_TRUE(spinUntil([&] { return std::string(display->cell(0).detail) == "ZONE 3   70 %"; }));
  EXPECT_EQ(cellPixel(0, 4), rgb(zoneColour(3)));
  const QString shots = qEnvironmentVariable("KV_SCREENSHOT_DIR");
  if (!shots.isEmpty()) display->grab().save(shots + "/class-display-zones-4-qt.png");

  // The coach changes Zoë's maximum in the spreadsheet: read again within
  // the look's interval plus the watch's tick.
  people.replace("Zo\xC3\xAB;C0:FF:EE:00:00:00;200;", "Zo\xC3\xAB;C0:FF:EE:00:00:00;160;");
  write(people);
  ASSERT_TRUE(spinUntil([&] { return std::string(display->cell(0).detail) == "ZONE 4   87 %"; },
                        boundMs(kParticipantsLookEveryMs / 1000.0 + kWatchTickS + kLoadMarginS + 1)));

  // 40 at once, for the picture.
  for (int i = 0; i < kTileCount; ++i) report(i, 80 + i * 3);
  ASSERT_TRUE(spinUntil([&] { return w.tile(kTileCount - 1)->text() != "empty"; }));
  for (int i = 4; i < kTileCount; ++i) w.tile(i)->click();
  ASSERT_TRUE(spinUntil([&] { return display->cellCount() == kTileCount; }));
  if (!shots.isEmpty()) display->grab().save(shots + "/class-display-zones-40-qt.png");

  // The next start puts the same file in force; "No participants" forgets it.
  session->finish();
  session = std::make_unique<ConsoleSession>();
  ASSERT_TRUE(session->start());
  ASSERT_NE(session->core.participants, nullptr);
  EXPECT_EQ(session->core.participantsPath, path.toStdString());
  session->window.noParticipantsAction()->trigger();
  EXPECT_EQ(session->core.participants, nullptr);
  session->finish();
  session = std::make_unique<ConsoleSession>();
  ASSERT_TRUE(session->start());
  EXPECT_EQ(session->core.participants, nullptr);
  QDir(folder).removeRecursively();
}

}  // namespace
}  // namespace kv::qt::test
