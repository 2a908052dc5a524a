// The simulated registry: a tree per root key, read from and written to regedit's export format.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace winsim {

// Names compare without regard to case, as the registry does.
struct NoCaseLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const;
};

struct RegValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;  // as Windows stores it: strings are UTF-16LE with their terminators
};

struct RegKey {
  std::wstring name;  // as created, case kept
  std::map<std::wstring, RegValue, NoCaseLess> values;  // "" is the default value
  std::map<std::wstring, std::shared_ptr<RegKey>, NoCaseLess> subkeys;
  bool deleted = false;  // set when the key is removed while a handle still refers to it
};

class Registry {
 public:
  Registry();
  // Root by its full name ("HKEY_LOCAL_MACHINE") or its short one ("HKLM"); null when unknown.
  std::shared_ptr<RegKey> Root(const std::wstring& name) const;
  // Root for a predefined handle value (0x80000002 ...); null when it is not one.
  std::shared_ptr<RegKey> RootForHandle(uintptr_t h) const;

  // Follows a backslash-separated path below a key; null when a part is missing.
  static std::shared_ptr<RegKey> Find(const std::shared_ptr<RegKey>& from, const std::wstring& path);
  static std::shared_ptr<RegKey> Create(const std::shared_ptr<RegKey>& from, const std::wstring& path);
  // Removes the key at path below from, with its whole tree; false when missing.
  static bool Delete(const std::shared_ptr<RegKey>& from, const std::wstring& path);

  // regedit's format ("Windows Registry Editor Version 5.00" or "REGEDIT4"); UTF-16LE with a
  // byte-order mark, UTF-8 or ANSI. Throws MachineError naming source and line.
  void Import(const std::string& bytes, const std::string& source);
  std::string Export() const;  // UTF-8, version 5.00

 private:
  std::map<std::wstring, std::shared_ptr<RegKey>, NoCaseLess> roots_;
};

// Text conversions used across winsim.
std::wstring Utf8ToWide(const std::string& s);
std::string WideToUtf8(const std::wstring& s);
std::vector<uint8_t> WideToUtf16Bytes(const std::wstring& s, bool terminate);
std::wstring Utf16BytesToWide(const uint8_t* p, size_t bytes);
// Windows-1252, the ANSI code page of the simulated machine.
std::wstring AnsiToWide(const std::string& s);
std::string WideToAnsi(const std::wstring& s, bool* lossy = nullptr);

}  // namespace winsim
