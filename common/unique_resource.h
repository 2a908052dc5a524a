// Holders for what the tools get from the platform and must give back: one template over the
// handle type and its close call, one line per kind, and a scoped hold of a critical section.
// A holder closes on every path out of its scope, so no early return can leak a handle; where
// the order of closes matters, the holders' scopes (or an explicit reset) keep it.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winspool.h>

// Holds one T and hands it to CLOSE when it goes. INVALID_IS_EMPTY: the kind says "none" with
// INVALID_HANDLE_VALUE (searches, device sets, INF files) rather than null; neither is closed.
template <typename T, auto Close, bool kInvalidIsEmpty = false>
class UniqueResource {
 public:
  UniqueResource() : m_value(Empty()) {}
  explicit UniqueResource(T value) : m_value(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  T get() const { return m_value; }
  explicit operator bool() const { return Held(m_value); }
  // For a call that hands the handle back through a pointer.
  T* put() {
    reset();
    return &m_value;
  }
  // Closes what is held now, for a step that must come after the close.
  void reset(T value = Empty()) {
    CloseShared(m_value);
    m_value = value;
  }
  // Lets go of the handle without closing it.
  void release() { m_value = Empty(); }

  // Closes and clears a handle that lives in a plain variable several threads share.
  static void CloseShared(T& value) {
    if (Held(value)) Close(value);
    value = Empty();
  }

 private:
  static T Empty() { return kInvalidIsEmpty ? reinterpret_cast<T>(INVALID_HANDLE_VALUE) : T(); }
  static bool Held(T value) { return value != T() && value != Empty(); }

  T m_value;
};

inline void FreeHeapBlock(void* block) { HeapFree(GetProcessHeap(), 0, block); }

typedef UniqueResource<HANDLE, &CloseHandle> UniqueHandle;  // events and threads
typedef UniqueResource<HKEY, &RegCloseKey> UniqueKey;
typedef UniqueResource<SC_HANDLE, &CloseServiceHandle> UniqueService;
typedef UniqueResource<HANDLE, &ClosePrinter> UniquePrinter;
typedef UniqueResource<HDEVINFO, &SetupDiDestroyDeviceInfoList, true> UniqueDeviceSet;
typedef UniqueResource<HINF, &SetupCloseInfFile, true> UniqueInf;
typedef UniqueResource<HANDLE, &FindClose, true> UniqueSearch;
typedef UniqueResource<HMODULE, &FreeLibrary> UniqueModule;
typedef UniqueResource<void*, &FreeHeapBlock> UniqueHeapBlock;  // from HeapAlloc on the process heap

// Holds a critical section for one scope, so that neither a return nor an exception leaves it held.
class ScopedLock {
 public:
  explicit ScopedLock(CRITICAL_SECTION& section) : m_section(section) { EnterCriticalSection(&m_section); }
  ~ScopedLock() { LeaveCriticalSection(&m_section); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CRITICAL_SECTION& m_section;
};
