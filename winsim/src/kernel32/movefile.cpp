// Operations scheduled for the next restart: MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT writes
// them to the Session Manager's PendingFileRenameOperations, and the Session Manager carries them
// out at boot (`winsim restart`).
#include <windows.h>

#include <cwctype>
#include <string>
#include <utility>
#include <vector>

#include "core/changes.h"
#include "core/filemarks.h"

using winsim::Machine;
namespace fs = std::filesystem;

namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingValue[] = L"PendingFileRenameOperations";
const wchar_t kNtPrefix[] = L"\\??\\";

// The value's strings in pairs: source, then target (empty for a deletion). A value as Windows
// writes it ends with an empty source.
std::vector<std::pair<std::wstring, std::wstring>> ReadPairs(const winsim::RegValue& value) {
  std::wstring all = winsim::Utf16BytesToWide(value.data.data(), value.data.size());
  std::vector<std::wstring> strings;
  size_t at = 0;
  while (at < all.size()) {
    size_t end = all.find(L'\0', at);
    if (end == std::wstring::npos) end = all.size();
    strings.push_back(all.substr(at, end - at));
    at = end + 1;
  }
  std::vector<std::pair<std::wstring, std::wstring>> pairs;
  for (size_t i = 0; i < strings.size() && !strings[i].empty(); i += 2)
    pairs.emplace_back(strings[i], i + 1 < strings.size() ? strings[i + 1] : std::wstring());
  return pairs;
}

// "C:\X" in the form the Session Manager reads, as Windows' path conversion gives it: forward
// slashes turned to backslashes.
std::wstring NtForm(const std::wstring& path) {
  std::wstring p = path;
  for (wchar_t& c : p)
    if (c == L'/') c = L'\\';
  return kNtPrefix + p;
}

std::wstring DosForm(const std::wstring& nt) {
  std::wstring p = nt;
  if (p.compare(0, 4, kNtPrefix) == 0) p.erase(0, 4);
  return p;
}

void Append(Machine& m, const std::wstring& source, const std::wstring& target) {
  auto key = winsim::Registry::Create(m.registry.Root(L"HKEY_LOCAL_MACHINE"), kSessionManager);
  winsim::RegValue& value = key->values[kPendingValue];
  if (value.type != REG_MULTI_SZ) value = winsim::RegValue{REG_MULTI_SZ, {}};
  std::wstring all = winsim::Utf16BytesToWide(value.data.data(), value.data.size());
  // The list's closing null goes and comes back after the new pair.
  if (!all.empty() && all.back() == L'\0') all.pop_back();
  all += source;
  all.push_back(L'\0');
  all += target;
  all.push_back(L'\0');
  all.push_back(L'\0');
  value.data = winsim::WideToUtf16Bytes(all, false);
}

}  // namespace

extern "C" {

BOOL WINAPI MoveFileExW(LPCWSTR existing, LPCWSTR newName, DWORD flags) {
  WINSIM_API(call, "MoveFileExW", FALSE);
  if (!existing || !*existing) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(flags & MOVEFILE_DELAY_UNTIL_REBOOT)) {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  // Nothing is checked about the file now: the Session Manager finds out at boot.
  Machine& m = call.machine();
  std::wstring target;
  if (newName && *newName) target = ((flags & MOVEFILE_REPLACE_EXISTING) ? L"!" : L"") + NtForm(newName);
  Append(m, NtForm(existing), target);
  winsim::RecordChange(m, "MoveFileEx " + winsim::WideToUtf8(existing) + " -> " +
                              (target.empty() ? std::string("(deleted at restart)") : winsim::WideToUtf8(newName)));
  return TRUE;
}

}  // extern "C"

namespace winsim {

std::vector<std::string> CarryOutPendingOperations(Machine& m) {
  std::vector<std::string> done;
  auto key = Registry::Find(m.registry.Root(L"HKEY_LOCAL_MACHINE"), kSessionManager);
  if (key && key->values.count(kPendingValue)) {
    for (const auto& [source, target] : ReadPairs(key->values[kPendingValue])) {
      const std::wstring from = DosForm(source);
      const std::string shown = WideToUtf8(from);
      fs::path host = ToHostPath(m, from);
      std::error_code ec;
      const bool junction = IsJunction(host);
      if (host.empty() || (!junction && !fs::exists(host, ec))) {
        done.push_back("not found: " + shown);
        continue;
      }
      if (!target.empty()) {
        bool replace = target[0] == L'!';
        std::wstring to = DosForm(replace ? target.substr(1) : target);
        fs::path toHost = ToHostPath(m, to);
        if (fs::exists(toHost, ec) && !replace) {
          done.push_back("kept (" + WideToUtf8(to) + " exists): " + shown);
          continue;
        }
        fs::rename(host, toHost, ec);
        if (ec) {
          done.push_back("kept (" + ec.message() + "): " + shown);
          continue;
        }
        FileMark moved = FileMarkOf(m, from);
        moved.running = false;
        SetFileMark(m, from, FileMark());
        SetFileMark(m, to, moved);
        done.push_back("renamed: " + shown + " -> " + WideToUtf8(to));
        continue;
      }
      // A directory goes only when empty by then; a read-only file stays, as its deletion is refused.
      if (!junction && fs::is_directory(host, ec) && !fs::is_empty(host, ec)) {
        done.push_back("kept (not empty): " + shown);
        continue;
      }
      if (!junction && !fs::is_directory(host, ec) && FileMarkOf(m, from).readOnly) {
        done.push_back("kept (read-only): " + shown);
        continue;
      }
      if (!fs::remove(host, ec)) {
        done.push_back("kept (" + ec.message() + "): " + shown);
        continue;
      }
      SetFileMark(m, from, FileMark());
      done.push_back("deleted: " + shown);
    }
    key->values.erase(kPendingValue);
  }
  // The programs that ran before the restart do not run now.
  model::Files& marks = FileMarks(m);
  for (auto it = marks.begin(); it != marks.end();) {
    model::StopRunning(it->second);
    it = it->second.readOnly || it->second.inUse ? std::next(it) : marks.erase(it);
  }
  return done;
}

}  // namespace winsim
