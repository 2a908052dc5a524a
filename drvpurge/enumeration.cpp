#include "enumeration.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "log.h"

CSpoolerList::~CSpoolerList() { free(m_pBuffer); }

bool CSpoolerList::Fetch(const SpoolerEnumCall& call, bool zeroIsNone, const SpoolerEnumMessages& messages) {
  free(m_pBuffer);
  m_pBuffer = NULL;
  m_dwCount = 0;
  m_bListed = false;

  DWORD needed = 0;
  DWORD returned = 0;
  // Mostly the size matters here: the call fails for lack of room, or fails outright and leaves
  // it 0. Only a call that succeeds with nothing to return tells that the list is empty.
  BOOL sized = call(NULL, 0, &needed, &returned);
  if (needed == 0 && zeroIsNone) {
    m_bListed = sized != FALSE;
    return false;
  }

  // With a size of 0 the fetch is still made: it reports the failure that stopped the size query.
  m_pBuffer = malloc(needed);
  if (m_pBuffer == NULL && needed != 0) {
    Log(LOG_ERROR, messages.allocationFailed, static_cast<int>(GetLastError()));
    return false;
  }
  returned = 0;
  if (!call(static_cast<LPBYTE>(m_pBuffer), needed, &needed, &returned)) {
    Log(LOG_ERROR, messages.secondCallFailed, static_cast<int>(GetLastError()));
    free(m_pBuffer);
    m_pBuffer = NULL;
    return false;
  }
  m_dwCount = returned;
  m_bListed = true;
  return true;
}

CSpoolerName::~CSpoolerName() { free(m_pName); }

bool CSpoolerName::Assign(const wchar_t* name) {
  free(m_pName);
  m_pName = NULL;
  if (name == NULL) name = L"";
  const size_t bytes = (wcslen(name) + 1) * sizeof(wchar_t);
  m_pName = static_cast<wchar_t*>(malloc(bytes));
  if (m_pName == NULL) return false;
  memcpy(m_pName, name, bytes);
  return true;
}
