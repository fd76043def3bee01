// The console against the simulated dongle over a real pseudo-terminal, with
// the window's own once-a-second watch: a saturated line while tiles are
// linked, then Exit while the link threads keep calling into the window;
// devices that fall silent, a dongle that hangs, a port pulled out, a
// dongle that turns up in the user's port folder; and the programs run as
// the operator would run them: the demo's first minute, a stop signal, a
// wrong option.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QAction>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

#include "console/qt/app_setup.h"
#include "console/qt/tile_button.h"
#include "qt_test_support.h"
#include "support/sim_record.h"
#include "tools/dongle-sim/dongle_sim.h"

namespace kv::qt::test {
namespace {

using namespace std::chrono_literals;

// Opens the port list as the operator does (it is filled afresh then) and
// closes it again; the index of `path` in it, or -1.
int openListAndFind(MainWindow& w, const std::string& path) {
  w.portList()->showPopup();
  const int at = w.portList()->findText(QString::fromLocal8Bit(path.c_str()));
  w.portList()->hidePopup();
  return at;
}

// Picks port list item `index` and waits until the dongle's answer to the
// configuration request is on the dongle line.
bool pickAndWaitForDongle(MainWindow& w, int index) {
  w.choosePort(index);
  return spinUntil([&] { return !w.dongleLine()->text().isEmpty(); });
}

// An environment variable set for one test, then as it was.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const QString& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.toLocal8Bit().constData(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The simulator on a pseudo-terminal of its own, in its own thread, and a
// started console (with its 1 s watch running) whose port list holds it.
class SimulatedDongleTest : public ::testing::Test {
 protected:
  // A few devices at 2 reports a second, every report applied, none of
  // them refused: each device has a tile, and "one report" is 0.5 s.
  static sim::SimOptions fewDevices() {
    sim::SimOptions options;
    options.devices = 4;
    options.rateHz = 2;
    options.seed = 11;
    options.polarShare = 0;
    options.unappliedRate = 0;
    options.quiet = true;
    return options;
  }

  void TearDown() override {
    if (session) session->finish();
    session.reset();
    if (sim) sim->stop();
  }

  void startSim(const sim::SimOptions& options) {
    sim = std::make_unique<sim::DongleSim>(options);
    std::string error;
    ASSERT_TRUE(sim->openPty(&simPath, &error)) << error;
    sim->start();
  }
  void startConsole() {
    session = std::make_unique<ConsoleSession>();
    ASSERT_TRUE(session->start());
  }
  // Both, the simulator's port picked and answered.
  void startBothAndPick(const sim::SimOptions& options) {
    ASSERT_NO_FATAL_FAILURE(startSim(options));
    ASSERT_NO_FATAL_FAILURE(startConsole());
    session->view.addPort(simPath.c_str());
    ASSERT_TRUE(pickAndWaitForDongle(window(), window().portList()->findText(QString::fromStdString(simPath))));
  }
  void startScan() {
    window().startButton()->click();
    ASSERT_TRUE(spinUntil([&] { return window().startButton()->text() == "Stop !!!"; }));
  }

  MainWindow& window() { return session->window; }
  QString status() { return window().statusLine()->text(); }
  QString portIs(const char* what) { return QString::fromStdString("Port " + simPath + what); }
  int occupiedTiles() {
    int n = 0;
    for (int i = 0; i < kTileCount; ++i) n += window().tile(i)->text() != "empty";
    return n;
  }
  // The tile of the simulator's device `index`, or -1.
  int tileOf(std::size_t index) {
    const QString name = QString::fromStdString(sim->deviceList()[index].name);
    for (int i = 0; i < kTileCount; ++i)
      if (window().tile(i)->text().section('\n', 0, 0) == name) return i;
    return -1;
  }
  std::optional<QColor> fill(int slot) {
    QColor c;
    if (!window().tile(slot)->fillColour(&c)) return std::nullopt;
    return c;
  }

