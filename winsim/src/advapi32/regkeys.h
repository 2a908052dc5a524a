// Registry handles, shared by advapi32's registry calls and shlwapi's tree deletion.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "core/machine.h"

namespace winsim {

struct OpenKey {
  std::shared_ptr<RegKey> key;
  REGSAM access;
};

// The key behind a handle: a predefined root or an open key. Sets *err when there is none.
inline std::shared_ptr<RegKey> Resolve(Machine& m, HKEY h, REGSAM* access, LSTATUS* err) {
  uintptr_t v = reinterpret_cast<uintptr_t>(h);
  if (auto root = m.registry.RootForHandle(v)) {
    if (access) *access = KEY_ALL_ACCESS;
    return root;
  }
  HandleInfo* info = h ? m.FindHandle(v, "HKEY") : nullptr;
  if (!info) {
    *err = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  auto* open = static_cast<OpenKey*>(info->object.get());
  if (open->key->deleted) {
    *err = ERROR_KEY_DELETED;
    return nullptr;
  }
  if (access) *access = open->access;
  return open->key;
}

// A sub-key path is relative: one that begins with a backslash is refused, as by Windows.
inline bool BadSubKey(const std::wstring& sub) { return !sub.empty() && sub[0] == L'\\'; }

}  // namespace winsim
