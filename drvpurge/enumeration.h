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
  CSpoolerList() : m_pBuffer(NULL), m_dwCount(0), m_bListed(false) {}
  ~CSpoolerList();

  // Size query, allocation and fetch. ZERO_IS_NONE: a needed size of 0 means an empty list
  // without allocating; otherwise the fetch is made all the same, with an empty buffer. A failed
  // allocation or fetch is logged with its message. False when nothing was fetched.
  bool Fetch(const SpoolerEnumCall& call, bool zeroIsNone, const SpoolerEnumMessages& messages);

  // Whether the spooler answered the last Fetch: it returned the list, or said that it is empty.
  // False when the list could not be had, which says nothing about what is installed.
  bool Listed() const { return m_bListed; }
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
  bool m_bListed;
};

// A printer or port name as the spooler listed it, held whole: cut to a fixed buffer, a long name
// could name another object, which would then be checked or deleted in its place.
class CSpoolerName {
 public:
  CSpoolerName() : m_pName(NULL) {}
  ~CSpoolerName();

  // A null NAME becomes empty. False, and empty, when there is no memory for the copy.
  bool Assign(const wchar_t* name);
  // Empty until a name has been assigned.
  const wchar_t* Get() const { return m_pName != NULL ? m_pName : L""; }

 private:
  CSpoolerName(const CSpoolerName&);
  CSpoolerName& operator=(const CSpoolerName&);

  wchar_t* m_pName;
};
