#include "q52plx.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <string.h>
#include <strsafe.h>

#include "log.h"

const wchar_t kInstallDirectory[] = L"C:\\Q52PLX";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 Plexline Drivers";

CQ52PLXClass::CQ52PLXClass() { m_bInitialized = Initialize(kApiComponent, L"", kInstallDirectory); }

void CQ52PLXClass::RemoveInstallDirectory() {
  // Unbound, the directory is empty and the pattern would be "\*": everything on the drive.
  if (!m_bInitialized || m_szTargetDirectory[0] == L'\0') return;

  if (!CreateDirectoryW(m_szTargetDirectory, NULL) && GetLastError() == ERROR_ALREADY_EXISTS)
    Log(LOG_TRACE, "%ws already exists.", m_szTargetDirectory);

  // The shell reads a list of names closed by a second NUL: the last character of the zeroed
  // buffer is never written, so that NUL is always there. A pattern that does not fit is not
  // sent at all, since a cut one would name something else.
  wchar_t pattern[MAX_PATH];
  memset(pattern, 0, sizeof(pattern));
  if (FAILED(StringCchCopyW(pattern, MAX_PATH - 1, m_szTargetDirectory)) ||
      FAILED(StringCchCatW(pattern, MAX_PATH - 1, L"\\*"))) {
    Log(LOG_ERROR, "RemoveInstallDirectory - wcscat_s Failed, GetLastError():%d",
        static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
  } else {
    SHFILEOPSTRUCTW op;
    memset(&op, 0, sizeof(op));
    op.hwnd = NULL;
    op.wFunc = FO_DELETE;
    op.pFrom = pattern;
    op.pTo = NULL;
    // Permanent (no FOF_ALLOWUNDO), sub-directories included, without asking.
    op.fFlags = FOF_NOCONFIRMATION;
    int rc = SHFileOperationW(&op);
    Log(LOG_TRACE, "SHFileOperation returns %d", rc);
  }

  if (RemoveDirectoryW(m_szTargetDirectory))
    Log(LOG_INFO, "%ws removed...", m_szTargetDirectory);
  else
    Log(LOG_ERROR, "unable to remove %ws. GetLastError():%d", m_szTargetDirectory, static_cast<int>(GetLastError()));
}

void DeleteUninstallKey() {
  LSTATUS rc = SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
  Log(rc == ERROR_SUCCESS ? LOG_INFO : LOG_ERROR, "RegDeleteKey returns %d", static_cast<int>(rc));
}
