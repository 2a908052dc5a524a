/* The shell's light-weight utility calls (shlwapi). */
#ifndef WINSIM_SHLWAPI_H
#define WINSIM_SHLWAPI_H

#include <windows.h>

WINSIM_BEGIN_C

/* Deletes the key below hKey with all its values and sub-keys; ERROR_FILE_NOT_FOUND when it is
 * missing. */
LSTATUS WINAPI SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey);

WINSIM_END_C

#define SHDeleteKey SHDeleteKeyW

#endif
