// Blocking calls and the clock across threads.
//
// Every thread that the simulated program runs is a participant: the process's first thread,
// each thread made with CreateThread from its creation (or its resumption) until its routine
// returns, and any other host thread from its first blocking call until it ends. A blocking call
// (a wait, Sleep, GetMessageW, the Plug and Play wait) marks its thread blocked with the time at
// which it wants to wake. On a virtual clock time moves only when every participant is blocked:
// it jumps to the earliest of their wake times and of the device timeline. On the real clock the
// calls wait in real time.
//
// Lock order: winsim's API lock, then the scheduler's mutex. Nothing holds the API lock while it
// waits, and no callback of the program runs under either lock.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "core/machine.h"

namespace winsim::sched {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

// READY(m, take): the result of a blocking call if it can return now. With TAKE false it only
// looks (the scheduler asks whether a blocked thread is about to run); with TAKE true it also
// takes what it returns (resets an auto-reset event, removes a message).
using Ready = std::function<std::optional<DWORD>(Machine&, bool take)>;

struct Scheduler {
  std::mutex mu;
  std::condition_variable cv;
  int participants = 1;  // the process's first thread is one from the start
  int blocked = 0;
  struct Blocked {
    int64_t wake;         // when it wants to wake (machine ms)
    const Ready* ready;   // lives on the blocked thread's stack while it is blocked
  };
  std::map<uint64_t, Blocked> waiting;
  uint64_t nextToken = 1;
  int threadsRunning = 0;  // made with CreateThread and not yet ended
  std::set<DWORD> ended;   // identifiers of those that have ended
};
Scheduler& Get();

// A kernel object a handle refers to: an event or a thread. Guarded by the scheduler's mutex.
struct KObject {
  bool isThread = false;
  bool signalled = false;
  bool manualReset = true;
  DWORD exitCode = STILL_ACTIVE;
  DWORD suspendCount = 0;
  DWORD threadId = 0;
};
inline constexpr const char kEventKind[] = "event";
inline constexpr const char kThreadKind[] = "thread";

DWORD CurrentThreadId();
// A new thread's ID; and, on a thread made by CreateThread as it starts, that thread taking part.
DWORD NewThreadId();
void StartParticipating(DWORD tid);

// Blocks the calling thread until READY gives a result or the machine's clock reaches DEADLINE
// (then the result is TIMEOUT_RESULT). READY runs with the API lock and the scheduler's mutex
// held and must not block; WAKE_AT tells when READY may change by time alone (kNever if only
// other threads change it). The caller must not hold the API lock.
DWORD Block(const Ready& ready, int64_t deadline, DWORD timeoutResult,
            const std::function<int64_t(Machine&)>& wakeAt = nullptr);

// Deadline of a time-out of MS milliseconds from now (INFINITE: kNever).
int64_t DeadlineAfter(Machine& m, DWORD ms);

// Called with both locks held from inside every blocking loop: delivers what is due (the device
// timeline, plug requests) and reports the earliest time something else will become due.
// Implemented in user32/notify.cpp.
int64_t DeliverDue(Machine& m);
// Whether a blocked thread must look for plug requests itself, every kRequestPollMs: the program
// listens for devices and no watcher tells it when a request comes.
bool PollsForRequests(Machine& m);
inline constexpr int64_t kRequestPollMs = 50;

}  // namespace winsim::sched
