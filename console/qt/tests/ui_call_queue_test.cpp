// The link threads' synchronous calls: run on the UI thread, in order, each
// caller waiting for its own; the fixed waits serve them and nothing else.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <atomic>
#include <thread>
#include <vector>

#include "console/qt/ui_call_queue.h"
#include "qt_test_support.h"

namespace kv::qt::test {
namespace {

using namespace std::chrono_literals;

// Drains the queue when its event comes. The event, not a closure of ours,
// crosses threads, inside Qt (as the view's posts do).
class Drainer : public QObject {
 public:
  UiCallQueue* queue = nullptr;
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    queue->drainPosted();
    return true;
  }
};

class UiCallQueueTest : public ::testing::Test {
 protected:
  UiCallQueueTest() { drainer.queue = &queue; }
  Drainer drainer;
  UiCallQueue queue{[this] { QCoreApplication::postEvent(&drainer, new QEvent(QEvent::User)); }};
};

struct Record {
  std::vector<std::pair<int, int>> order;  // (thread, call), as run
  std::thread::id ranOn;
  bool otherThread = false;
};

TEST_F(UiCallQueueTest, CallsRunOnTheUiThreadInOrderWhileEachCallerWaits) {
  constexpr int kThreads = 4;
  constexpr int kCalls = 2000;
  Record record;
  const std::thread::id ui = std::this_thread::get_id();
  std::atomic<int> finished{0};
  std::atomic<int> notSeenOnReturn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        struct Arg {
          Record* record;
          int t, i;
          std::thread::id ui;
          bool ran;
        } arg{&record, t, i, ui, false};
        queue.call(
            [](void* p) {
              auto* a = static_cast<Arg*>(p);
              if (std::this_thread::get_id() != a->ui) a->record->otherThread = true;
              a->record->order.emplace_back(a->t, a->i);
              a->ran = true;
            },
            &arg);
        // The call has run by the time it returns.
        if (!arg.ran) ++notSeenOnReturn;
      }
      ++finished;
    });
  }
  EXPECT_TRUE(spinUntil([&] { return finished == kThreads; }, 20000));
  if (finished != kThreads) queue.close();  // never join a thread that waits for us
  for (auto& t : threads) t.join();

  EXPECT_FALSE(record.otherThread);
  EXPECT_EQ(notSeenOnReturn, 0);
  ASSERT_EQ(record.order.size(), static_cast<std::size_t>(kThreads * kCalls));
  std::vector<int> next(kThreads, 0);
  for (auto [t, i] : record.order) EXPECT_EQ(i, next[static_cast<std::size_t>(t)]++) << "thread " << t;
  EXPECT_EQ(queue.callsRun(), static_cast<std::uint64_t>(kThreads * kCalls));
}

TEST_F(UiCallQueueTest, AWaitServesCallsButNoOtherEvent) {
  bool eventRan = false;
  QMetaObject::invokeMethod(&drainer, [&] { eventRan = true; }, Qt::QueuedConnection);
  std::atomic<int> calls{0};
  std::thread link([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(10ms);
      queue.call([](void* p) { ++*static_cast<std::atomic<int>*>(p); }, &calls);
    }
  });
  const auto start = UiCallQueue::Clock::now();
  EXPECT_TRUE(queue.serveUntil(nullptr, nullptr, start + 150ms));
  const auto waited = UiCallQueue::Clock::now() - start;
  const int servedInWait = calls;
  EXPECT_FALSE(eventRan);
  // The rest (on a slow machine) from the event loop, then the thread ends.
  EXPECT_TRUE(spinUntil([&] { return calls == 5; }));
  link.join();
  QCoreApplication::processEvents();
  EXPECT_GE(servedInWait, 1);
  EXPECT_GE(waited, 150ms);
  EXPECT_TRUE(eventRan);
}

TEST_F(UiCallQueueTest, AWaitForAConditionEndsWhenItHoldsOrAtItsDeadline) {
  std::atomic<bool> flag{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(30ms);
    flag = true;
  });
  auto start = UiCallQueue::Clock::now();
  EXPECT_TRUE(queue.serveUntil([](void* p) { return static_cast<std::atomic<bool>*>(p)->load(); }, &flag,
                               start + 2000ms));
  EXPECT_LT(UiCallQueue::Clock::now() - start, 500ms);
  setter.join();

  std::atomic<bool> never{false};
  start = UiCallQueue::Clock::now();
  EXPECT_FALSE(queue.serveUntil([](void* p) { return static_cast<std::atomic<bool>*>(p)->load(); }, &never,
                                start + 50ms));
  EXPECT_GE(UiCallQueue::Clock::now() - start, 50ms);
}

TEST_F(UiCallQueueTest, AFloodOfCallsHoldsNeitherAWaitPastItsDeadlineNorTheEventLoop) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> calls{0};
  std::thread reader([&] {
    while (!stop) queue.call([](void* p) { ++*static_cast<std::atomic<std::uint64_t>*>(p); }, &calls);
  });
  const auto start = UiCallQueue::Clock::now();
  queue.serveUntil(nullptr, nullptr, start + 100ms);
  EXPECT_LT(UiCallQueue::Clock::now() - start, 200ms);
  const std::uint64_t inWait = calls;
  EXPECT_GT(inWait, 10u);

  // Timers still fire while the drains keep coming.
  int ticks = 0;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
  timer.start(5);
  EXPECT_TRUE(spinUntil([&] { return ticks >= 5; }, 5000));
  EXPECT_GT(calls.load(), inWait);
  stop = true;
  spinUntil([&] { return false; }, 20);  // serve the last call
  queue.close();
  reader.join();
}

TEST_F(UiCallQueueTest, ClosingReleasesWaitingCallersWithoutRunningTheirCalls) {
  std::atomic<int> ran{0};
  std::atomic<bool> returned{false};
  std::thread link([&] {
    queue.call([](void* p) { ++*static_cast<std::atomic<int>*>(p); }, &ran);
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned);
  queue.close();
  link.join();
  EXPECT_EQ(ran, 0);
  // Later calls return at once, and the drain posted before does nothing.
  queue.call([](void* p) { ++*static_cast<std::atomic<int>*>(p); }, &ran);
  QCoreApplication::processEvents();
  EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace kv::qt::test
