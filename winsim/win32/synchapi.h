/* Events and waits (kernel32). Included by <windows.h>. */
#ifndef WINSIM_SYNCHAPI_H
#define WINSIM_SYNCHAPI_H

#include <windows.h>

#ifndef WINSIM_SECURITY_ATTRIBUTES_DEFINED
#define WINSIM_SECURITY_ATTRIBUTES_DEFINED
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
#endif

#define WAIT_ABANDONED_0 0x00000080L
#define MAXIMUM_WAIT_OBJECTS 64

WINSIM_BEGIN_C

/* Unnamed events only: a name fails with ERROR_NOT_SUPPORTED here. */
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
/* Events and threads can be waited on; a thread is signalled once it has ended. */
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

WINSIM_END_C

#endif
