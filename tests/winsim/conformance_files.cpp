// Files: searching, copying, deleting, attributes and the system directory. The cases work in a
// scratch directory of their own on drive C:, made and removed by each case.
#include <windows.h>

#include <string.h>

#include <algorithm>
#include <set>
#include <string>

#include "check.h"
#include "conformance.h"

#ifdef _WIN32
#else
#include <filesystem>
#include <fstream>

#include "winsim/control.h"
#include "winsim/files.h"
#endif

namespace {

const wchar_t kDir[] = L"C:\\Q52ConfFiles";

std::wstring At(const wchar_t* name) { return std::wstring(kDir) + L"\\" + name; }
std::string Num(DWORD v) { return std::to_string(static_cast<unsigned long>(v)); }

// Setting up and clearing away need calls beyond the ones under test: the real ones on Windows,
// the host's file system here.
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
void RemoveDir(const std::wstring& p) { RemoveDirectoryW(p.c_str()); }
// Open for reading in a way that lets others read but not change or delete the file.
struct Held {
  explicit Held(const std::wstring& p)
      : h(CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL)) {}
  ~Held() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  HANDLE h;
};
#else
void MakeDir(const std::wstring& p) { std::filesystem::create_directories(winsim::HostPath(p)); }
void WriteText(const std::wstring& p, const char* text) { std::ofstream(winsim::HostPath(p)) << text; }
void RemoveDir(const std::wstring& p) { std::filesystem::remove(winsim::HostPath(p)); }
struct Held {
  explicit Held(const std::wstring& p) : path(p) { winsim::SetFileInUse(p, true); }
  ~Held() { winsim::SetFileInUse(path, false); }
  std::wstring path;
};
#endif

// Removes DIR with the files and sub-directories in it, read-only ones included.
void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName, path = dir + L"\\" + name;
      if (name == L"." || name == L"..") continue;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDir(dir);
}

// A scratch directory with "a.txt" (3 bytes), "b.txt" (5 bytes) and the directory "sub".
struct Scratch {
  Scratch() {
    RemoveTree(kDir);
    MakeDir(kDir);
    MakeDir(At(L"sub"));
    WriteText(At(L"a.txt"), "aaa");
    WriteText(At(L"b.txt"), "bbbbb");
  }
  ~Scratch() { RemoveTree(kDir); }
};

// Size of the file at PATH by a search, or -1.
long SizeOf(const std::wstring& path) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(path.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return -1;
  FindClose(h);
  return static_cast<long>(fd.nFileSizeLow);
}

}  // namespace