  std::unique_ptr<sim::DongleSim> sim;
  std::string simPath;
  std::unique_ptr<ConsoleSession> session;
};

TEST_F(SimulatedDongleTest, ExitOnASaturatedLineEndsCleanlyAndSendsTheReset) {
  sim::SimOptions options;
  options.devices = 40;
  options.rateHz = 20;  // more than the line carries
  options.seed = 3;
  options.quiet = true;
  ASSERT_NO_FATAL_FAILURE(startBothAndPick(options));
  MainWindow& w = window();
  ASSERT_NO_FATAL_FAILURE(startScan());
  ASSERT_TRUE(spinUntil([&] { return occupiedTiles() >= 20; }, 10000)) << occupiedTiles();
  for (int i = 0; i < kTileCount; ++i)
    if (w.tile(i)->text() != "empty") w.tile(i)->click();
  EXPECT_TRUE(spinUntil([&] { return w.tile(0)->text().contains("HR: "); }));
  spinFor(1000);
  EXPECT_GT(session->core.link.bytesRead(), 5000u);

  const auto resetsBefore = sim->counters().softResetReceived;
  const auto t0 = Clock::now();
  w.exitAction()->trigger();
  EXPECT_TRUE(w.shutDown());
  EXPECT_EQ(session->core.link.stopLink(), 0);
  // stopLink's own bounds: 300 ms, the last write, the threads' end.
  EXPECT_LT(Clock::now() - t0, 300ms + std::chrono::milliseconds(Link::kFinalWriteWaitMs + Link::kThreadStopWaitMs));
  session->finish();
  for (int i = 0; i < 200 && sim->counters().softResetReceived == resetsBefore; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(sim->counters().softResetReceived, resetsBefore + 1);
}

TEST_F(SimulatedDongleTest, ALinkedDeviceThatFallsSilentTurnsGreyAndIsLiveAgainWithItsNextReport) {
  const sim::SimOptions options = fewDevices();
  ASSERT_NO_FATAL_FAILURE(startBothAndPick(options));
  ASSERT_NO_FATAL_FAILURE(startScan());
  ASSERT_TRUE(spinUntil([&] { return occupiedTiles() == options.devices; })) << occupiedTiles();
  const int quiet = tileOf(0), heard = tileOf(1);
  ASSERT_GE(quiet, 0);
  ASSERT_GE(heard, 0);
  TileButton* tile = window().tile(quiet);
  tile->click();
  window().tile(heard)->click();
  ASSERT_TRUE(spinUntil([&] { return tile->text().contains("HR: ") && window().tile(heard)->text().contains("HR: "); }));
  const std::optional<QColor> brand = fill(quiet);
  ASSERT_TRUE(brand.has_value());
  ASSERT_NE(*brand, QColor(kSilentColour.r, kSilentColour.g, kSilentColour.b));

  // Last heard at most one report (0.5 s) before the device falls silent:
  // shown silent 4.5 to 6 s later.
  sim->setDeviceSilent(0, true);
  const Clock::time_point silenced = Clock::now();
  const double limit = kLinkedSilentAfterMs / 1000.0 + kWatchTickS + kLoadMarginS;
  ASSERT_TRUE(spinUntil([&] { return tile->text().contains("HR: -- ("); }, boundMs(limit)))
      << tile->text().toStdString();
  const double shownAfter = secondsSince(silenced);
  std::printf("silent shown %.2f s after the device fell silent\n", shownAfter);
  EXPECT_GE(shownAfter, kLinkedSilentAfterMs / 1000.0 - 1.0 / options.rateHz - 0.1);
  const QString name = QString::fromStdString(sim->deviceList()[0].name);
  EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(name) + "\nHR: -- \\([56] s\\)\nBat: \\d+%$")
                  .match(tile->text())
                  .hasMatch())
      << tile->text().toStdString();
  EXPECT_EQ(fill(quiet), QColor(kSilentColour.r, kSilentColour.g, kSilentColour.b));
  // The other linked device is heard all along: live, in its brand's colour.
  EXPECT_FALSE(window().tile(heard)->text().contains("HR: --")) << window().tile(heard)->text().toStdString();
  EXPECT_NE(fill(heard), QColor(kSilentColour.r, kSilentColour.g, kSilentColour.b));
  // Still silent a tick later, counting on.
  ASSERT_TRUE(spinUntil([&] { return !tile->text().contains("HR: -- (5 s)"); }, 2000));
  EXPECT_TRUE(tile->text().contains(QRegularExpression("HR: -- \\([67] s\\)"))) << tile->text().toStdString();

