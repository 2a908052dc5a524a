/* Files and directories (kernel32). Included by <windows.h>. */
#ifndef WINSIM_FILEAPI_H
#define WINSIM_FILEAPI_H

#include <windows.h>

#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400
/* What the find calls report in dwReserved0 for a junction. */
#define IO_REPARSE_TAG_MOUNT_POINT 0xA0000003L

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004
#define MOVEFILE_WRITE_THROUGH 0x00000008
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
typedef WIN32_FIND_DATAW WIN32_FIND_DATA, *LPWIN32_FIND_DATA;

#ifndef WINSIM_SECURITY_ATTRIBUTES_DEFINED
#define WINSIM_SECURITY_ATTRIBUTES_DEFINED
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
#endif

WINSIM_BEGIN_C

/* A search by exact path finds that file or directory; the last part of the path may also hold the
 * wildcards '*' and '?'. Entries come in name order, without regard to case. */
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists);
BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes);
UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
/* Security attributes are not modelled: the directory gets the default security. */
BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
/* Only an empty directory goes; one marked in use in machine.json's "files" stays (32). A junction
 * goes as a link, its target untouched. */
BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);
/* Only MOVEFILE_DELAY_UNTIL_REBOOT: the operation is appended to PendingFileRenameOperations for
 * the Session Manager (`winsim restart`); a null new name deletes the file or empty directory then.
 * Other moves fail with ERROR_CALL_NOT_IMPLEMENTED. */
BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);

WINSIM_END_C

#define FindFirstFile FindFirstFileW
#define FindNextFile FindNextFileW
#define CopyFile CopyFileW
#define DeleteFile DeleteFileW
#define GetFileAttributes GetFileAttributesW
#define SetFileAttributes SetFileAttributesW
#define GetSystemDirectory GetSystemDirectoryW
#define CreateDirectory CreateDirectoryW
#define RemoveDirectory RemoveDirectoryW
#define MoveFileEx MoveFileExW

#endif
