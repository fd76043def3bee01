// What the window tests share: running the event loop until something
// holds, and a console on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <ostream>

#include "console/qt/console_session.h"
#include "console/qt/traffic_log.h"
#include "console/watch.h"
#include "device_end.h"

// Failures show a QString as its text.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace kv::qt::test {

// Runs the event loop until done() holds (looked at every few
// milliseconds) or `ms` have passed; returns done().
inline bool spinUntil(const std::function<bool()>& done, int ms = 3000) {
  if (done()) return true;
  QEventLoop loop;
  QTimer poll;
  QElapsedTimer clock;
  clock.start();
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done() || clock.elapsed() > ms) loop.quit();
  });
  poll.start(2);
  loop.exec();
  return done();
}

// Seconds since t0.
inline double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// What the status line and the silent tiles take is the console's threshold
// (console/watch.h) plus at most one tick of the window's 1 s watch; the
// tests allow half a second more for a loaded machine.
inline constexpr double kWatchTickS = kWatchEveryMs / 1000.0;
inline constexpr double kLoadMarginS = 0.5;
inline int boundMs(double seconds) { return static_cast<int>(seconds * 1000); }

// Runs the event loop for `ms`.
inline void spinFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// A started console whose port list holds the device's port (last).
class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device.ok());
    session = std::make_unique<ConsoleSession>();
    session->view.addPort(device.path().c_str());
    ASSERT_TRUE(session->start());
  }
  void TearDown() override {
    if (session) session->finish();
    session.reset();
  }

  MainWindow& window() { return session->window; }
  ConsoleCore& core() { return session->core; }
  int devicePortIndex() { return window().portList()->findText(QString::fromStdString(device.path())); }

  // Runs the event loop until the device has received `frame` as frame
  // number `from` or later; its index, or -1.
  int waitForFrame(const Bytes& frame, std::size_t from, int ms = 2000) {
    int at = -1;
    spinUntil([&] { return (at = device.find(frame, from)) >= 0; }, ms);
    return at;
  }

  // Picks the device's port, answers the soft reset and the configuration
  // request, and waits until the dongle line shows the answer. (The first
  // ack after a reset empties the console's receive buffer: the answers go
  // one after the other, as a dongle sends them.)
  void openDevice() {
    window().choosePort(devicePortIndex());
    ASSERT_GE(waitForFrame(kSoftReset, 0), 0) << diagnosis();
    device.sendAck();
    ASSERT_TRUE(spinUntil([&] { return core().words.swallowNextAck == 0; }));
    ASSERT_GE(waitForFrame(kConfigRequest, 0), 0) << diagnosis();
    device.sendConfig("MiraDongle", "D8A01D5C3E71", 2, 7);
    ASSERT_TRUE(spinUntil([&] { return !window().dongleLine()->text().isEmpty(); }));
  }
  std::string diagnosis() {
    return "frames received: " + std::to_string(device.count()) +
           ", commands written: " + std::to_string(core().link.commandsWritten()) +
           ", calls served: " + std::to_string(session->view.calls().callsRun()) + ", log: " +
           session->window.trafficLog()->text();
  }

  // Start, and the dongle's ack.
  void startScan() {
    const std::size_t from = device.count();
    window().startButton()->click();
    ASSERT_GE(waitForFrame(kStartAdv, from), 0);
    device.sendAck();
    ASSERT_TRUE(spinUntil([&] { return window().startButton()->text() == "Stop !!!"; }));
  }

  DeviceEnd device;
  std::unique_ptr<ConsoleSession> session;
};

}  // namespace kv::qt::test
