/* Closing kernel objects (kernel32). Included by <windows.h>. */
#ifndef WINSIM_HANDLEAPI_H
#define WINSIM_HANDLEAPI_H

#include <windows.h>

WINSIM_BEGIN_C

/* Closes a thread or event handle. A handle that is not open (closed twice, or never one) fails
 * with ERROR_INVALID_HANDLE. */
BOOL WINAPI CloseHandle(HANDLE hObject);

WINSIM_END_C

#endif
