// Directories, the shell's delete operation and the deletion of a registry tree. The cases work in
// a scratch directory (and key) of their own, made and removed by each case.
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"

#ifndef _WIN32
#include <filesystem>
#include <fstream>

#include "winsim/control.h"
#include "winsim/files.h"
#endif

namespace {

const wchar_t kDir[] = L"C:\\Q52ConfShell";
const wchar_t kKey[] = L"Software\\Q52ConfShell";

std::wstring At(const wchar_t* name) { return std::wstring(kDir) + L"\\" + name; }

// Setting up and clearing away use the host's file system here and the real calls on Windows.
#ifdef _WIN32
void MakeDir(const std::wstring& p) { CreateDirectoryW(p.c_str(), NULL); }
void WriteText(const std::wstring& p, const char* text) {
  HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD written = 0;
  if (h != INVALID_HANDLE_VALUE) {
    WriteFile(h, text, static_cast<DWORD>(strlen(text)), &written, NULL);
    CloseHandle(h);
  }
}
bool Exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }
// Open in a way that lets others read but not change or delete the file or directory.
struct Held {
  explicit Held(const std::wstring& p)
      : h(CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                      NULL)) {}
  ~Held() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  HANDLE h;
};
#else
void MakeDir(const std::wstring& p) { std::filesystem::create_directories(winsim::HostPath(p)); }
void WriteText(const std::wstring& p, const char* text) { std::ofstream(winsim::HostPath(p)) << text; }
bool Exists(const std::wstring& p) { return std::filesystem::exists(winsim::HostPath(p)); }
struct Held {
  explicit Held(const std::wstring& p) : path(p) { winsim::SetFileInUse(p, true); }
  ~Held() { winsim::SetFileInUse(path, false); }
  std::wstring path;
};
#endif

// Removes DIR with everything in it, read-only files included, without the calls under test.
void RemoveTree(const std::wstring& dir) {
#ifdef _WIN32
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName, path = dir + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
#else
  for (const char* p : {"a.txt", "b.txt", "c.txt", "sub", "sub\\d.txt", "sub\\deeper\\e.txt"}) {
    std::wstring w = dir + L"\\" + std::wstring(p, p + strlen(p));
    winsim::SetFileInUse(w, false);
    winsim::SetFileReadOnly(w, false);
  }
  winsim::SetFileInUse(dir, false);
  std::error_code ec;
  std::filesystem::remove_all(winsim::HostPath(dir), ec);
#endif
}

// The scratch directory with "a.txt", "b.txt", "c.txt" and "sub" holding "d.txt" and
// "deeper\e.txt".
struct Scratch {
  Scratch() {
    RemoveTree(kDir);
    MakeDir(kDir);
    MakeDir(At(L"sub"));
    MakeDir(At(L"sub\\deeper"));
    WriteText(At(L"a.txt"), "a");
    WriteText(At(L"b.txt"), "b");
    WriteText(At(L"c.txt"), "c");
    WriteText(At(L"sub\\d.txt"), "d");
    WriteText(At(L"sub\\deeper\\e.txt"), "e");
  }
  ~Scratch() { RemoveTree(kDir); }
};

// FO_DELETE of the double-null-terminated list made of NAMES, with FLAGS.
int ShellDelete(const std::vector<std::wstring>& names, FILEOP_FLAGS flags, BOOL* aborted = NULL) {
  std::vector<WCHAR> list;
  for (const std::wstring& n : names) {
    list.insert(list.end(), n.begin(), n.end());
    list.push_back(L'\0');
  }
  list.push_back(L'\0');
  SHFILEOPSTRUCTW op;
  memset(&op, 0, sizeof(op));
  op.wFunc = FO_DELETE;
  op.pFrom = list.data();
  op.fFlags = flags;
  op.fAnyOperationsAborted = TRUE;
  int rc = SHFileOperationW(&op);
  if (aborted) *aborted = op.fAnyOperationsAborted;
  return rc;
}

// MinGW-w64 declares the result a DWORD, the Windows SDK an LSTATUS.
LONG DeleteTreeKey(const wchar_t* sub) { return static_cast<LONG>(SHDeleteKeyW(HKEY_CURRENT_USER, sub)); }

