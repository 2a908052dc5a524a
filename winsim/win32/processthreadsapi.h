/* Threads (kernel32). Included by <windows.h>. */
#ifndef WINSIM_PROCESSTHREADSAPI_H
#define WINSIM_PROCESSTHREADSAPI_H

#include <windows.h>
#include <synchapi.h>

typedef DWORD(WINAPI *PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004
#define STILL_ACTIVE 259L

WINSIM_BEGIN_C

/* A real host thread runs the routine. The handle is signalled when the routine has returned. */
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId);
/* The previous suspend count, or (DWORD)-1 on failure. */
DWORD WINAPI ResumeThread(HANDLE hThread);
DWORD WINAPI GetCurrentThreadId(void);
/* STILL_ACTIVE while the thread runs, then the routine's result. */
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

WINSIM_END_C

#endif
