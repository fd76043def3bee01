// The link threads' synchronous calls into the UI thread.
//
// A link thread that wants something done to a window hands the work to
// this queue and blocks until the UI thread has run it. The UI thread runs
// the queue from two places: from its event loop, where each new call posts
// one drain (through the `wake` hook), and from its fixed waits (the wait
// after a port pick, the one at shutdown, the link's stop), which sleep on
// the queue itself and run calls as they arrive, without processing any
// other event: the operator's input waits until the wait is over.
//
// No lock is held while a call runs, so a call may itself wait, open a modal
// box or queue further calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace kv::qt {

class UiCallQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // `wake` is called (from the calling thread, without the lock) when a call
  // is queued and no drain is pending yet; it must arrange for drainPosted()
  // to run on the UI thread.
  explicit UiCallQueue(std::function<void()> wake) : wake_(std::move(wake)) {}
  UiCallQueue(const UiCallQueue&) = delete;
  UiCallQueue& operator=(const UiCallQueue&) = delete;

  // Any thread but the UI thread: runs fn(arg) on the UI thread and returns
  // once it has run. Once the queue is closed, returns at once without
  // running it.
  void call(void (*fn)(void*), void* arg);

  // UI thread: the drain posted by `wake`.
  void drainPosted();
  // UI thread: runs the calls queued now (not those that come meanwhile);
  // returns how many ran.
  int drain();
  // UI thread: serves calls until done(arg) is true (looked at every
  // millisecond) or the deadline has passed; without `done`, until the
  // deadline. Returns done(arg), or true without `done`.
  bool serveUntil(bool (*done)(void*), void* arg, Clock::time_point deadline);

  // Releases every waiting caller without running its call; later calls
  // return at once. For the end of the program, once the link has stopped.
  void close();

  std::uint64_t callsRun() const;

 private:
  struct Pending {
    void (*fn)(void*);
    void* arg;
    bool done = false;
  };

  std::function<void()> wake_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;   // the UI thread waits for calls
  std::condition_variable finished_;  // callers wait for their call
  std::deque<Pending*> pending_;
  bool drainPosted_ = false;
  bool closed_ = false;
  std::uint64_t callsRun_ = 0;
};

}  // namespace kv::qt
