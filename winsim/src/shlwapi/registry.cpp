// shlwapi's registry tree deletion, over advapi32's keys and handles.
#include <windows.h>
#include <shlwapi.h>

#include "advapi32/regkeys.h"
#include "core/changes.h"

using winsim::Machine;

extern "C" LSTATUS WINAPI SHDeleteKeyW(HKEY hKey, LPCWSTR pszSubKey) {
  WINSIM_API(call, "SHDeleteKeyW");
  if (!pszSubKey || !*pszSubKey) return ERROR_INVALID_PARAMETER;
  if (winsim::BadSubKey(pszSubKey)) return ERROR_BAD_PATHNAME;
  Machine& m = call.machine();
  LSTATUS err = ERROR_SUCCESS;
  auto base = winsim::Resolve(m, hKey, nullptr, &err);
  if (!base) return err;
  if (!winsim::Registry::Find(base, pszSubKey)) return ERROR_FILE_NOT_FOUND;
  winsim::Registry::Delete(base, pszSubKey);
  // A root is named in the report; below an open key only the sub-key path is known.
  bool root = m.registry.RootForHandle(reinterpret_cast<uintptr_t>(hKey)) != nullptr;
  winsim::RecordChange(m, "SHDeleteKey " + (root ? winsim::WideToUtf8(base->name) + "\\" : std::string()) +
                              winsim::WideToUtf8(pszSubKey));
  return ERROR_SUCCESS;
}

