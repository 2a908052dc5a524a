// Listing spooler objects (printers, drivers, monitors, ports) with the spooler's two calls: one
// to learn the size of the list, one to fetch it into a buffer of exactly that size.
#pragma once

#include <windows.h>

#include <functional>

// One spooler listing call: (buffer, size in bytes, needed size out, entry count out).
typedef std::function<BOOL(LPBYTE, DWORD, LPDWORD, LPDWORD)> SpoolerEnumCall;

struct SpoolerEnumMessages {
  const char* allocationFailed;  // narrow formats taking the last-error code
  const char* secondCallFailed;
};

// Owns the fetched list until it goes.
class CSpoolerList {
 public:
  CSpoolerList() : m_pBuffer(NULL), m_dwCount(0) {}
  ~CSpoolerList();

  // Size query, allocation and fetch. ZERO_IS_NONE: a needed size of 0 means an empty list
  // without allocating; otherwise the fetch is made all the same, with an empty buffer. A failed
  // allocation or fetch is logged with its message. False when nothing was fetched.
  bool Fetch(const SpoolerEnumCall& call, bool zeroIsNone, const SpoolerEnumMessages& messages);

  DWORD Count() const { return m_dwCount; }
  // The I-th record of the fetched list, I below Count().
  template <typename Record>
  const Record& At(DWORD i) const {
    return reinterpret_cast<const Record*>(m_pBuffer)[i];
  }

 private:
  CSpoolerList(const CSpoolerList&);
  CSpoolerList& operator=(const CSpoolerList&);

  void* m_pBuffer;
  DWORD m_dwCount;
};

// Copies a name the spooler returned into a buffer of MAX_PATH characters. A longer name is cut
// to MAX_PATH - 1 characters; a null one becomes empty.
void CopySpoolerName(wchar_t (&buffer)[MAX_PATH], const wchar_t* name);
