/* The process heap (kernel32). Included by <windows.h>. */
#ifndef WINSIM_HEAPAPI_H
#define WINSIM_HEAPAPI_H

#include <windows.h>

#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_ZERO_MEMORY 0x00000008

WINSIM_BEGIN_C

HANDLE WINAPI GetProcessHeap(void);
/* Returns null on failure and, as on Windows, leaves the last error as it was. */
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

WINSIM_END_C

#endif
