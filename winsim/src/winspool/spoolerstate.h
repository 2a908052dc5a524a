// The simulated print spooler: its state (the machine's spooler model) and what its calls share.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/machine.h"

namespace winsim::spooler {

// The machine's spooler, read from machine.json on first use; an XP machine's environment and
// driver directory when the file names none.
model::Spooler& State(Machine& m);

std::wstring LocalEnvironment(Machine& m);
// The driver directory of an environment (NULL or empty: the local one); empty when unknown.
std::wstring DriverDirectory(Machine& m, LPCWSTR environment);
// The environment's canonical spelling, or empty when the spooler does not know it.
std::wstring CanonicalEnvironment(Machine& m, LPCWSTR environment);
extern const wchar_t kSystemDirectory[];

using winsim::SameText;
inline std::wstring W(const std::string& s) { return Utf8ToWide(s); }
// The entry of LIST whose name matches without regard to case; nullptr when none.
template <typename T>
T* FindByName(std::vector<T>& list, const std::wstring& name) {
  for (T& e : list)
    if (SameText(W(e.name), name)) return &e;
  return nullptr;
}
template <typename T, typename F>
void EraseIf(std::vector<T>& list, F match) {
  list.erase(std::remove_if(list.begin(), list.end(), match), list.end());
}
bool HostFileExists(Machine& m, const std::wstring& windowsPath);

// 0 when the call may proceed; otherwise the error it fails with: an injected fault, or
// RPC_S_SERVER_UNAVAILABLE while the "Spooler" service is not running.
DWORD Refusal(ApiCall& call);
// A local server name: NULL or empty. Any other server is out of reach.
bool LocalServer(LPCWSTR name);

// A string field of a record to pack: absent fields become NULL pointers. A multi-string list
// carries its inner terminators in text; the final one is added when packed.
struct Field {
  bool present = false;
  std::wstring text;
};
inline Field S(const std::wstring& s) { return {true, s}; }
inline Field None() { return {}; }
Field MultiSz(const std::vector<std::wstring>& list);

// One record: its strings in field order, and how to build it from their packed addresses.
template <typename Rec, typename Src>
struct Entry {
  std::vector<Field> fields;
  void (*fill)(Rec& rec, const Src& src, LPWSTR* strings);
  const Src* src;
};

// The bytes records and strings take, strings following the fixed records.
template <typename Rec, typename Src>
size_t NeededBytes(const std::vector<Entry<Rec, Src>>& entries) {
  size_t n = entries.size() * sizeof(Rec);
  for (auto& e : entries)
    for (auto& f : e.fields)
      if (f.present) n += (f.text.size() + 1) * sizeof(WCHAR);
  return n;
}

// Packs ENTRIES into BUF: the fixed records first, then their strings. The caller has checked
// that the buffer holds NeededBytes.
template <typename Rec, typename Src>
void Pack(const std::vector<Entry<Rec, Src>>& entries, LPBYTE buf) {
  BYTE* strings = buf + entries.size() * sizeof(Rec);
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry<Rec, Src>& e = entries[i];
    std::vector<LPWSTR> ptrs(e.fields.size() + 1, nullptr);
    for (size_t k = 0; k < e.fields.size(); ++k) {
      if (!e.fields[k].present) continue;
      size_t bytes = (e.fields[k].text.size() + 1) * sizeof(WCHAR);
      std::wstring withNul = e.fields[k].text;
      withNul.push_back(L'\0');
      std::memcpy(strings, withNul.data(), bytes);
      ptrs[k] = reinterpret_cast<LPWSTR>(strings);
      strings += bytes;
    }
    Rec rec;
    std::memset(&rec, 0, sizeof rec);
    e.fill(rec, *e.src, ptrs.data());
    std::memcpy(buf + i * sizeof(Rec), &rec, sizeof rec);
  }
}

// The size protocol of the listing calls: fills BUF when it is large enough, otherwise fails
// with ERROR_INSUFFICIENT_BUFFER; *needed is the size either way.
template <typename Rec, typename Src>
BOOL Deliver(const std::vector<Entry<Rec, Src>>& entries, LPBYTE buf, DWORD cbBuf, LPDWORD needed, LPDWORD returned) {
  size_t n = NeededBytes(entries);
  *needed = static_cast<DWORD>(n);
  if (returned) *returned = 0;
  if (n > cbBuf || (!buf && n > 0)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (n) Pack(entries, buf);
  if (returned) *returned = static_cast<DWORD>(entries.size());
  return TRUE;
}

// Checks shared by the listing calls; sets the last error and the counters on failure.
bool ListingArgsOk(ApiCall& call, LPBYTE buf, DWORD cbBuf, LPDWORD needed, LPDWORD returned);

using winsim::Fail;

}  // namespace winsim::spooler