  // Heard again: its next report (due within 0.5 s) makes it live.
  sim->setDeviceSilent(0, false);
  const Clock::time_point back = Clock::now();
  ASSERT_TRUE(spinUntil([&] { return !tile->text().contains("HR: --"); },
                        boundMs(1.0 / options.rateHz + kLoadMarginS)))
      << tile->text().toStdString();
  std::printf("live again %.2f s after the device was heard again\n", secondsSince(back));
  EXPECT_TRUE(tile->text().startsWith(name + "\nHR: ")) << tile->text().toStdString();
  EXPECT_EQ(fill(quiet), brand);
}

TEST_F(SimulatedDongleTest, AHungDongleIsToldAfterFiveSecondsAndAPulledPortAtOnce) {
  const sim::SimOptions options = fewDevices();
  ASSERT_NO_FATAL_FAILURE(startBothAndPick(options));
  EXPECT_EQ(status(), portIs(" open"));
  ASSERT_NO_FATAL_FAILURE(startScan());
  // The scan is said at the watch's next tick.
  EXPECT_TRUE(spinUntil([&] { return status() == portIs(" open, scanning"); }, boundMs(kWatchTickS + kLoadMarginS)))
      << status().toStdString();

  // Its last byte came less than one report period (0.5 s) before: told
  // 4.5 to 6 s later.
  sim->setStalled(true);
  const Clock::time_point stalled = Clock::now();
  const double limit = kDongleQuietAfterMs / 1000.0 + kWatchTickS + kLoadMarginS;
  ASSERT_TRUE(spinUntil([&] { return status().contains("no data from the dongle"); }, boundMs(limit)))
      << status().toStdString();
  const double toldAfter = secondsSince(stalled);
  std::printf("no data told %.2f s after the dongle hung\n", toldAfter);
  EXPECT_GE(toldAfter, kDongleQuietAfterMs / 1000.0 - 1.0 / options.rateHz - 0.1);
  EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(portIs(": no data from the dongle for ")) + "[56] s$")
                  .match(status())
                  .hasMatch())
      << status().toStdString();
  // The dongle carries on: its reports make the line say so again.
  sim->setStalled(false);
  EXPECT_TRUE(spinUntil([&] { return status() == portIs(" open, scanning"); }, boundMs(kWatchTickS + kLoadMarginS)))
      << status().toStdString();

  // Pulled out: the reader finds the port gone and has the status line
  // brought up to date at once, not at the watch's next tick: only posted
  // events are served meanwhile, no timer fires.
  sim->unplug();
  const Clock::time_point pulled = Clock::now();
  while (status() != portIs(" lost") && secondsSince(pulled) < kWatchTickS) {
    std::this_thread::sleep_for(2ms);
    QCoreApplication::sendPostedEvents();
  }
  ASSERT_EQ(status(), portIs(" lost"));
  std::printf("lost told %.3f s after the port was pulled\n", secondsSince(pulled));
  // And it stays said.
  spinFor(boundMs(kWatchTickS) + 100);
  EXPECT_EQ(status(), portIs(" lost"));
}

TEST_F(SimulatedDongleTest, ADongleStartedAfterTheConsoleIsListedTheNextTimeTheListIsOpened) {
  // The user's port folder, $XDG_RUNTIME_DIR/koravel, as the simulator
  // program makes it.
  QTemporaryDir runtime;
  ASSERT_TRUE(runtime.isValid());
  ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path());
  const std::string folder = runtime.filePath("koravel").toStdString();
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string link = folder + "/dongle-sim-test";

  ASSERT_NO_FATAL_FAILURE(startConsole());
  EXPECT_EQ(openListAndFind(window(), link), -1);
  sim::SimOptions options = fewDevices();
  options.linkPath = link;
  ASSERT_NO_FATAL_FAILURE(startSim(options));
  const int at = openListAndFind(window(), link);
  ASSERT_GE(at, 0) << "listed: " << window().portList()->count();
  ASSERT_TRUE(pickAndWaitForDongle(window(), at));
  EXPECT_EQ(window().statusLine()->text(), QString::fromStdString("Port " + link + " open"));

  // Gone with its link: not listed the next time.
  sim->stop();
  sim->closePty();
  EXPECT_EQ(openListAndFind(window(), link), -1);
}

