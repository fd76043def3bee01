#include "console/qt/ui_call_queue.h"

#include <algorithm>

namespace kv::qt {

void UiCallQueue::call(void (*fn)(void*), void* arg) {
  Pending p{fn, arg};
  bool post = false;
  std::unique_lock lock(mutex_);
  if (closed_) return;
  pending_.push_back(&p);
  if (!drainPosted_) {
    drainPosted_ = true;
    post = true;
  }
  arrived_.notify_all();
  if (post && wake_) {
    lock.unlock();
    wake_();
    lock.lock();
  }
  finished_.wait(lock, [&] { return p.done; });
}

void UiCallQueue::drainPosted() {
  {
    std::lock_guard lock(mutex_);
    drainPosted_ = false;
  }
  drain();
}

int UiCallQueue::drain() {
  // Only the calls queued now: a busy reader queues its next call as soon as
  // the last one is done, and must not keep the UI thread here for good.
  // Later calls have posted a drain of their own (drainPosted_ was cleared
  // before this drain began) or are met by the wait that called us.
  int ran = 0;
  std::unique_lock lock(mutex_);
  for (std::size_t n = pending_.size(); n > 0 && !pending_.empty(); --n) {
    Pending* p = pending_.front();
    pending_.pop_front();
    lock.unlock();
    p->fn(p->arg);
    lock.lock();
    // The caller may return as soon as it sees done: p is not touched after.
    p->done = true;
    ++callsRun_;
    ++ran;
    finished_.notify_all();
  }
  return ran;
}

bool UiCallQueue::serveUntil(bool (*done)(void*), void* arg, Clock::time_point deadline) {
  for (;;) {
    drain();
    if (done != nullptr && done(arg)) return true;
    std::unique_lock lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    if (!pending_.empty()) continue;
    // A predicate may turn true without anybody telling us: look again
    // every millisecond. A plain wait sleeps until a call or the deadline.
    Clock::time_point until = deadline;
    if (done != nullptr) until = std::min(deadline, now + std::chrono::milliseconds(1));
    arrived_.wait_until(lock, until, [&] { return !pending_.empty(); });
  }
  return done == nullptr || done(arg);
}

void UiCallQueue::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (Pending* p : pending_) p->done = true;
  pending_.clear();
  finished_.notify_all();
}

std::uint64_t UiCallQueue::callsRun() const {
  std::lock_guard lock(mutex_);
  return callsRun_;
}

}  // namespace kv::qt
