// kernel32's file calls over the machine's drive_c, with the read-only and in-use marks of
// machine.json's "files" section.
#include "core/filemarks.h"

#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <vector>

#include "core/changes.h"
#include "winsim/files.h"

using winsim::Fail;
using winsim::FileMark;
using winsim::Machine;
namespace fs = std::filesystem;

namespace winsim {

model::Files& FileMarks(Machine& m) {
  if (!m.files) m.files = model::FilesOf(m.doc);
  return *m.files;
}

namespace {

// The mark whose key names the same host file as HOST.
model::Files::iterator FindMark(Machine& m, const fs::path& host) {
  model::Files& files = FileMarks(m);
  return std::find_if(files.begin(), files.end(), [&](auto& e) { return ToHostPath(m, Utf8ToWide(e.first)) == host; });
}

}  // namespace

DWORD MissingError(const fs::path& host) {
  std::error_code ec;
  return fs::is_directory(host.parent_path(), ec) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

bool WildMatch(const wchar_t* pattern, const wchar_t* name) {
  for (; *pattern; ++pattern, ++name) {
    if (*pattern == L'*') {
      for (const wchar_t* rest = name;; ++rest) {
        if (WildMatch(pattern + 1, rest)) return true;
        if (!*rest) return false;
      }
    }
    if (!*name) return false;
    if (*pattern != L'?' &&
        std::towupper(static_cast<wint_t>(*pattern)) != std::towupper(static_cast<wint_t>(*name)))
      return false;
  }
  return *name == 0;
}

FileMark FileMarkOf(Machine& m, const std::wstring& windowsPath) {
  auto it = FindMark(m, ToHostPath(m, windowsPath));
  return it == FileMarks(m).end() ? FileMark() : it->second;
}

void SetFileMark(Machine& m, const std::wstring& windowsPath, const FileMark& mark) {
  auto it = FindMark(m, ToHostPath(m, windowsPath));
  if (it != FileMarks(m).end()) FileMarks(m).erase(it);
  if (mark.readOnly || mark.inUse || mark.running)
    FileMarks(m)[WideToUtf8(windowsPath)] = model::NewMark(mark.readOnly, mark.inUse, mark.running);
}

bool IsJunction(const fs::path& host) {
  std::error_code ec;
  return fs::is_symlink(host, ec) && fs::is_directory(host, ec);
}

}  // namespace winsim

using winsim::MissingError;
using winsim::WildMatch;

namespace {

const char kFindHandle[] = "FindFile";
const wchar_t kDefaultSystemDirectory[] = L"C:\\WINDOWS\\system32";

// Windows refuses a path of MAX_PATH characters or more unless it has the "\\?\" prefix, which
// the tools never use.
bool TooLong(LPCWSTR path) { return std::wcslen(path) >= MAX_PATH; }

// Checks PATH before a call looks at the file; false (with the error set) when the call is to fail.
bool UsablePath(LPCWSTR path) {
  if (!path || !*path) return Fail(ERROR_PATH_NOT_FOUND);
  if (TooLong(path)) return Fail(ERROR_FILENAME_EXCED_RANGE);
  return true;
}

FILETIME ToFileTime(const struct timespec& t) {
  uint64_t v = (static_cast<uint64_t>(t.tv_sec) + 11644473600ULL) * 10000000ULL + static_cast<uint64_t>(t.tv_nsec) / 100;
  return {static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

struct Found {
  std::wstring name;
  fs::path host;
  std::wstring windowsPath;
};

struct Search {
  std::vector<Found> entries;
  size_t next = 0;
};

void Fill(Machine& m, const Found& f, LPWIN32_FIND_DATAW data) {
  std::memset(data, 0, sizeof(*data));
  struct stat st;
  if (::stat(f.host.c_str(), &st) == 0) {
    bool dir = S_ISDIR(st.st_mode);
    data->dwFileAttributes = dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    // "." and ".." of a directory reached through a junction are plain directories.
    if (f.name != L"." && f.name != L".." && winsim::IsJunction(f.host)) {
      data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
      data->dwReserved0 = IO_REPARSE_TAG_MOUNT_POINT;
    }
    data->ftCreationTime = ToFileTime(st.st_ctim);
    data->ftLastAccessTime = ToFileTime(st.st_atim);
    data->ftLastWriteTime = ToFileTime(st.st_mtim);
    if (!dir) {
      data->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
      data->nFileSizeLow = static_cast<DWORD>(st.st_size);
    }
  }
  if (f.name != L"." && f.name != L".." && winsim::FileMarkOf(m, f.windowsPath).readOnly)
    data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
  std::wstring name = f.name.substr(0, MAX_PATH - 1);
  std::memcpy(data->cFileName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
}

}  // namespace

extern "C" {

HANDLE WINAPI FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW data) {
  WINSIM_API(call, "FindFirstFileW", INVALID_HANDLE_VALUE);
  if (!UsablePath(fileName)) return INVALID_HANDLE_VALUE;
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Machine& m = call.machine();
  std::wstring path(fileName);
  size_t cut = path.find_last_of(L"\\/");
  std::wstring dirPart = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
  std::wstring pattern = cut == std::wstring::npos ? path : path.substr(cut + 1);
  if (cut == std::wstring::npos && path.size() >= 2 && path[1] == L':') {  // "C:name"
    dirPart = path.substr(0, 2) + L"\\";
    pattern = path.substr(2);
  }
  if (pattern.empty()) {  // "C:\WINDOWS\" names no entry
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (pattern == L"*.*") pattern = L"*";
  fs::path dirHost = dirPart.empty() ? fs::current_path() : winsim::ToHostPath(m, dirPart);
  std::error_code ec;
  if (!fs::is_directory(dirHost, ec)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto search = std::make_shared<Search>();
  // Every directory but a drive's root lists itself and its parent first.
  bool root = dirPart.empty() ? false : winsim::ToHostPath(m, dirPart + L"..") == dirHost;
  if (!root)
    for (const wchar_t* dot : {L".", L".."})
      if (WildMatch(pattern.c_str(), dot)) search->entries.push_back({dot, dirHost, dirPart + dot});
  std::vector<Found> names;
  for (auto it = fs::directory_iterator(dirHost, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::wstring name = winsim::Utf8ToWide(it->path().filename().string());
    if (WildMatch(pattern.c_str(), name.c_str())) names.push_back({name, it->path(), dirPart + name});
  }
  std::sort(names.begin(), names.end(), [](const Found& a, const Found& b) {
    return std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(),
                                        [](wchar_t x, wchar_t y) {
                                          return std::towupper(static_cast<wint_t>(x)) <
                                                 std::towupper(static_cast<wint_t>(y));
                                        });
  });
  search->entries.insert(search->entries.end(), names.begin(), names.end());
  if (search->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Fill(m, search->entries[0], data);
  search->next = 1;
  return reinterpret_cast<HANDLE>(m.AddHandle(kFindHandle, search));
}

BOOL WINAPI FindNextFileW(HANDLE handle, LPWIN32_FIND_DATAW data) {
  WINSIM_API(call, "FindNextFileW", FALSE);
  winsim::HandleInfo* info = call.machine().FindHandle(reinterpret_cast<uintptr_t>(handle), kFindHandle);
  if (!info) return Fail(ERROR_INVALID_HANDLE);
  if (!data) return Fail(ERROR_INVALID_PARAMETER);
  auto* search = static_cast<Search*>(info->object.get());
  if (search->next >= search->entries.size()) return Fail(ERROR_NO_MORE_FILES);
  Fill(call.machine(), search->entries[search->next++], data);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE handle) {
  WINSIM_API(call, "FindClose", FALSE);
  if (!call.machine().CloseHandle(reinterpret_cast<uintptr_t>(handle), kFindHandle)) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR fileName) {
  WINSIM_API(call, "GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
  if (!UsablePath(fileName)) return INVALID_FILE_ATTRIBUTES;
  Machine& m = call.machine();
  fs::path host = winsim::ToHostPath(m, fileName);
  std::error_code ec;
  if (!fs::exists(host, ec)) {
    SetLastError(MissingError(host));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = fs::is_directory(host, ec) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (winsim::IsJunction(host)) attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  if (winsim::FileMarkOf(m, fileName).readOnly) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

BOOL WINAPI SetFileAttributesW(LPCWSTR fileName, DWORD attributes) {
  WINSIM_API(call, "SetFileAttributesW", FALSE);
  if (!UsablePath(fileName)) return FALSE;
  Machine& m = call.machine();
  fs::path host = winsim::ToHostPath(m, fileName);
  std::error_code ec;
  if (!fs::exists(host, ec)) return Fail(MissingError(host));
  // Only the read-only mark is kept; the other attributes have no meaning here.
  FileMark flags = winsim::FileMarkOf(m, fileName);
  flags.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  winsim::SetFileMark(m, fileName, flags);
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR fileName) {
  WINSIM_API(call, "DeleteFileW", FALSE);
  if (!UsablePath(fileName)) return FALSE;
  Machine& m = call.machine();
  fs::path host = winsim::ToHostPath(m, fileName);
  std::error_code ec;
  if (!fs::exists(host, ec)) return Fail(MissingError(host));
  if (fs::is_directory(host, ec)) return Fail(ERROR_ACCESS_DENIED);
  // The sharing check comes with the open, before the read-only file refuses to be deleted.
  FileMark flags = winsim::FileMarkOf(m, fileName);
  if (flags.inUse) return Fail(ERROR_SHARING_VIOLATION);
  // A running program's image refuses the deletion itself, as a read-only file does.
  if (flags.running || flags.readOnly) return Fail(ERROR_ACCESS_DENIED);
  if (!fs::remove(host, ec)) return Fail(ERROR_ACCESS_DENIED);
  winsim::SetFileMark(m, fileName, FileMark());
  winsim::RecordChange(m, "DeleteFile " + winsim::WideToUtf8(fileName));
  return TRUE;
}

BOOL WINAPI CopyFileW(LPCWSTR existing, LPCWSTR newName, BOOL failIfExists) {
  WINSIM_API(call, "CopyFileW", FALSE);
  if (!UsablePath(existing) || !UsablePath(newName)) return FALSE;
  Machine& m = call.machine();
  fs::path from = winsim::ToHostPath(m, existing), to = winsim::ToHostPath(m, newName);
  std::error_code ec;
  if (!fs::exists(from, ec)) return Fail(MissingError(from));
  if (fs::is_directory(from, ec)) return Fail(ERROR_ACCESS_DENIED);
  if (!fs::is_directory(to.parent_path(), ec)) return Fail(ERROR_PATH_NOT_FOUND);
  if (fs::exists(to, ec)) {
    if (failIfExists) return Fail(ERROR_FILE_EXISTS);
    if (fs::is_directory(to, ec)) return Fail(ERROR_ACCESS_DENIED);
    FileMark target = winsim::FileMarkOf(m, newName);
    if (target.inUse || target.running) return Fail(ERROR_SHARING_VIOLATION);
    if (target.readOnly) return Fail(ERROR_ACCESS_DENIED);
  }
  if (fs::equivalent(from, to, ec)) return Fail(ERROR_SHARING_VIOLATION);  // the source is open for reading
  if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) return Fail(ERROR_ACCESS_DENIED);
  // The copy takes the source's attributes.
  FileMark copied;
  copied.readOnly = winsim::FileMarkOf(m, existing).readOnly;
  winsim::SetFileMark(m, newName, copied);
  return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
  WINSIM_API(call, "CreateDirectoryW", FALSE);
  if (!UsablePath(pathName)) return FALSE;
  Machine& m = call.machine();
  fs::path host = winsim::ToHostPath(m, pathName);
  std::error_code ec;
  // A file of that name counts as well: the name is taken.
  if (fs::exists(host, ec)) return Fail(ERROR_ALREADY_EXISTS);
  if (!fs::is_directory(host.parent_path(), ec)) return Fail(ERROR_PATH_NOT_FOUND);
  if (!fs::create_directory(host, ec)) return Fail(ERROR_ACCESS_DENIED);
  winsim::RecordChange(m, "CreateDirectory " + winsim::WideToUtf8(pathName));
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR pathName) {
  WINSIM_API(call, "RemoveDirectoryW", FALSE);
  if (!UsablePath(pathName)) return FALSE;
  Machine& m = call.machine();
  fs::path host = winsim::ToHostPath(m, pathName);
  std::error_code ec;
  if (!fs::exists(host, ec)) return Fail(MissingError(host));
  if (!fs::is_directory(host, ec)) return Fail(ERROR_DIRECTORY);
  // Open elsewhere (a program's current directory, an Explorer window): the open comes first.
  FileMark flags = winsim::FileMarkOf(m, pathName);
  if (flags.inUse) return Fail(ERROR_SHARING_VIOLATION);
  if (flags.readOnly) return Fail(ERROR_ACCESS_DENIED);
  // A junction goes as a link, whatever its target holds; the target stays as it is.
  if (!winsim::IsJunction(host) && !fs::is_empty(host, ec)) return Fail(ERROR_DIR_NOT_EMPTY);
  if (!fs::remove(host, ec)) return Fail(ERROR_ACCESS_DENIED);
  winsim::SetFileMark(m, pathName, FileMark());
  winsim::RecordChange(m, "RemoveDirectory " + winsim::WideToUtf8(pathName));
  return TRUE;
}

UINT WINAPI GetSystemDirectoryW(LPWSTR buffer, UINT size) {
  WINSIM_API(call, "GetSystemDirectoryW", 0);
  const winsim::json& doc = call.machine().doc;
  std::wstring dir = doc.contains("systemDirectory") && doc["systemDirectory"].is_string()
                         ? winsim::Utf8ToWide(doc["systemDirectory"].get<std::string>())
                         : std::wstring(kDefaultSystemDirectory);
  // Too small a buffer gets nothing and the size it needs, terminator included.
  if (!buffer || size <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
  return static_cast<UINT>(dir.size());
}

}  // extern "C"

namespace winsim {

namespace {

// Sets one mark of a file, keeping the others.
void SetMark(const std::wstring& windowsPath, bool FileMark::*flag, bool on) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  FileMark f = FileMarkOf(m, windowsPath);
  f.*flag = on;
  SetFileMark(m, windowsPath, f);
}

}  // namespace

void SetFileReadOnly(const std::wstring& windowsPath, bool readOnly) {
  SetMark(windowsPath, &FileMark::readOnly, readOnly);
}
void SetFileInUse(const std::wstring& windowsPath, bool inUse) { SetMark(windowsPath, &FileMark::inUse, inUse); }
void SetFileRunning(const std::wstring& windowsPath, bool running) {
  SetMark(windowsPath, &FileMark::running, running);
}

}  // namespace winsim
