/* The shell's file operations (shell32). */
#ifndef WINSIM_SHELLAPI_H
#define WINSIM_SHELLAPI_H

#include <windows.h>

typedef WORD FILEOP_FLAGS;
/* Lists of names, each ending with its NUL, closed by one more NUL. */
typedef const WCHAR *PCZZWSTR;

#define FO_MOVE 0x0001
#define FO_COPY 0x0002
#define FO_DELETE 0x0003
#define FO_RENAME 0x0004

#define FOF_MULTIDESTFILES 0x0001
#define FOF_CONFIRMMOUSE 0x0002
#define FOF_SILENT 0x0004
#define FOF_RENAMEONCOLLISION 0x0008
#define FOF_NOCONFIRMATION 0x0010
#define FOF_WANTMAPPINGHANDLE 0x0020
#define FOF_ALLOWUNDO 0x0040
#define FOF_FILESONLY 0x0080
#define FOF_SIMPLEPROGRESS 0x0100
#define FOF_NOCONFIRMMKDIR 0x0200
#define FOF_NOERRORUI 0x0400
#define FOF_NOCOPYSECURITYATTRIBS 0x0800

typedef struct _SHFILEOPSTRUCTW {
  HWND hwnd;
  UINT wFunc;
  PCZZWSTR pFrom;
  PCZZWSTR pTo;
  FILEOP_FLAGS fFlags;
  BOOL fAnyOperationsAborted;
  LPVOID hNameMappings;
  PCWSTR lpszProgressTitle;
} SHFILEOPSTRUCTW, *LPSHFILEOPSTRUCTW;
typedef SHFILEOPSTRUCTW SHFILEOPSTRUCT;
typedef LPSHFILEOPSTRUCTW LPSHFILEOPSTRUCT;

WINSIM_BEGIN_C

/* FO_DELETE only: each name of pFrom, whose last part may hold '*' and '?', is deleted with
 * everything below it, read-only files included; the deletion is permanent (FOF_ALLOWUNDO is not
 * modelled) and no window is shown. All names are looked up before the first deletion. Returns 0
 * when all went (a pattern that matches nothing is no failure), else the error that stopped it:
 * ERROR_FILE_NOT_FOUND for a plain name that is missing by its turn, ERROR_SHARING_VIOLATION for
 * a file or directory in use. What was deleted before stays deleted. */
int WINAPI SHFileOperationW(LPSHFILEOPSTRUCTW lpFileOp);

WINSIM_END_C

#define SHFileOperation SHFileOperationW

#endif
