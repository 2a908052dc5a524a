// Threads, events and waits as the installer uses them: its worker and monitor threads start
// suspended, its events are manual and auto reset, and it waits on several at once.
#include <windows.h>

#include <string>

#include "check.h"
#include "conformance.h"

namespace {

std::string Show(DWORD v) { return std::to_string(static_cast<unsigned long>(v)); }

struct Flagged {
  LONG volatile ran = 0;
  HANDLE go = NULL;  // when set, the thread waits for it before it ends
};

DWORD WINAPI SetFlagAndReturn(LPVOID param) {
  Flagged* f = static_cast<Flagged*>(param);
  InterlockedExchange(&f->ran, 1);
  if (f->go && WaitForSingleObject(f->go, 10000) != WAIT_OBJECT_0) return 1;
  return 42;
}

}  // namespace

CONFORMANCE(SuspendedThreadRunsOnceResumedAndStaysSignalled) {
  Flagged f;
  DWORD id = 0;
  HANDLE t = CreateThread(NULL, 0, SetFlagAndReturn, &f, CREATE_SUSPENDED, &id);
  CHECK(t != NULL);
  if (!t) return;
  CHECK(id != 0);
  CHECK_EQ(WaitForSingleObject(t, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  CHECK_EQ(InterlockedCompareExchange(&f.ran, 0, 0), 0L);
  DWORD code = 0;
  CHECK(GetExitCodeThread(t, &code));
  CHECK_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  CHECK_EQ(ResumeThread(t), static_cast<DWORD>(1));  // the count before the call
  CHECK_EQ(WaitForSingleObject(t, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(InterlockedCompareExchange(&f.ran, 0, 0), 1L);
  CHECK(GetExitCodeThread(t, &code));
  CHECK_EQ(code, static_cast<DWORD>(42));
  // An ended thread stays signalled: every later wait is satisfied at once.
  CHECK_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(ResumeThread(t), static_cast<DWORD>(0));
  CHECK(CloseHandle(t));
  SetLastError(0);
  CHECK(!CloseHandle(t));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

CONFORMANCE(EventsResetAsCreated) {
  HANDLE manual = CreateEventW(NULL, TRUE, TRUE, NULL);
  HANDLE autoReset = CreateEventW(NULL, FALSE, FALSE, NULL);
  CHECK(manual != NULL && autoReset != NULL);
  if (!manual || !autoReset) return;
  // A manual-reset event satisfies every wait until it is reset.
  CHECK_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK(ResetEvent(manual));
  CHECK_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // An auto-reset event satisfies one wait; setting it twice still releases only one.
  CHECK_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CHECK(SetEvent(autoReset));
  CHECK(SetEvent(autoReset));
  CHECK_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  // A wait that times out takes about its time.
  DWORD before = GetTickCount();
  CHECK_EQ(WaitForSingleObject(autoReset, 100), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD elapsed = GetTickCount() - before;
  if (kOnWinsim) CHECK_EQ(elapsed, static_cast<DWORD>(100));  // the virtual clock moves by the wait
  else CHECK_AT(elapsed >= 80 && elapsed < 5000, Show(elapsed));
  CHECK(CloseHandle(manual));
  CHECK(CloseHandle(autoReset));
  SetLastError(0);
  CHECK_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_FAILED));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SetLastError(0);
  CHECK(!SetEvent(autoReset));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

CONFORMANCE(WaitForMultipleObjectsResults) {
  HANDLE e[2] = {CreateEventW(NULL, FALSE, FALSE, NULL), CreateEventW(NULL, FALSE, FALSE, NULL)};
  CHECK(e[0] != NULL && e[1] != NULL);
  if (!e[0] || !e[1]) return;
  CHECK_EQ(WaitForMultipleObjects(2, e, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(e[1]);
  CHECK_EQ(WaitForMultipleObjects(2, e, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
  CHECK_EQ(WaitForSingleObject(e[1], 0), static_cast<DWORD>(WAIT_TIMEOUT));  // the wait took it
  // With both set, the lower index is reported and only that one is taken.
  SetEvent(e[0]);
  SetEvent(e[1]);
  CHECK_EQ(WaitForMultipleObjects(2, e, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(WaitForSingleObject(e[1], 0), static_cast<DWORD>(WAIT_OBJECT_0));
  // Waiting for all: one set is not enough, and a wait that is not satisfied takes nothing.
  SetEvent(e[0]);
  CHECK_EQ(WaitForMultipleObjects(2, e, TRUE, 20), static_cast<DWORD>(WAIT_TIMEOUT));
  CHECK_EQ(WaitForSingleObject(e[0], 0), static_cast<DWORD>(WAIT_OBJECT_0));
  SetEvent(e[0]);
  SetEvent(e[1]);
  CHECK_EQ(WaitForMultipleObjects(2, e, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CHECK_EQ(WaitForMultipleObjects(2, e, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  struct Bad {
    const char* what;
    DWORD count;
    bool waitAll;
    HANDLE second;
    DWORD error;
  } bad[] = {
      {"no objects", 0, false, e[1], ERROR_INVALID_PARAMETER},
      {"more than the maximum", MAXIMUM_WAIT_OBJECTS + 1, false, e[1], ERROR_INVALID_PARAMETER},
      {"a null handle", 2, false, NULL, ERROR_INVALID_HANDLE},
      {"one object twice, all", 2, true, e[0], ERROR_INVALID_PARAMETER},
  };
  HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
  for (const Bad& b : bad) {
    // Wine does not refuse one object twice in a wait for all: it waits, here to the time-out.
    if (b.waitAll && UnderWine()) continue;
    for (HANDLE& h : many) h = e[0];
    many[1] = b.second;
    SetLastError(0);
    CHECK_EQ_AT(WaitForMultipleObjects(b.count, many, b.waitAll, 0), static_cast<DWORD>(WAIT_FAILED), b.what);
    CHECK_EQ_AT(GetLastError(), b.error, b.what);
  }
  // The same object twice is fine when any one will do.
  SetEvent(e[0]);
  HANDLE twice[2] = {e[0], e[0]};
  CHECK_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(e[0]);
  CloseHandle(e[1]);
}

// The installer's shutdown: the main thread sets an event a thread waits for, then waits for that
// thread's handle together with another event.
CONFORMANCE(ThreadHandleSignalledAtExitAmongEvents) {
  Flagged f;
  f.go = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE other = CreateEventW(NULL, TRUE, FALSE, NULL);
  HANDLE t = CreateThread(NULL, 0, SetFlagAndReturn, &f, 0, NULL);
  CHECK(f.go != NULL && other != NULL && t != NULL);
  if (f.go && other && t) {
    HANDLE both[2] = {other, t};
    CHECK_EQ(WaitForMultipleObjects(2, both, FALSE, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(f.go);
    CHECK_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    DWORD code = 0;
    CHECK(GetExitCodeThread(t, &code));
    CHECK_EQ(code, static_cast<DWORD>(42));
    SetEvent(other);
    CHECK_EQ(WaitForMultipleObjects(2, both, TRUE, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  }
  if (t) CloseHandle(t);
  if (other) CloseHandle(other);
  if (f.go) CloseHandle(f.go);
  SetLastError(0);
  DWORD code = 0;
  CHECK(!GetExitCodeThread(t, &code));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