// A failure must not wait for a person: tests that expect one ask for no error window.
const FILEOP_FLAGS kQuiet = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;

}  // namespace

CONFORMANCE(CreateDirectoryResults) {
  Scratch scratch;
  CHECK(CreateDirectoryW(At(L"new").c_str(), NULL));
  CHECK(Exists(At(L"new")));
  struct Row {
    const char* what;
    std::wstring path;
    DWORD error;
  } rows[] = {
      {"existing directory", At(L"new"), ERROR_ALREADY_EXISTS},
      {"existing file", At(L"a.txt"), ERROR_ALREADY_EXISTS},
      {"parent missing", At(L"nodir\\new"), ERROR_PATH_NOT_FOUND},
  };
  for (const Row& row : rows) {
    SetLastError(0);
    CHECK_AT(!CreateDirectoryW(row.path.c_str(), NULL), row.what);
    CHECK_EQ_AT(GetLastError(), row.error, row.what);
  }
  RemoveDirectoryW(At(L"new").c_str());
}

CONFORMANCE(RemoveDirectoryResults) {
  Scratch scratch;
  MakeDir(At(L"empty"));
  CHECK(RemoveDirectoryW(At(L"empty").c_str()));
  CHECK(!Exists(At(L"empty")));
  struct Row {
    const char* what;
    std::wstring path;
    DWORD error;
  } rows[] = {
      {"not empty", At(L"sub"), ERROR_DIR_NOT_EMPTY},
      {"missing", At(L"empty"), ERROR_FILE_NOT_FOUND},
      {"parent missing", At(L"nodir\\empty"), ERROR_PATH_NOT_FOUND},
      {"a file", At(L"a.txt"), ERROR_DIRECTORY},
  };
  for (const Row& row : rows) {
    SetLastError(0);
    CHECK_AT(!RemoveDirectoryW(row.path.c_str()), row.what);
    CHECK_EQ_AT(GetLastError(), row.error, row.what);
  }
  CHECK(Exists(At(L"sub\\d.txt")));
}

CONFORMANCE(RemoveDirectoryInUse) {
  Scratch scratch;
  MakeDir(At(L"held"));
  {
    Held held(At(L"held"));
    SetLastError(0);
    CHECK(!RemoveDirectoryW(At(L"held").c_str()));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CHECK(Exists(At(L"held")));
  }
  CHECK(RemoveDirectoryW(At(L"held").c_str()));
}

// A pattern deletes what it matches with everything below it, read-only files included, and
// leaves the directory that holds them.
CONFORMANCE(ShellDeleteEmptiesADirectory) {
  Scratch scratch;
  BOOL aborted = TRUE;
  CHECK_EQ(ShellDelete({At(L"*")}, FOF_NOCONFIRMATION, &aborted), 0);
  CHECK(!aborted);
  CHECK(Exists(kDir));
  for (const wchar_t* gone : {L"a.txt", L"b.txt", L"c.txt", L"sub"}) CHECK_AT(!Exists(At(gone)), check::Show(gone));
  CHECK(RemoveDirectoryW(kDir));
}

// Every name of the list is looked up before anything is deleted: a name that a pattern before it
// took already is missing by its turn, and stops the operation there.
CONFORMANCE(ShellDeleteNamesAndPatterns) {
  Scratch scratch;
  CHECK_EQ(ShellDelete({At(L"a.txt"), At(L"sub\\deeper"), At(L"?.TXT")}, kQuiet), static_cast<int>(ERROR_FILE_NOT_FOUND));
  for (const wchar_t* gone : {L"a.txt", L"sub\\deeper"}) CHECK_AT(!Exists(At(gone)), check::Show(gone));
  CHECK(Exists(At(L"b.txt")));
  CHECK_EQ(ShellDelete({At(L"b.txt"), At(L"s*")}, kQuiet), 0);
  for (const wchar_t* gone : {L"b.txt", L"sub"}) CHECK_AT(!Exists(At(gone)), check::Show(gone));
  CHECK(Exists(At(L"c.txt")));
}