CONFORMANCE(FindFirstFileByExactPath) {
  Scratch scratch;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(At(L"A.TXT").c_str(), &fd);  // names match without regard to case
  CHECK(h != INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return;
  CHECK_EQ(std::wstring(fd.cFileName), std::wstring(L"a.txt"));  // as stored
  CHECK_EQ(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(0));
  CHECK_EQ(fd.nFileSizeLow, static_cast<DWORD>(3));
  SetLastError(0);
  CHECK(!FindNextFileW(h, &fd));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  CHECK(FindClose(h));

  h = FindFirstFileW(At(L"sub").c_str(), &fd);  // a directory is found too
  CHECK(h != INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) {
    CHECK((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    FindClose(h);
  }
  SetLastError(0);
  CHECK(!FindClose(INVALID_HANDLE_VALUE));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

CONFORMANCE(FindFirstFileFailures) {
  Scratch scratch;
  struct Row {
    std::wstring path;
    DWORD error;
  } rows[] = {
      {At(L"missing.txt"), ERROR_FILE_NOT_FOUND},
      {At(L"nodir\\a.txt"), ERROR_PATH_NOT_FOUND},
      {At(L"sub\\"), ERROR_FILE_NOT_FOUND},  // a trailing backslash names no entry
      {At(L"*.none"), ERROR_FILE_NOT_FOUND},
  };
  for (const Row& row : rows) {
    WIN32_FIND_DATAW fd;
    SetLastError(0);
    HANDLE h = FindFirstFileW(row.path.c_str(), &fd);
    CHECK_AT(h == INVALID_HANDLE_VALUE, check::Show(row.path));
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    CHECK_EQ_AT(GetLastError(), row.error, check::Show(row.path));
  }
}

CONFORMANCE(FindFirstFileWildcards) {
  Scratch scratch;
  struct Row {
    const wchar_t* pattern;
    std::set<std::wstring> names;
  } rows[] = {
      {L"*.txt", {L"a.txt", L"b.txt"}},
      {L"?.TXT", {L"a.txt", L"b.txt"}},
      {L"*", {L".", L"..", L"a.txt", L"b.txt", L"sub"}},
      {L"*.*", {L".", L"..", L"a.txt", L"b.txt", L"sub"}},
      {L"s*", {L"sub"}},
  };
  for (const Row& row : rows) {
    std::set<std::wstring> found;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(At(row.pattern).c_str(), &fd);
    CHECK_AT(h != INVALID_HANDLE_VALUE, check::Show(row.pattern));
    if (h == INVALID_HANDLE_VALUE) continue;
    do found.insert(fd.cFileName);
    while (FindNextFileW(h, &fd));
    FindClose(h);
    CHECK_AT(found == row.names, check::Show(row.pattern) + ", found " + Num(static_cast<DWORD>(found.size())));
  }
}

CONFORMANCE(CopyFileOverwritesOrRefuses) {
  Scratch scratch;
  CHECK(CopyFileW(At(L"a.txt").c_str(), At(L"c.txt").c_str(), TRUE));
  CHECK_EQ(SizeOf(At(L"c.txt")), 3L);
  CHECK(CopyFileW(At(L"b.txt").c_str(), At(L"c.txt").c_str(), FALSE));  // overwrites
  CHECK_EQ(SizeOf(At(L"c.txt")), 5L);

  SetFileAttributesW(At(L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  struct Row {
    const char* what;
    std::wstring from, to;
    BOOL failIfExists;
    DWORD error;
  } rows[] = {
      {"target exists", At(L"b.txt"), At(L"c.txt"), TRUE, ERROR_FILE_EXISTS},
      {"no source", At(L"missing.txt"), At(L"d.txt"), FALSE, ERROR_FILE_NOT_FOUND},
      {"no target directory", At(L"b.txt"), At(L"nodir\\d.txt"), FALSE, ERROR_PATH_NOT_FOUND},
      {"read-only target", At(L"b.txt"), At(L"a.txt"), FALSE, ERROR_ACCESS_DENIED},
  };
  for (const Row& row : rows) {
    bool readOnlyTarget = row.error == ERROR_ACCESS_DENIED;
    // Windows refuses to overwrite a read-only file (so its documentation says).
    if (readOnlyTarget && WineDiffers("CopyFileW overwrites a read-only target")) continue;
    SetLastError(0);
    CHECK_AT(!CopyFileW(row.from.c_str(), row.to.c_str(), row.failIfExists), row.what);
    CHECK_EQ_AT(GetLastError(), row.error, row.what);
  }
  CHECK_EQ(SizeOf(At(L"a.txt")), 3L);

  // The copy takes the source's read-only attribute.
  CHECK(CopyFileW(At(L"a.txt").c_str(), At(L"e.txt").c_str(), FALSE));
  CHECK((GetFileAttributesW(At(L"e.txt").c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
}

CONFORMANCE(CopyFileFromAndOntoAFileInUse) {
  Scratch scratch;
  Held held(At(L"a.txt"));
  CHECK(CopyFileW(At(L"a.txt").c_str(), At(L"c.txt").c_str(), FALSE));  // reading it is allowed
  SetLastError(0);
  CHECK(!CopyFileW(At(L"b.txt").c_str(), At(L"a.txt").c_str(), FALSE));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

CONFORMANCE(DeleteFileFailures) {
  Scratch scratch;
  SetFileAttributesW(At(L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  Held held(At(L"b.txt"));
  struct Row {
    std::wstring path;
    DWORD error;
  } rows[] = {
      {At(L"a.txt"), ERROR_ACCESS_DENIED},      // read-only
      {At(L"b.txt"), ERROR_SHARING_VIOLATION},  // in use
      {At(L"sub"), ERROR_ACCESS_DENIED},        // a directory
      {At(L"missing.txt"), ERROR_FILE_NOT_FOUND},
      {At(L"nodir\\a.txt"), ERROR_PATH_NOT_FOUND},
  };
  for (const Row& row : rows) {
    SetLastError(0);
    CHECK_AT(!DeleteFileW(row.path.c_str()), check::Show(row.path));
    CHECK_EQ_AT(GetLastError(), row.error, check::Show(row.path));
  }
  CHECK_EQ(SizeOf(At(L"a.txt")), 3L);
  CHECK_EQ(SizeOf(At(L"b.txt")), 5L);

  // Cleared, the read-only file goes.
  CHECK(SetFileAttributesW(At(L"a.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  CHECK(DeleteFileW(At(L"a.txt").c_str()));
  CHECK_EQ(SizeOf(At(L"a.txt")), -1L);
}

CONFORMANCE(FileAttributes) {
  Scratch scratch;
  DWORD a = GetFileAttributesW(At(L"a.txt").c_str());
  CHECK_EQ(a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY), static_cast<DWORD>(0));
  CHECK(SetFileAttributesW(At(L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY));
  CHECK((GetFileAttributesW(At(L"a.txt").c_str()) & FILE_ATTRIBUTE_READONLY) != 0);
  CHECK((GetFileAttributesW(At(L"sub").c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0);
  SetLastError(0);
  CHECK_EQ(GetFileAttributesW(At(L"missing.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  CHECK(!SetFileAttributesW(At(L"missing.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

CONFORMANCE(GetSystemDirectorySizeProtocol) {
  UINT needed = GetSystemDirectoryW(NULL, 0);  // the size, terminator included
  CHECK(needed > 3 && needed < MAX_PATH);
  if (needed <= 3 || needed >= MAX_PATH) return;
  WCHAR buf[MAX_PATH];
  CHECK_EQ(GetSystemDirectoryW(buf, needed), needed - 1);  // the length, without it
  CHECK_EQ(buf[needed - 1], static_cast<WCHAR>(0));
  std::wstring dir(buf);
  std::transform(dir.begin(), dir.end(), dir.begin(), [](WCHAR c) { return static_cast<WCHAR>(towlower(c)); });
  CHECK_AT(dir.size() > 9 && dir.substr(dir.size() - 9) == L"\\system32", check::Show(dir));
  CHECK_EQ(GetSystemDirectoryW(buf, needed - 1), needed);  // one short: the size again
  if (kOnWinsim) CHECK_EQ(std::wstring(buf), std::wstring(L"C:\\WINDOWS\\system32"));
  // ...and nothing written: a caller that takes the result for a length finds no directory.
  buf[0] = L'#';
  buf[1] = 0;
  CHECK_EQ(GetSystemDirectoryW(buf, 1), needed);
  CHECK_AT(buf[0] == L'#' && buf[1] == 0, check::Show(std::wstring(buf)));
}

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPending[] = L"PendingFileRenameOperations";

// The value's strings, nulls included; empty when it is missing.
std::wstring PendingOperations(HKEY key, DWORD* type) {
  DWORD bytes = 0;
  *type = REG_NONE;
  if (RegQueryValueExW(key, kPending, NULL, type, NULL, &bytes) != ERROR_SUCCESS || bytes == 0) return std::wstring();
  std::wstring text(bytes / sizeof(WCHAR) + 1, L'\0');
  if (RegQueryValueExW(key, kPending, NULL, type, reinterpret_cast<BYTE*>(&text[0]), &bytes) != ERROR_SUCCESS)
    return std::wstring();
  text.resize(bytes / sizeof(WCHAR));
  return text;
}

}  // namespace

// A running program's own file refuses deletion with ERROR_ACCESS_DENIED, not with the sharing
// violation of a file held open. Its deletion at the next restart can be scheduled: the path in
// the form "\??\C:\...", then an empty name, is appended to the Session Manager's list, whose
// closing null moves behind it. Nothing changes on disk until then.
CONFORMANCE(RunningImageGoesAtRestart) {
  Scratch scratch;
#ifdef _WIN32
  WCHAR self[MAX_PATH];
  DWORD length = GetModuleFileNameW(NULL, self, MAX_PATH);
  CHECK(length > 0 && length < MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  const std::wstring image = self;
#else
  const std::wstring image = At(L"a.txt");
  struct Running {
    explicit Running(const std::wstring& p) : path(p) { winsim::SetFileRunning(p, true); }
    ~Running() { winsim::SetFileRunning(path, false); }
    std::wstring path;
  } running(image);
#endif
  SetLastError(0);
  CHECK(!DeleteFileW(image.c_str()));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  HKEY key = NULL;
  CHECK_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL),
           ERROR_SUCCESS);
  if (!key) return;
  DWORD type = REG_NONE;
  const std::wstring before = PendingOperations(key, &type);
  CHECK(MoveFileExW(image.c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
  CHECK(MoveFileExW(At(L"sub").c_str(), NULL, MOVEFILE_DELAY_UNTIL_REBOOT));
  const std::wstring after = PendingOperations(key, &type);
  std::wstring expected = before;
  if (!expected.empty() && expected[expected.size() - 1] == L'\0') expected.resize(expected.size() - 1);
  const std::wstring nul(1, L'\0');
  expected += L"\\??\\" + image + nul + nul + L"\\??\\" + At(L"sub") + nul + nul + nul;
  CHECK_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  CHECK_AT(after == expected, check::Show(after));
  CHECK(SizeOf(image) > 0);
  CHECK_EQ(SizeOf(At(L"sub")), 0L);  // the directory is still there

  // The machine is left as it was.
  if (before.empty())
    RegDeleteValueW(key, kPending);
  else
    RegSetValueExW(key, kPending, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(before.data()),
                   static_cast<DWORD>(before.size() * sizeof(WCHAR)));
  RegCloseKey(key);
}
