#include "enumeration.h"

#include <stdlib.h>
#include <strsafe.h>

#include "log.h"

CSpoolerList::~CSpoolerList() { free(m_pBuffer); }

bool CSpoolerList::Fetch(const SpoolerEnumCall& call, bool zeroIsNone, const SpoolerEnumMessages& messages) {
  free(m_pBuffer);
  m_pBuffer = NULL;
  m_dwCount = 0;

  DWORD needed = 0;
  DWORD returned = 0;
  // Only the size matters here: the call fails for lack of room, or fails outright and leaves it 0.
  call(NULL, 0, &needed, &returned);
  if (needed == 0 && zeroIsNone) return false;

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
  return true;
}

void CopySpoolerName(wchar_t (&buffer)[MAX_PATH], const wchar_t* name) {
  // StringCchCopyW cuts at the buffer's end and always terminates; a cut name is what we keep.
  StringCchCopyW(buffer, MAX_PATH, name != NULL ? name : L"");
}