// Windows asks before it deletes a read-only file, and FOF_NOCONFIRMATION answers yes. Wine (8.0)
// takes read-only files below a directory it deletes, but refuses one that the list names or a
// pattern matches with ERROR_ACCESS_DENIED.
CONFORMANCE(ShellDeleteTakesReadOnlyFiles) {
  Scratch scratch;
  CHECK(SetFileAttributesW(At(L"b.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  CHECK(SetFileAttributesW(At(L"sub\\d.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  CHECK_EQ(ShellDelete({At(L"sub")}, kQuiet), 0);
  CHECK(!Exists(At(L"sub")));
  int rc = ShellDelete({At(L"*")}, kQuiet);
  if (WineDiffers("SHFileOperationW (FO_DELETE) stops at a read-only file with ERROR_ACCESS_DENIED "
                  "(Windows deletes it)")) {
    CHECK_EQ(rc, static_cast<int>(ERROR_ACCESS_DENIED));
    CHECK(Exists(At(L"b.txt")));
    SetFileAttributesW(At(L"b.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    return;
  }
  CHECK_EQ(rc, 0);
  for (const wchar_t* gone : {L"a.txt", L"b.txt", L"c.txt"}) CHECK_AT(!Exists(At(gone)), check::Show(gone));
}

// A file in use stops the deletion with a non-zero result; the file stays.
CONFORMANCE(ShellDeleteStopsAtAFileInUse) {
  Scratch scratch;
  int rc = 0;
  {
    Held held(At(L"c.txt"));
    rc = ShellDelete({At(L"c.txt")}, kQuiet);
  }
  CHECK_EQ(rc, static_cast<int>(ERROR_SHARING_VIOLATION));
  CHECK(Exists(At(L"c.txt")));
  {
    Held held(At(L"sub\\d.txt"));
    rc = ShellDelete({At(L"*")}, kQuiet);
  }
  CHECK(rc != 0);
  CHECK(Exists(At(L"sub\\d.txt")));
  CHECK(Exists(At(L"sub")));
  // The operation ends at the file that refused: names before it are gone, names after it stay.
  WriteText(At(L"a.txt"), "a");
  WriteText(At(L"b.txt"), "b");
  WriteText(At(L"c.txt"), "c");
  {
    Held held(At(L"b.txt"));
    rc = ShellDelete({At(L"a.txt"), At(L"b.txt"), At(L"c.txt")}, kQuiet);
  }
  CHECK_EQ(rc, static_cast<int>(ERROR_SHARING_VIOLATION));
  CHECK(!Exists(At(L"a.txt")));
  CHECK(Exists(At(L"b.txt")));
  CHECK(Exists(At(L"c.txt")));
}

CONFORMANCE(ShellDeleteFindsNothing) {
  Scratch scratch;
  MakeDir(At(L"empty"));
  struct Row {
    const char* what;
    std::wstring name;
    int result;
  } rows[] = {
      // A pattern that matches nothing is no failure, even where its directory is missing.
      {"pattern in an empty directory", At(L"empty\\*"), 0},
      {"missing file", At(L"missing.txt"), static_cast<int>(ERROR_FILE_NOT_FOUND)},
      {"pattern in a missing directory", At(L"nodir\\*"), 0},
  };
  for (const Row& row : rows) CHECK_EQ_AT(ShellDelete({row.name}, kQuiet), row.result, row.what);
  CHECK(Exists(At(L"empty")));
}

CONFORMANCE(SHDeleteKeyTakesTheTree) {
  DeleteTreeKey(kKey);
  HKEY key = NULL;
  std::wstring deep = std::wstring(kKey) + L"\\Sub\\Deeper";
  CHECK_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, deep.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL,
                           &key, NULL),
           ERROR_SUCCESS);
  if (key) {
    DWORD one = 1;
    RegSetValueExW(key, L"Value", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
    RegCloseKey(key);
  }
  CHECK_EQ(DeleteTreeKey(kKey), ERROR_SUCCESS);
  key = NULL;
  CHECK_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  CHECK_EQ(DeleteTreeKey(kKey), ERROR_FILE_NOT_FOUND);
  CHECK_EQ(DeleteTreeKey(L"Software\\Q52NoSuchParent\\Key"), ERROR_FILE_NOT_FOUND);
}
