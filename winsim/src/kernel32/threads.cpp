// kernel32's threads, events and waits, over the scheduler that keeps the machine's clock in step
// across threads (core/scheduler.h).
#include <system_error>
#include <thread>
#include <vector>

#include "core/scheduler.h"

using winsim::ApiCall;
using winsim::Fail;
using winsim::Machine;
namespace sched = winsim::sched;

namespace {

using sched::KObject;

// The object behind an event or thread handle; null when it is neither.
std::shared_ptr<KObject> FindObject(Machine& m, HANDLE h) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  winsim::HandleInfo* info = m.FindHandle(v, sched::kEventKind);
  if (!info) info = m.FindHandle(v, sched::kThreadKind);
  return info ? std::static_pointer_cast<KObject>(info->object) : nullptr;
}

// A signalled object satisfies a wait; an auto-reset event is reset by it.
void Consume(KObject& o) {
  if (!o.isThread && !o.manualReset) o.signalled = false;
}

void ReportThreadsAtSave(Machine& m) {
  if (m.runReport.contains("threadsRunningAtExit")) return;
  m.runReport["threadsRunningAtExit"] = 0;
  m.beforeSave.push_back([](Machine& mm) {
    sched::Scheduler& s = sched::Get();
    std::lock_guard<std::mutex> g(s.mu);
    mm.runReport["threadsRunningAtExit"] = s.threadsRunning;
  });
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                           LPDWORD threadId) {
  WINSIM_API(call, "CreateThread", nullptr);
  if (!start) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Machine& m = call.machine();
  auto obj = std::make_shared<KObject>();
  obj->isThread = true;
  obj->threadId = sched::NewThreadId();
  obj->suspendCount = (flags & CREATE_SUSPENDED) ? 1 : 0;
  sched::Scheduler& s = sched::Get();
  {
    std::lock_guard<std::mutex> g(s.mu);
    ++s.threadsRunning;
    // A thread takes part from its creation, so that time cannot pass before it has run.
    if (obj->suspendCount == 0) ++s.participants;
  }
  try {
    std::thread([obj, start, param] {
      sched::StartParticipating(obj->threadId);
      sched::Scheduler& sc = sched::Get();
      {
        std::unique_lock<std::mutex> lk(sc.mu);
        sc.cv.wait(lk, [&] { return obj->suspendCount == 0; });
      }
      DWORD result = start(param);
      std::lock_guard<std::mutex> g(sc.mu);
      obj->exitCode = result;
      obj->signalled = true;
      --sc.participants;
      --sc.threadsRunning;
      sc.ended.insert(obj->threadId);
      sc.cv.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> g(s.mu);
    --s.threadsRunning;
    if (obj->suspendCount == 0) --s.participants;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  ReportThreadsAtSave(m);
  if (threadId) *threadId = obj->threadId;
  return reinterpret_cast<HANDLE>(m.AddHandle(sched::kThreadKind, obj));
}

DWORD WINAPI ResumeThread(HANDLE thread) {
  WINSIM_API(call, "ResumeThread", static_cast<DWORD>(-1));
  winsim::HandleInfo* info = call.machine().FindHandle(reinterpret_cast<uintptr_t>(thread), sched::kThreadKind);
  if (!info) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  auto obj = std::static_pointer_cast<KObject>(info->object);
  sched::Scheduler& s = sched::Get();
  std::lock_guard<std::mutex> g(s.mu);
  DWORD previous = obj->suspendCount;
  if (previous > 0 && --obj->suspendCount == 0) {
    ++s.participants;
    s.cv.notify_all();
  }
  return previous;
}

DWORD WINAPI GetCurrentThreadId(void) { return sched::CurrentThreadId(); }

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  WINSIM_API(call, "GetExitCodeThread", FALSE);
  winsim::HandleInfo* info = call.machine().FindHandle(reinterpret_cast<uintptr_t>(thread), sched::kThreadKind);
  if (!info) return Fail(ERROR_INVALID_HANDLE);
  if (!exitCode) return Fail(ERROR_INVALID_PARAMETER);
  auto obj = std::static_pointer_cast<KObject>(info->object);
  std::lock_guard<std::mutex> g(sched::Get().mu);
  *exitCode = obj->exitCode;
  return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  WINSIM_API(call, "CreateEventW", nullptr);
  if (name && *name) {
    SetLastError(ERROR_NOT_SUPPORTED);  // named events are not simulated; the tools use none
    return nullptr;
  }
  auto obj = std::make_shared<KObject>();
  obj->manualReset = manualReset != FALSE;
  obj->signalled = initialState != FALSE;
  return reinterpret_cast<HANDLE>(call.machine().AddHandle(sched::kEventKind, obj));
}

static BOOL SetEventState(const char* name, HANDLE event, bool state) {
  WINSIM_API(call, name, FALSE);
  winsim::HandleInfo* info = call.machine().FindHandle(reinterpret_cast<uintptr_t>(event), sched::kEventKind);
  if (!info) return Fail(ERROR_INVALID_HANDLE);
  auto obj = std::static_pointer_cast<KObject>(info->object);
  sched::Scheduler& s = sched::Get();
  std::lock_guard<std::mutex> g(s.mu);
  obj->signalled = state;
  if (state) s.cv.notify_all();
  return TRUE;
}

BOOL WINAPI SetEvent(HANDLE event) { return SetEventState("SetEvent", event, true); }
BOOL WINAPI ResetEvent(HANDLE event) { return SetEventState("ResetEvent", event, false); }

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
  std::vector<std::shared_ptr<KObject>> objects;
  int64_t deadline = 0;
  {
    WINSIM_API(call, "WaitForMultipleObjects", WAIT_FAILED);
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i) {
      auto obj = FindObject(call.machine(), handles[i]);
      if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      // Waiting for all of one object twice is a contradiction Windows refuses.
      if (waitAll && std::find(objects.begin(), objects.end(), obj) != objects.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
      }
      objects.push_back(obj);
    }
    deadline = sched::DeadlineAfter(call.machine(), ms);
  }
  return sched::Block(
      [&](Machine&, bool take) -> std::optional<DWORD> {
        if (waitAll) {
          for (auto& o : objects)
            if (!o->signalled) return std::nullopt;
          if (take)
            for (auto& o : objects) Consume(*o);
          return WAIT_OBJECT_0;
        }
        for (DWORD i = 0; i < count; ++i)
          if (objects[i]->signalled) {
            if (take) Consume(*objects[i]);
            return WAIT_OBJECT_0 + i;
          }
        return std::nullopt;
      },
      deadline, WAIT_TIMEOUT);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD ms) {
  std::shared_ptr<KObject> obj;
  int64_t deadline = 0;
  {
    WINSIM_API(call, "WaitForSingleObject", WAIT_FAILED);
    obj = FindObject(call.machine(), handle);
    if (!obj) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    deadline = sched::DeadlineAfter(call.machine(), ms);
  }
  return sched::Block(
      [&](Machine&, bool take) -> std::optional<DWORD> {
        if (!obj->signalled) return std::nullopt;
        if (take) Consume(*obj);
        return WAIT_OBJECT_0;
      },
      deadline, WAIT_TIMEOUT);
}

BOOL WINAPI CloseHandle(HANDLE handle) {
  WINSIM_API(call, "CloseHandle", FALSE);
  // The current process's pseudo-handle: closing it does nothing and succeeds.
  if (handle == INVALID_HANDLE_VALUE) return TRUE;
  Machine& m = call.machine();
  uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  if (m.CloseHandle(v, sched::kEventKind) || m.CloseHandle(v, sched::kThreadKind)) return TRUE;
  return Fail(ERROR_INVALID_HANDLE);
}

void WINAPI Sleep(DWORD ms) {
  int64_t deadline = 0;
  {
    ApiCall call("Sleep");
    deadline = sched::DeadlineAfter(call.machine(), ms);
  }
  sched::Block([](Machine&, bool) -> std::optional<DWORD> { return std::nullopt; }, deadline, 0);
}

}  // extern "C"
