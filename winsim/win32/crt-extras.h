/* Runtime functions of the Windows C library that glibc lacks or names differently. Included by
 * <windows.h>; on Windows they come from <wchar.h> and <string.h>. */
#ifndef WINSIM_CRT_EXTRAS_H
#define WINSIM_CRT_EXTRAS_H

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Comparisons that fold ASCII letters to lower case, as the runtime does in the "C" locale. */
int _wcsicmp(const wchar_t *a, const wchar_t *b);
int _wcsnicmp(const wchar_t *a, const wchar_t *b, size_t count);

#ifdef __cplusplus
}
#endif

#endif
