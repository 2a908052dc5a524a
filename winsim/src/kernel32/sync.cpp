// Critical sections and interlocked operations. They cannot fail and are not traced.
#include <windows.h>

#include <mutex>

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  cs->DebugInfo = new std::recursive_mutex;
  cs->LockCount = -1;
  cs->RecursionCount = 0;
  cs->OwningThread = nullptr;
  cs->LockSemaphore = nullptr;
  cs->SpinCount = 0;
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount) {
  InitializeCriticalSection(cs);
  cs->SpinCount = spinCount;
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  static_cast<std::recursive_mutex*>(cs->DebugInfo)->lock();
  ++cs->RecursionCount;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (!static_cast<std::recursive_mutex*>(cs->DebugInfo)->try_lock()) return FALSE;
  ++cs->RecursionCount;
  return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  --cs->RecursionCount;
  static_cast<std::recursive_mutex*>(cs->DebugInfo)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  delete static_cast<std::recursive_mutex*>(cs->DebugInfo);
  cs->DebugInfo = nullptr;
}

LONG WINAPI InterlockedIncrement(LONG volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedDecrement(LONG volatile* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }
LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG WINAPI InterlockedCompareExchange(LONG volatile* dest, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(dest, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* dest, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(dest, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
PVOID WINAPI InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

}  // extern "C"
