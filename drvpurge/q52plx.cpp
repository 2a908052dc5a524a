#include "q52plx.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <string.h>
#include <strsafe.h>

#include "log.h"
#include "unique_resource.h"

const wchar_t kInstallDirectory[] = L"C:\\Q52PLX";
const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 Plexline Drivers";

CQ52PLXClass::CQ52PLXClass() { m_bInitialized = Initialize(kApiComponent, L"", kInstallDirectory); }

namespace {

bool IsDots(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// PATH = DIRECTORY "\" NAME, refused rather than cut: a cut path may name something else.
bool BuildPath(wchar_t* path, const wchar_t* directory, const wchar_t* name) {
  path[0] = L'\0';
  if (SUCCEEDED(StringCchCopyW(path, MAX_PATH, directory)) && SUCCEEDED(StringCchCatW(path, MAX_PATH, L"\\")) &&
      SUCCEEDED(StringCchCatW(path, MAX_PATH, name)))
    return true;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

// A junction (any reparse point) is removed as a link, never followed: anyone may plant one in the
// install directory, and what it points at is not the package's to delete.
bool RemoveLink(const wchar_t* path, DWORD attributes) {
  BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path) : ::DeleteFileW(path);
  if (removed)
    Log(LOG_ERROR, "RemoveInstallDirectory - %ws is a link to another place: the link was removed, nothing behind it.",
        path);
  else
    Log(LOG_ERROR, "RemoveInstallDirectory - unable to remove the link %ws. GetLastError():%d", path,
        static_cast<int>(GetLastError()));
  return removed != FALSE;
}

// Removes every link below DIRECTORY without following one. False when one stayed or a listing
// failed: then what the shell would reach can't be known to be the package's own.
bool RemoveLinksBelow(const wchar_t* directory) {
  wchar_t pattern[MAX_PATH];
  if (!BuildPath(pattern, directory, L"*")) {
    Log(LOG_ERROR, "RemoveInstallDirectory - unable to check %ws for links. GetLastError():%d", directory,
        static_cast<int>(GetLastError()));
    return false;
  }
  WIN32_FIND_DATAW found;
  UniqueSearch search(FindFirstFileW(pattern, &found));
  if (!search) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    Log(LOG_ERROR, "RemoveInstallDirectory - unable to check %ws for links. GetLastError():%d", directory,
        static_cast<int>(error));
    return false;
  }
  bool clean = true;
  do {
    if (IsDots(found.cFileName)) continue;
    const bool link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (!link && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    wchar_t path[MAX_PATH];
    if (!BuildPath(path, directory, found.cFileName)) {
      Log(LOG_ERROR, "RemoveInstallDirectory - unable to check %ws\\%ws for links. GetLastError():%d", directory,
          found.cFileName, static_cast<int>(GetLastError()));
      clean = false;
    } else if (link) {
      clean = RemoveLink(path, found.dwFileAttributes) && clean;
    } else {
      clean = RemoveLinksBelow(path) && clean;
    }
  } while (FindNextFileW(search.get(), &found));
  DWORD error = GetLastError();
  search.reset();
  if (error != ERROR_NO_MORE_FILES) {
    Log(LOG_ERROR, "RemoveInstallDirectory - unable to check %ws for links. GetLastError():%d", directory,
        static_cast<int>(error));
    clean = false;
  }
  return clean;
}

// What can't be deleted now (a running program's own file, a file held open) goes at the next
// restart.
void DeleteAtRestart(const wchar_t* path) {
  if (MoveFileExW(path, NULL, MOVEFILE_DELAY_UNTIL_REBOOT))
    Log(LOG_INFO, "RemoveInstallDirectory - %ws will be deleted at restart.", path);
  else
    Log(LOG_ERROR, "RemoveInstallDirectory - unable to delete %ws. GetLastError():%d", path,
        static_cast<int>(GetLastError()));
}

// The shell clears the read-only mark of what it deletes; so does this. No attribute left is
// written as FILE_ATTRIBUTE_NORMAL, which is how "none" is said.
void ClearReadOnly(const wchar_t* path, DWORD attributes) {
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return;
  DWORD rest = attributes & ~FILE_ATTRIBUTE_READONLY;
  SetFileAttributesW(path, rest ? rest : FILE_ATTRIBUTE_NORMAL);
}

void DeleteLeftoverFile(const wchar_t* path, DWORD attributes) {
  ClearReadOnly(path, attributes);
  if (::DeleteFileW(path))
    Log(LOG_DEBUG, "RemoveInstallDirectory - %ws deleted.", path);
  else
    DeleteAtRestart(path);
}

// Deletes what is left in DIRECTORY and the directory itself, and schedules what can't go now:
// files before the directory that holds them, so that the restart finds the directory empty.
void RemoveLeftovers(const wchar_t* directory, DWORD attributes, bool installDirectory) {
  wchar_t pattern[MAX_PATH];
  WIN32_FIND_DATAW found;
  UniqueSearch search(BuildPath(pattern, directory, L"*") ? FindFirstFileW(pattern, &found) : INVALID_HANDLE_VALUE);
  if (!search) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND)
      Log(LOG_ERROR, "RemoveInstallDirectory - unable to list %ws. GetLastError():%d", directory,
          static_cast<int>(error));
  } else {
    do {
      if (IsDots(found.cFileName)) continue;
      wchar_t path[MAX_PATH];
      if (!BuildPath(path, directory, found.cFileName))
        Log(LOG_ERROR, "RemoveInstallDirectory - unable to delete %ws\\%ws. GetLastError():%d", directory,
            found.cFileName, static_cast<int>(GetLastError()));
      else if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        RemoveLink(path, found.dwFileAttributes);  // planted since the check
      else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveLeftovers(path, found.dwFileAttributes, false);
      else
        DeleteLeftoverFile(path, found.dwFileAttributes);
    } while (FindNextFileW(search.get(), &found));
    search.reset();
  }
  ClearReadOnly(directory, attributes);
  if (!RemoveDirectoryW(directory))
    DeleteAtRestart(directory);
  else if (installDirectory)
    Log(LOG_INFO, "%ws removed...", directory);
  else
    Log(LOG_DEBUG, "RemoveInstallDirectory - %ws deleted.", directory);
}

}  // namespace

