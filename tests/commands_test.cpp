// The command echo and the event that wakes the writer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/commands.h"
#include "link/frame.h"
#include "link/tx_event.h"

namespace kv {
namespace {

std::string echo(const std::uint8_t* frame, int length) {
  char text[kEchoTextSize];
  std::strcpy(text, "untouched");
  formatSentFrame(frame, text, length);
  return text;
}

TEST(CommandEcho, EachCommandEchoesAsHexAndItsLabel) {
  std::uint8_t frame[kMaxCommandSize];
  std::uint8_t n = 0;
  buildControlCommand(frame, 0, 0, &n);
  EXPECT_EQ(echo(frame, n), "MBD0104000000020000B5\r\nSoftReset Dongle\r\n");
  buildControlCommand(frame, 0, 1, &n);
  EXPECT_EQ(echo(frame, n), "MBD010400000002000196\r\nsent start ADV\r\n");
  buildConfigRequest(frame, &n);
  EXPECT_EQ(echo(frame, n), "MBD01040080000100F9\r\nask Dongle Config data\r\n");
  // A mode that is neither 0 nor 1: the hex line alone.
  buildControlCommand(frame, 0, 2, &n);
  EXPECT_EQ(echo(frame, n).substr(0, 3), "MBD");
  EXPECT_EQ(echo(frame, n).find("Dongle"), std::string::npos);
  EXPECT_EQ(echo(frame, n).find("ADV"), std::string::npos);
  // Without the magic nothing is written.
  frame[0] = 0;
  EXPECT_EQ(echo(frame, n), "untouched");
}

TEST(TxEvent, SetResetPulseAndClose) {
  ManualResetEvent e;
  EXPECT_EQ(e.wait(10), ManualResetEvent::Wait::TimedOut);
  e.set();
  EXPECT_EQ(e.wait(0), ManualResetEvent::Wait::Signalled);
  EXPECT_EQ(e.wait(0), ManualResetEvent::Wait::Signalled) << "manual reset: stays set";
  e.reset();
  EXPECT_EQ(e.wait(10), ManualResetEvent::Wait::TimedOut);

  // A pulse releases a thread that waits now and leaves the event unset.
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    EXPECT_EQ(e.wait(), ManualResetEvent::Wait::Signalled);
    released = true;
  });
  while (!released) {
    e.pulse();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  waiter.join();
  EXPECT_FALSE(e.isSet());
  EXPECT_EQ(e.wait(5), ManualResetEvent::Wait::TimedOut) << "a pulse with nobody waiting is lost";

  std::thread closed([&] { EXPECT_EQ(e.wait(), ManualResetEvent::Wait::Closed); });
  e.close();
  closed.join();
  EXPECT_EQ(e.wait(), ManualResetEvent::Wait::Closed);
}

}  // namespace
}  // namespace kv
