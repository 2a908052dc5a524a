// shell32's file operation, FO_DELETE only, over the machine's drive_c with the marks of
// machine.json's "files" section.
#include <shellapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "core/changes.h"
#include "core/filemarks.h"

using winsim::Machine;
namespace fs = std::filesystem;

namespace {

bool NoCaseLess(const std::wstring& a, const std::wstring& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
    return std::towupper(static_cast<wint_t>(x)) < std::towupper(static_cast<wint_t>(y));
  });
}

// The names in DIR (host) that match PATTERN, in the order a search lists them.
std::vector<std::wstring> Matches(const fs::path& dir, const std::wstring& pattern) {
  std::vector<std::wstring> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::wstring name = winsim::Utf8ToWide(it->path().filename().string());
    if (winsim::WildMatch(pattern.c_str(), name.c_str())) names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NoCaseLess);
  return names;
}

// Deletes PATH (a Windows path) with everything below it; 0, or the error that stopped it, with
// FAILED set to the path that refused. What went before a failure stays gone, as with the shell.
// A junction is followed into its target, whose contents go, as XP's shell does; then the link
// itself goes and the target directory stays.
DWORD DeleteTree(Machine& m, const std::wstring& path, std::wstring& failed) {
  fs::path host = winsim::ToHostPath(m, path);
  std::error_code ec;
  winsim::FileMark flags = winsim::FileMarkOf(m, path);
  failed = path;
  if (fs::is_directory(host, ec)) {
    if (flags.inUse) return ERROR_SHARING_VIOLATION;
    for (const std::wstring& name : Matches(host, L"*"))
      if (DWORD rc = DeleteTree(m, path + L"\\" + name, failed)) return rc;
    failed = path;
  } else if (flags.inUse) {
    return ERROR_SHARING_VIOLATION;
  } else if (flags.running) {
    return ERROR_ACCESS_DENIED;
  }
  // Read-only files and directories go too: the shell clears the mark once the deletion is
  // confirmed (FOF_NOCONFIRMATION answers for the user; without it winsim answers yes).
  if (!fs::remove(host, ec)) return ERROR_ACCESS_DENIED;
  winsim::SetFileMark(m, path, winsim::FileMark());
  winsim::RecordChange(m, "SHFileOperation FO_DELETE " + winsim::WideToUtf8(path));
  return 0;
}

// The shell's error window for a deletion that failed, shown to nobody: recorded with the message
// boxes and answered with its only button, OK, which ends the operation.
void ShowErrorWindow(Machine& m, const std::wstring& path, DWORD error) {
  size_t cut = path.find_last_of(L"\\/");
  std::string name = winsim::WideToUtf8(cut == std::wstring::npos ? path : path.substr(cut + 1));
  std::string reason = error == ERROR_SHARING_VIOLATION
                           ? "It is being used by another person or program.\n\nClose any programs that might be "
                             "using the file and try again."
                           : error == ERROR_ACCESS_DENIED
                                 ? "Access is denied.\n\nMake sure the disk is not full or write-protected and that "
                                   "the file is not currently in use."
                                 : "Error " + std::to_string(error) + ".";
  std::string text = "Cannot delete " + name + ": " + reason;
  const std::string caption = "Error Deleting File or Folder";
  const UINT type = MB_OK | MB_ICONERROR;
  winsim::json& boxes = m.runReport["messageBoxes"];
  if (!boxes.is_array()) boxes = winsim::json::array();
  boxes.push_back({{"text", text}, {"caption", caption}, {"type", type}, {"shownBy", "SHFileOperationW"}});
  std::fprintf(stderr, "winsim: message box \"%s\" (type 0x%x): %s\n", caption.c_str(), type, text.c_str());
  std::fflush(stderr);
}

// What one name of the source list stands for: the name itself, or what its last part matches
// now (nothing, when its directory is missing).
void Expand(Machine& m, const std::wstring& name, std::vector<std::wstring>& targets) {
  size_t cut = name.find_last_of(L"\\/");
  std::wstring dir = cut == std::wstring::npos ? std::wstring() : name.substr(0, cut);
  std::wstring last = cut == std::wstring::npos ? name : name.substr(cut + 1);
  if (last.find_first_of(L"*?") == std::wstring::npos) {
    targets.push_back(name);
    return;
  }
  fs::path hostDir = dir.empty() ? fs::current_path() : winsim::ToHostPath(m, dir + L"\\");
  std::error_code ec;
  if (!fs::is_directory(hostDir, ec)) return;
  if (last == L"*.*") last = L"*";
  for (const std::wstring& found : Matches(hostDir, last))
    targets.push_back((dir.empty() ? std::wstring() : dir + L"\\") + found);
}

}  // namespace

extern "C" {

int WINAPI SHFileOperationW(LPSHFILEOPSTRUCTW op) {
  WINSIM_API(call, "SHFileOperationW");
  if (!op || !op->pFrom) return ERROR_INVALID_PARAMETER;
  if (op->wFunc != FO_DELETE) return ERROR_CALL_NOT_IMPLEMENTED;
  op->fAnyOperationsAborted = FALSE;
  Machine& m = call.machine();
  // The whole list is looked up first, then deleted in order: a name that an earlier pattern took
  // is missing by its turn.
  std::vector<std::wstring> targets;
  for (const WCHAR* name = op->pFrom; *name; name += std::wcslen(name) + 1) {
    if (std::wcslen(name) >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    Expand(m, name, targets);
  }
  for (const std::wstring& target : targets) {
    std::error_code ec;
    if (!fs::exists(winsim::ToHostPath(m, target), ec)) return ERROR_FILE_NOT_FOUND;
    std::wstring failed;
    if (DWORD rc = DeleteTree(m, target, failed)) {
      // Without FOF_NOERRORUI a person is told which file stopped the deletion, and the
      // operation ends there either way.
      if (!(op->fFlags & FOF_NOERRORUI)) ShowErrorWindow(m, failed, rc);
      return static_cast<int>(rc);
    }
  }
  return 0;
}

}  // extern "C"