bool CQ52PLXClass::TargetMayBeLink() const {
  DWORD attributes = GetFileAttributesW(m_szTargetDirectory);
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

void CQ52PLXClass::RemoveInstallDirectory() {
  // Unbound, the directory is empty and the pattern would be "\*": everything on the drive.
  if (!m_bInitialized || m_szTargetDirectory[0] == L'\0') return;

  if (!CreateDirectoryW(m_szTargetDirectory, NULL) && GetLastError() == ERROR_ALREADY_EXISTS)
    Log(LOG_TRACE, "%ws already exists.", m_szTargetDirectory);

  // XP's shell follows a junction when it deletes recursively: the directory itself being one,
  // only the link goes; links inside it go before the shell can reach them.
  DWORD attributes = GetFileAttributesW(m_szTargetDirectory);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    RemoveLink(m_szTargetDirectory, attributes);
    return;
  }
  DWORD missing = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
  bool checked = false;
  if (missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND)
    checked = true;
  else if (missing != ERROR_SUCCESS)
    Log(LOG_ERROR, "RemoveInstallDirectory - unable to check %ws for links. GetLastError():%d", m_szTargetDirectory,
        static_cast<int>(missing));
  else
    checked = RemoveLinksBelow(m_szTargetDirectory);

  // The shell reads a list of names closed by a second NUL: the last character of the zeroed
  // buffer is never written, so that NUL is always there. A pattern that does not fit is not
  // sent at all, since a cut one would name something else.
  wchar_t pattern[MAX_PATH];
  memset(pattern, 0, sizeof(pattern));
  if (!checked) {
    // Not emptied: something in it may lead elsewhere.
  } else if (FAILED(StringCchCopyW(pattern, MAX_PATH - 1, m_szTargetDirectory)) ||
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

  if (RemoveDirectoryW(m_szTargetDirectory)) {
    Log(LOG_INFO, "%ws removed...", m_szTargetDirectory);
    return;
  }
  DWORD error = GetLastError();
  Log(LOG_ERROR, "unable to remove %ws. GetLastError():%d", m_szTargetDirectory, static_cast<int>(error));
  // Left behind, the package could never be removed: the next run finds no driver and stops.
  // What is still in use (this program's own file, when run from the package) goes at restart.
  if (checked && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
    RemoveLeftovers(m_szTargetDirectory, attributes, true);
}

void DeleteUninstallKey() {
  LSTATUS rc = SHDeleteKeyW(HKEY_LOCAL_MACHINE, kUninstallKey);
  Log(rc == ERROR_SUCCESS ? LOG_INFO : LOG_ERROR, "RegDeleteKey returns %d", static_cast<int>(rc));
}
