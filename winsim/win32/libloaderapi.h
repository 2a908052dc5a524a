/* Loading libraries at run time (kernel32). Included by <windows.h>. */
#ifndef WINSIM_LIBLOADERAPI_H
#define WINSIM_LIBLOADERAPI_H

#include <windows.h>

typedef INT_PTR (WINAPI *FARPROC)(void);

WINSIM_BEGIN_C

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
/* Only the program's own module (a null name) is known here. */
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);

WINSIM_END_C

#endif
