// The scheduler: which threads take part, and the clock moved when all of them wait (see
// scheduler.h).
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <vector>

#include "core/scheduler.h"

namespace winsim::sched {

Scheduler& Get() {
  // Never destroyed: threads that outlive main still block and end through it.
  static Scheduler* s = new Scheduler;
  return *s;
}

namespace {

// This thread as a participant of the scheduler.
struct Me {
  bool counted = false;
  bool leaveAtExit = false;  // a host thread that joined by blocking; it leaves when it ends
  DWORD tid = 0;
  ~Me() {
    if (!leaveAtExit) return;
    Scheduler& s = Get();
    std::lock_guard<std::mutex> g(s.mu);
    --s.participants;
    s.cv.notify_all();
  }
};
thread_local Me t_me;

bool IsFirstThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

// With the scheduler's mutex held.
void JoinScheduler(Scheduler& s) {
  if (t_me.counted) return;
  t_me.counted = true;
  if (!IsFirstThread()) {
    ++s.participants;
    t_me.leaveAtExit = true;
  }
}

}  // namespace

DWORD NewThreadId() {
  static std::atomic<DWORD> next{0x404};
  return next.fetch_add(4);
}

void StartParticipating(DWORD tid) {
  t_me.counted = true;
  t_me.tid = tid;
}

DWORD CurrentThreadId() {
  if (t_me.tid == 0) t_me.tid = NewThreadId();
  return t_me.tid;
}

int64_t DeadlineAfter(Machine& m, DWORD ms) {
  return ms == INFINITE ? kNever : NowMillis(m) + static_cast<int64_t>(ms);
}

DWORD Block(const Ready& ready, int64_t deadline, DWORD timeoutResult,
            const std::function<int64_t(Machine&)>& wakeAt) {
  Scheduler& s = Get();
  uint64_t token = 0;
  bool isBlocked = false;
  auto unblock = [&] {
    if (!isBlocked) return;
    s.waiting.erase(token);
    --s.blocked;
    isBlocked = false;
    s.cv.notify_all();  // the others may now be all blocked, or no longer
  };
  for (;;) {
    std::unique_lock<std::recursive_mutex> api(ApiLock());
    Machine& m = CurrentMachine();
    std::unique_lock<std::mutex> lk(s.mu);
    JoinScheduler(s);
    int64_t due = DeliverDue(m);
    if (std::optional<DWORD> r = ready(m, true)) {
      unblock();
      return *r;
    }
    int64_t now = NowMillis(m);
    if (now >= deadline) {
      unblock();
      return timeoutResult;
    }
    int64_t wake = std::min(deadline, wakeAt ? wakeAt(m) : kNever);
    if (!isBlocked) {
      token = s.nextToken++;
      ++s.blocked;
      isBlocked = true;
    }
    s.waiting[token] = {wake, &ready};
    // A thread blocked on a virtual clock with nothing due waits in real time only for plug
    // requests, which come from outside the process.
    const auto requestPoll = std::chrono::milliseconds(kRequestPollMs);
    bool virtualClock = m.virtualClock, polling = PollsForRequests(m);
    if (virtualClock && s.blocked >= s.participants) {
      int64_t next = due;
      bool someoneReady = false;  // woken, but not yet back from its wait
      for (auto& [t, b] : s.waiting) {
        next = std::min(next, b.wake);
        if (t != token && (*b.ready)(m, false)) someoneReady = true;
      }
      if (!someoneReady && next != kNever && next > now) {
        m.virtualNow = next;
        s.cv.notify_all();
        continue;
      }
      // Something is due already: the thread it belongs to is about to run.
    }
    api.unlock();
    if (virtualClock) {
      if (polling) s.cv.wait_for(lk, requestPoll);
      else s.cv.wait(lk);
    } else {
      int64_t next = std::min(wake, due);
      auto span = std::chrono::milliseconds(next == kNever ? 3600 * 1000 : std::max<int64_t>(next - now, 0));
      if (polling) span = std::min<std::chrono::milliseconds>(span, requestPoll);
      s.cv.wait_for(lk, span);
    }
  }
}

}  // namespace winsim::sched