// An ordinary user's console and simulator program together (run by
// run-as-user-test.sh, which names the simulator's link): the port is in
// the list the user opens, and picking it brings the dongle's answer.
TEST(UserPortFolderTest, TheConsoleListsAndPicksThePortNamedInKvPortToPick) {
  const char* wanted = std::getenv("KV_PORT_TO_PICK");
  if (wanted == nullptr || wanted[0] == '\0') GTEST_SKIP() << "KV_PORT_TO_PICK names no port";
  ConsoleSession session;
  ASSERT_TRUE(session.start());
  MainWindow& w = session.window;
  // A port the user may not open, named by KV_PORT_DENIED: said when the
  // list is opened, while nothing is open yet.
  const char* denied = std::getenv("KV_PORT_DENIED");
  if (denied != nullptr && denied[0] != '\0') {
    EXPECT_LT(openListAndFind(w, denied), 0);
    EXPECT_EQ(w.statusLine()->text(),
              QString("Port %1: permission denied: add your user to the dialout group (then log in again)").arg(denied));
  }
  const int at = openListAndFind(w, wanted);
  ASSERT_GE(at, 0) << wanted << " not listed; status: " << w.statusLine()->text().toStdString();
  ASSERT_TRUE(pickAndWaitForDongle(w, at)) << w.trafficLog()->text();
  EXPECT_TRUE(w.dongleLine()->text().startsWith("MiraDongle @")) << w.dongleLine()->text().toStdString();
  EXPECT_EQ(w.statusLine()->text(), QString("Port %1 open").arg(wanted));
  session.finish();
}

TEST(ProgramOptionsTest, QtsOwnOptionsAreTakenWithTheirValuesAndNothingElse) {
  const std::pair<std::vector<const char*>, int> cases[] = {
      {{"-platform", "offscreen"}, 2},  {{"--platform", "xcb"}, 2},   {{"-style=fusion"}, 1},
      {{"--stylesheet=a.qss"}, 1},      {{"-reverse"}, 1},            {{"--widgetcount"}, 1},
      {{"-display", ":1"}, 2},          {{"-geometry", "10x10"}, 2},  {{"-qmljsdebugger=port:1"}, 1},
      {{"-platform"}, -1},              {{"-style"}, -1},             {{"-platform=offscreen"}, 0},
      {{"--bogus"}, 0},                 {{"-reverses"}, 0},           {{"-"}, 0},
      {{"--"}, 0},                      {{"file.txt"}, 0},            {{"--reverse=1"}, 0},
  };
  for (const auto& [args, taken] : cases) {
    std::vector<char*> argv{const_cast<char*>("koravel")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    EXPECT_EQ(qtOptionArguments(static_cast<int>(argv.size()), argv.data(), 1), taken) << args[0];
  }
}

// Whether process `pid` has a handler for `sig` (/proc/PID/status, SigCgt).
bool catches(qint64 pid, int sig) {
  QFile status(QString("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return false;
  for (const QByteArray& line : status.readAll().split('\n')) {
    if (!line.startsWith("SigCgt:")) continue;
    return ((line.mid(7).trimmed().toULongLong(nullptr, 16) >> (sig - 1)) & 1) != 0;
  }
  return false;
}

#ifdef KV_CONSOLE_PROGRAM
TEST(ConsoleProgramTest, AWrongOptionIsRefusedWithStatus2BeforeADisplayIsNeeded) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
  const std::pair<QStringList, QString> cases[] = {
      {{"--bogus"}, "koravel: unknown option --bogus (see --help)\n"},
      {{"-platform"}, "koravel: option -platform needs a value (see --help)\n"},
  };
  for (const auto& [args, message] : cases) {
    QProcess console;
    console.setProcessEnvironment(env);
    console.start(KV_CONSOLE_PROGRAM, args);
    ASSERT_TRUE(console.waitForFinished(10000));
    EXPECT_EQ(console.exitCode(), 2) << args.join(' ').toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(console.readAllStandardError()), message);
  }
}

TEST(ConsoleProgramTest, StopSignalsCloseTheWindowAndEndWithStatus0) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    QProcess console;
    console.start(KV_CONSOLE_PROGRAM, {"-platform", "offscreen"});
    ASSERT_TRUE(console.waitForStarted(10000));
    // Once the handler is there, a signal is kept until the window can be
    // closed.
    QElapsedTimer waited;
    waited.start();
    while (!catches(console.processId(), sig) && waited.elapsed() < 10000) QThread::msleep(5);
    ASSERT_TRUE(catches(console.processId(), sig)) << sig;
    ASSERT_EQ(::kill(static_cast<pid_t>(console.processId()), sig), 0);
    ASSERT_TRUE(console.waitForFinished(10000)) << sig;
    EXPECT_EQ(console.exitStatus(), QProcess::NormalExit) << sig;
    EXPECT_EQ(console.exitCode(), 0) << sig << console.readAllStandardError().toStdString();
  }
}
#endif

