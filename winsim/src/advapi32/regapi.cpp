// advapi32's registry calls over the machine's registry (SHDeleteKeyW is in shlwapi/).
#include <windows.h>

#include <cstring>

#include "core/changes.h"
#include "core/machine.h"
#include "advapi32/regkeys.h"

using winsim::ApiCall;
using winsim::Machine;
using winsim::RegKey;
using winsim::OpenKey;
using winsim::Resolve;
using winsim::BadSubKey;

namespace {

HKEY NewKeyHandle(Machine& m, std::shared_ptr<RegKey> key, REGSAM access) {
  auto open = std::make_shared<OpenKey>(OpenKey{std::move(key), access});
  return reinterpret_cast<HKEY>(m.AddHandle("HKEY", open));
}

LSTATUS OpenKeyImpl(ApiCall& call, HKEY hKey, const std::wstring& sub, REGSAM sam, PHKEY result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (call.fault()) return call.Failed();
  if (BadSubKey(sub)) return ERROR_BAD_PATHNAME;
  LSTATUS err = ERROR_SUCCESS;
  auto base = Resolve(call.machine(), hKey, nullptr, &err);
  if (!base) return err;
  auto key = winsim::Registry::Find(base, sub);
  if (!key) return ERROR_FILE_NOT_FOUND;
  *result = NewKeyHandle(call.machine(), key, sam);
  return ERROR_SUCCESS;
}

// Data of a value as the W or A calls return it: string types in the caller's character width.
std::vector<uint8_t> ValueBytes(const winsim::RegValue& v, bool wide) {
  bool isString = v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ;
  if (!isString) return v.data;
  std::wstring w = winsim::Utf16BytesToWide(v.data.data(), v.data.size());
  if (wide) {
    std::vector<uint8_t> out(w.size() * sizeof(WCHAR));
    if (!w.empty()) std::memcpy(out.data(), w.data(), out.size());
    return out;
  }
  std::string a = winsim::WideToAnsi(w);
  return std::vector<uint8_t>(a.begin(), a.end());
}

LSTATUS QueryImpl(ApiCall& call, HKEY hKey, const std::wstring& name, LPDWORD reserved, LPDWORD type,
                  LPBYTE data, LPDWORD cbData, bool wide) {
  if (reserved || (data && !cbData)) return ERROR_INVALID_PARAMETER;
  if (call.fault()) return call.Failed();
  LSTATUS err = ERROR_SUCCESS;
  REGSAM access = 0;
  auto key = Resolve(call.machine(), hKey, &access, &err);
  if (!key) return err;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  auto it = key->values.find(name);
  if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
  std::vector<uint8_t> bytes = ValueBytes(it->second, wide);
  if (type) *type = it->second.type;
  if (!cbData) return ERROR_SUCCESS;
  DWORD have = *cbData;
  *cbData = static_cast<DWORD>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (bytes.size() > have) return ERROR_MORE_DATA;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

std::wstring Wide(LPCWSTR s) { return s ? std::wstring(s) : std::wstring(); }
std::wstring FromAnsi(LPCSTR s) { return s ? winsim::AnsiToWide(s) : std::wstring(); }

}  // namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  ApiCall call("RegOpenKeyW");
  if (phkResult && (!lpSubKey || !*lpSubKey) && !call.fault()) {
    // No sub-key: the handle passed in is handed back, as the documentation says.
    LSTATUS err = ERROR_SUCCESS;
    if (!Resolve(call.machine(), hKey, nullptr, &err)) return err;
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return OpenKeyImpl(call, hKey, Wide(lpSubKey), KEY_ALL_ACCESS, phkResult);
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  ApiCall call("RegOpenKeyExW");
  return OpenKeyImpl(call, hKey, Wide(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  ApiCall call("RegOpenKeyExA");
  return OpenKeyImpl(call, hKey, FromAnsi(lpSubKey), samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired, void*,
                               PHKEY phkResult, LPDWORD lpdwDisposition) {
  ApiCall call("RegCreateKeyExW");
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (call.fault()) return call.Failed();
  if (BadSubKey(lpSubKey)) return ERROR_BAD_PATHNAME;
  LSTATUS err = ERROR_SUCCESS;
  auto base = Resolve(call.machine(), hKey, nullptr, &err);
  if (!base) return err;
  bool existed = winsim::Registry::Find(base, lpSubKey) != nullptr;
  auto key = winsim::Registry::Create(base, lpSubKey);
  if (lpdwDisposition) *lpdwDisposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *phkResult = NewKeyHandle(call.machine(), key, samDesired);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD cbData) {
  ApiCall call("RegQueryValueExW");
  return QueryImpl(call, hKey, Wide(name), reserved, type, data, cbData, true);
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD cbData) {
  ApiCall call("RegQueryValueExA");
  return QueryImpl(call, hKey, FromAnsi(name), reserved, type, data, cbData, false);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR name, DWORD, DWORD type, const BYTE* data, DWORD cbData) {
  WINSIM_API(call, "RegSetValueExW");
  if (!data && cbData) return ERROR_INVALID_PARAMETER;
  LSTATUS err = ERROR_SUCCESS;
  REGSAM access = 0;
  auto key = Resolve(call.machine(), hKey, &access, &err);
  if (!key) return err;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  winsim::RegValue v;
  v.type = type;
  if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
    // The caller's bytes are wide characters of the host's width; keep them as UTF-16.
    std::wstring w(reinterpret_cast<const WCHAR*>(data), cbData / sizeof(WCHAR));
    v.data = winsim::WideToUtf16Bytes(w, false);
  } else if (cbData) {
    v.data.assign(data, data + cbData);
  }
  key->values[Wide(name)] = v;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR name) {
  WINSIM_API(call, "RegDeleteValueW");
  LSTATUS err = ERROR_SUCCESS;
  REGSAM access = 0;
  auto key = Resolve(call.machine(), hKey, &access, &err);
  if (!key) return err;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return key->values.erase(Wide(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  WINSIM_API(call, "RegDeleteKeyW");
  if (!lpSubKey || !*lpSubKey) return ERROR_INVALID_PARAMETER;
  if (BadSubKey(lpSubKey)) return ERROR_BAD_PATHNAME;
  LSTATUS err = ERROR_SUCCESS;
  auto base = Resolve(call.machine(), hKey, nullptr, &err);
  if (!base) return err;
  auto key = winsim::Registry::Find(base, lpSubKey);
  if (!key) return ERROR_FILE_NOT_FOUND;
  if (!key->subkeys.empty()) return ERROR_ACCESS_DENIED;  // only a key without sub-keys goes
  winsim::Registry::Delete(base, lpSubKey);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  WINSIM_API(call, "RegCloseKey");
  uintptr_t v = reinterpret_cast<uintptr_t>(hKey);
  if (call.machine().registry.RootForHandle(v)) return ERROR_SUCCESS;
  return call.machine().CloseHandle(v, "HKEY") ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // extern "C"
