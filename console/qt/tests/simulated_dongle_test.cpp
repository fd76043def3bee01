// The console against the simulated dongle: a saturated line while tiles are
// linked, then Exit while the link threads keep calling into the window;
// and the demo program run as the operator would run it.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QAction>

#include "console/qt/tile_button.h"
#include "qt_test_support.h"
#include "tools/dongle-sim/dongle_sim.h"

namespace kv::qt::test {
namespace {

using namespace std::chrono_literals;

TEST(SimulatedDongleTest, ExitOnASaturatedLineEndsCleanlyAndSendsTheReset) {
  sim::SimOptions options;
  options.devices = 40;
  options.rateHz = 20;  // more than the line carries
  options.seed = 3;
  options.quiet = true;
  sim::DongleSim sim(options);
  std::string path, error;
  ASSERT_TRUE(sim.openPty(&path, &error)) << error;
  sim.start();

  ConsoleSession session;
  MainWindow& w = session.window;
  session.view.addPort(path.c_str());
  ASSERT_TRUE(session.start());
  w.choosePort(w.portList()->findText(QString::fromStdString(path)));
  ASSERT_TRUE(spinUntil([&] { return !w.dongleLine()->text().isEmpty(); }));
  w.startButton()->click();
  ASSERT_TRUE(spinUntil([&] { return w.startButton()->text() == "Stop !!!"; }));
  auto occupied = [&] {
    int n = 0;
    for (int i = 0; i < kTileCount; ++i) n += w.tile(i)->text() != "empty";
    return n;
  };
  ASSERT_TRUE(spinUntil([&] { return occupied() >= 20; }, 10000)) << occupied();
  for (int i = 0; i < kTileCount; ++i)
    if (w.tile(i)->text() != "empty") w.tile(i)->click();
  EXPECT_TRUE(spinUntil([&] { return w.tile(0)->text().contains("HR: "); }));
  spinFor(1000);
  EXPECT_GT(session.core.link.bytesRead(), 5000u);

  const auto resetsBefore = sim.counters().softResetReceived;
  const auto t0 = Clock::now();
  w.exitAction()->trigger();
  EXPECT_TRUE(w.shutDown());
  EXPECT_EQ(session.core.link.stopLink(), 0);
  // stopLink's own bounds: 300 ms, the last write, the threads' end.
  EXPECT_LT(Clock::now() - t0, 300ms + std::chrono::milliseconds(Link::kFinalWriteWaitMs + Link::kThreadStopWaitMs));
  session.finish();
  for (int i = 0; i < 200 && sim.counters().softResetReceived == resetsBefore; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(sim.counters().softResetReceived, resetsBefore + 1);
  sim.stop();
}

#ifdef KV_DEMO_PROGRAM
TEST(DemoProgramTest, AutoplayLinksTilesSavesAScreenshotAndExitsThroughTheShutdown) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString shot = dir.filePath("shot.png");
  const QString record = dir.filePath("record.txt");
  QProcess demo;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  demo.setProcessEnvironment(env);
  demo.start(KV_DEMO_PROGRAM, {"--autoplay", "--quit-after", "7", "--screenshot", shot, "--sim-record", record});
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
  for (const QByteArray& line : file.readAll().split('\n')) {
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