#ifdef KV_DEMO_PROGRAM
TEST(DemoProgramTest, SigtermRunsTheShutdownTheDongleIsResetAndTheStatusIs0) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString record = dir.filePath("record.txt");
  QProcess demo;
  demo.start(KV_DEMO_PROGRAM, {"-platform", "offscreen", "--autoplay", "--sim-record", record});
  // Scanning, with a tile linked.
  QByteArray out;
  QElapsedTimer waited;
  waited.start();
  while (!out.contains("autoplay: link tile") && waited.elapsed() < 30000) {
    demo.waitForReadyRead(100);
    out += demo.readAllStandardOutput();
  }
  ASSERT_TRUE(out.contains("autoplay: link tile")) << out.toStdString();
  ASSERT_EQ(::kill(static_cast<pid_t>(demo.processId()), SIGTERM), 0);
  ASSERT_TRUE(demo.waitForFinished(10000));
  EXPECT_EQ(demo.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(demo.exitCode(), 0) << demo.readAllStandardError().toStdString();

  // What the dongle heard last is the shutdown's soft reset, after the scan
  // was started.
  std::vector<std::string> heard;
  ASSERT_TRUE(kv::test::forEachSimRecordLine(record.toStdString(), [&](const kv::test::SimRecordLine& l) {
    if (!l.tx && !l.isEvent) heard.push_back(l.kind);
  }));
  const auto started = std::find(heard.begin(), heard.end(), "start-adv");
  ASSERT_NE(started, heard.end());
  ASSERT_FALSE(heard.empty());
  EXPECT_EQ(heard.back(), "soft-reset");
  EXPECT_LT(started - heard.begin(), static_cast<long>(heard.size()) - 1);
}

TEST(DemoProgramTest, AutoplayLinksTilesSavesAScreenshotAndExitsThroughTheShutdown) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString shot = dir.filePath("shot.png");
  const QString record = dir.filePath("record.txt");
  QProcess demo;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  demo.setProcessEnvironment(env);
  // Device 3 is never heard: the simulator is told so.
  demo.start(KV_DEMO_PROGRAM, {"--autoplay", "--quit-after", "7", "--screenshot", shot, "--sim-record", record,
                               "--silence-device", "3", "--silence-after", "0"});
  ASSERT_TRUE(demo.waitForFinished(30000)) << demo.readAllStandardError().toStdString();
  const QString out = QString::fromLocal8Bit(demo.readAllStandardOutput());
  EXPECT_EQ(demo.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(demo.exitCode(), 0) << demo.readAllStandardError().toStdString();
  EXPECT_TRUE(out.contains("screenshot saved to " + shot)) << out.toStdString();
  EXPECT_TRUE(out.contains("autoplay: link tile")) << out.toStdString();

  const QImage image(shot);
  EXPECT_EQ(image.size(), QSize(1024, 768));

  // What the dongle heard: the reset and the configuration request on
  // opening, start ADV, and the reset of the shutdown last.
  QFile file(record);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QStringList heard;
  const QByteArray lines = file.readAll();
  EXPECT_TRUE(lines.contains(" event=silence dev=3\n"));
  for (const QByteArray& line : lines.split('\n')) {
    if (!line.contains("dir=rx")) continue;
    const int at = line.indexOf("kind=");
    heard << QString::fromLatin1(line.mid(at + 5, line.indexOf(' ', at) - at - 5));
  }
  ASSERT_GE(heard.size(), 4) << heard.join(' ').toStdString();
  EXPECT_EQ(heard[0], "soft-reset");
  EXPECT_EQ(heard[1], "config-request");
  EXPECT_EQ(heard[2], "start-adv");
  EXPECT_EQ(heard.last(), "soft-reset") << heard.join(' ').toStdString();
}
#endif

}  // namespace
}  // namespace kv::qt::test
