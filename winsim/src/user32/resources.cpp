// user32's resource calls over the program's embedded resource script: strings, icons, cursors,
// accelerators, and dialogs that nobody sees. Resource handles are shared, as those of
// a module's resources are: loading twice gives the same handle and nothing has to be freed, so
// they are not counted among the open handles.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "core/changes.h"
#include "core/machine.h"
#include "core/registry.h"
#include "winsim/resources.h"


namespace winsim {
namespace {

struct Program {
  std::mutex lock;
  std::string script;
  std::map<std::string, std::string> files;
  bool parsed = false;
  std::optional<ResourceScript> resources;
};

// Never destroyed: resources may be loaded from an exit handler.
Program& TheProgram() {
  static Program* program = new Program;
  return *program;
}

// Shared handles of loaded resources, by what they stand for.
struct SharedHandles {
  std::map<std::string, uintptr_t> byKey;
  std::map<uintptr_t, std::string> keys;
  uintptr_t next = 0x7E000010;
  uintptr_t For(const std::string& key) {
    auto it = byKey.find(key);
    if (it != byKey.end()) return it->second;
    uintptr_t h = next;
    next += 0x10;
    byKey[key] = h;
    keys[h] = key;
    return h;
  }
  const std::string* Key(uintptr_t h) const {
    auto it = keys.find(h);
    return it == keys.end() ? nullptr : &it->second;
  }
};

SharedHandles& Shared() {
  static SharedHandles* handles = new SharedHandles;
  return *handles;
}

// Dialogs whose box is open: the handle, and the result once EndDialog has been called.
struct OpenDialog {
  bool ended = false;
  INT_PTR result = 0;
};

std::map<uintptr_t, OpenDialog>& OpenDialogs() {
  static auto* dialogs = new std::map<uintptr_t, OpenDialog>;
  return *dialogs;
}

std::string NameKey(int id) { return "#" + std::to_string(id); }

// The number a resource is asked for by, MAKEINTRESOURCE or "#123"; -1 for a name, as the
// scripts here name none.
int NameOf(LPCWSTR name) {
  if (IS_INTRESOURCE(name)) return static_cast<int>(reinterpret_cast<ULONG_PTR>(name));
  wchar_t* end = nullptr;
  long v = name[0] == L'#' && name[1] ? std::wcstol(name + 1, &end, 10) : -1;
  return end && !*end && v >= 0 && v <= 0xFFFF ? static_cast<int>(v) : -1;
}

// Which module's resources a call asks for: the program's, or none (a loaded library, whose
// resources winsim does not have). Any other non-null value identifies the program.
const ResourceScript* ModuleResources(Machine& m, HINSTANCE module, DWORD& error) {
  if (module && m.FindHandle(reinterpret_cast<uintptr_t>(module), "HMODULE")) {
    error = ERROR_RESOURCE_DATA_NOT_FOUND;
    return nullptr;
  }
  const ResourceScript* r = ProgramResources();
  if (!r) error = ERROR_RESOURCE_DATA_NOT_FOUND;
  return r;
}

// Whether a resource of one type is there: 0, or the error the real loader gives.
template <typename Table>
DWORD Missing(const Table& table, int id) {
  if (table.empty()) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  return table.count(id) ? 0 : ERROR_RESOURCE_NAME_NOT_FOUND;
}

}  // namespace

bool RegisterResources(const char* script, const ResourceFile* files, size_t count) {
  Program& p = TheProgram();
  std::lock_guard<std::mutex> g(p.lock);
  p.script = script;
  p.files.clear();
  for (size_t i = 0; i < count; ++i)
    p.files[files[i].name] = std::string(reinterpret_cast<const char*>(files[i].data), files[i].size);
  p.parsed = false;
  p.resources.reset();
  return true;
}

const ResourceScript* ProgramResources() {
  Program& p = TheProgram();
  std::lock_guard<std::mutex> g(p.lock);
  if (!p.parsed) {
    p.parsed = true;
    if (p.script.empty()) return nullptr;
    try {
      p.resources = ParseResourceScript(p.script, [&](const std::string& name) -> std::optional<std::string> {
        auto it = p.files.find(name);
        if (it == p.files.end()) return std::nullopt;
        return it->second;
      });
    } catch (const ResourceError& e) {
      std::fprintf(stderr, "winsim: the program's resources cannot be read: %s\n", e.what());
      std::fflush(stderr);
    }
  }
  return p.resources ? &*p.resources : nullptr;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  WINSIM_API(call, "LoadStringW", 0);
  if (!lpBuffer || cchBufferMax < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD error = 0;
  const ResourceScript* r = ModuleResources(call.machine(), hInstance, error);
  if (!r) {
    SetLastError(error);
    return 0;
  }
  if (uID > 0xFFFF) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  // Strings are stored in blocks of sixteen; a missing string in a block that exists is an empty
  // one, found without error.
  auto it = r->strings.find(uID);
  if (it == r->strings.end()) {
    auto block = r->strings.lower_bound(uID & ~0xFu);
    bool blockExists = block != r->strings.end() && (block->first >> 4) == (uID >> 4);
    if (!blockExists) {
      SetLastError(r->strings.empty() ? ERROR_RESOURCE_TYPE_NOT_FOUND : ERROR_RESOURCE_NAME_NOT_FOUND);
      return 0;
    }
    if (cchBufferMax > 0) lpBuffer[0] = L'\0';
    return 0;
  }
  const std::wstring& text = it->second;
  if (cchBufferMax == 0) {
    // The read-only string itself; the caller goes by the length, as it is not terminated on
    // Windows.
    *reinterpret_cast<const wchar_t**>(lpBuffer) = text.c_str();
    return static_cast<int>(text.size());
  }
  size_t n = std::min(text.size(), static_cast<size_t>(cchBufferMax) - 1);
  text.copy(lpBuffer, n);
  lpBuffer[n] = L'\0';
  return static_cast<int>(n);
}

HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName) {
  WINSIM_API(call, "LoadIconW", nullptr);
  if (!lpIconName) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return NULL;
  }
  int name = NameOf(lpIconName);
  if (!hInstance) {
    // The system's icons.
    if (name < 32512 || name > 32518) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return NULL;
    }
    return reinterpret_cast<HICON>(Shared().For("system icon " + NameKey(name)));
  }
  DWORD error = 0;
  const ResourceScript* r = ModuleResources(call.machine(), hInstance, error);
  if (!r || (error = Missing(r->icons, name)) != 0) {
    // An icon the module lacks is reported as a missing type (seen under Wine 8.0).
    SetLastError(error == ERROR_RESOURCE_NAME_NOT_FOUND ? ERROR_RESOURCE_TYPE_NOT_FOUND : error);
    return NULL;
  }
  return reinterpret_cast<HICON>(Shared().For("icon " + NameKey(name)));
}

HCURSOR WINAPI LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
  WINSIM_API(call, "LoadCursorW", nullptr);
  if (!lpCursorName) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return NULL;
  }
  int name = NameOf(lpCursorName);
  if (!hInstance) {
    static const int kSystem[] = {32512, 32513, 32514, 32515, 32516, 32640, 32641, 32642, 32643,
                                  32644, 32645, 32646, 32648, 32649, 32650, 32651};
    if (std::find(std::begin(kSystem), std::end(kSystem), name) == std::end(kSystem)) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return NULL;
    }
    return reinterpret_cast<HCURSOR>(Shared().For("system cursor " + NameKey(name)));
  }
  // The script reader knows no cursor resources, so a program has none.
  DWORD error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  ModuleResources(call.machine(), hInstance, error);
  SetLastError(error);
  return NULL;
}

HACCEL WINAPI LoadAcceleratorsW(HINSTANCE hInstance, LPCWSTR lpTableName) {
  WINSIM_API(call, "LoadAcceleratorsW", nullptr);
  DWORD error = ERROR_RESOURCE_NAME_NOT_FOUND;
  const ResourceScript* r = lpTableName ? ModuleResources(call.machine(), hInstance, error) : nullptr;
  if (!r || (error = Missing(r->accelerators, NameOf(lpTableName))) != 0) {
    SetLastError(error);
    return NULL;
  }
  return reinterpret_cast<HACCEL>(Shared().For("accelerators " + NameKey(NameOf(lpTableName))));
}

}  // extern "C"

namespace {

// The table behind an accelerator handle, or null.
const std::vector<ACCEL>* TableOf(HACCEL h) {
  const std::string* key = Shared().Key(reinterpret_cast<uintptr_t>(h));
  const std::string prefix = "accelerators #";
  if (!key || key->rfind(prefix, 0) != 0) return nullptr;
  const ResourceScript* r = ProgramResources();
  if (!r) return nullptr;
  auto it = r->accelerators.find(std::stoi(key->substr(prefix.size())));
  return it == r->accelerators.end() ? nullptr : &it->second;
}

}  // namespace

extern "C" {

int WINAPI CopyAcceleratorTableW(HACCEL hAccelSrc, LPACCEL lpAccelDst, int cAccelEntries) {
  WINSIM_API(call, "CopyAcceleratorTableW", 0);
  const std::vector<ACCEL>* table = TableOf(hAccelSrc);
  if (!table) {
    SetLastError(ERROR_INVALID_ACCEL_HANDLE);
    return 0;
  }
  int total = static_cast<int>(table->size());
  if (!lpAccelDst) return total;
  int n = std::min(total, cAccelEntries);
  for (int i = 0; i < n; ++i) lpAccelDst[i] = (*table)[static_cast<size_t>(i)];
  return n;
}

int WINAPI TranslateAcceleratorW(HWND hWnd, HACCEL hAccTable, LPMSG lpMsg) {
  WPARAM command = 0;
  {
    WINSIM_API(call, "TranslateAcceleratorW", 0);
    const std::vector<ACCEL>* table = TableOf(hAccTable);
    if (!table) {
      SetLastError(ERROR_INVALID_ACCEL_HANDLE);
      return 0;
    }
    if (!lpMsg) return 0;
    UINT msg = lpMsg->message;
    bool keyDown = msg == WM_KEYDOWN || msg == WM_SYSKEYDOWN;
    bool character = msg == WM_CHAR || msg == WM_SYSCHAR;
    if (!keyDown && !character) return 0;
    if (!hWnd) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    // As Wine (8.0) does: a character entry with Alt answers the key going down while the
    // context code (bit 29) says Alt is down; one without Alt answers the character. A virtual
    // key's modifiers come from the keyboard state; winsim has no keyboard, so entries that
    // need Shift, Control or Alt never match.
    bool alt = (lpMsg->lParam & 0x20000000) != 0;
    const ACCEL* hit = nullptr;
    for (const ACCEL& a : *table) {
      if (a.key != lpMsg->wParam) continue;
      bool match;
      if (a.fVirt & FVIRTKEY) match = keyDown && !(a.fVirt & (FSHIFT | FCONTROL | FALT));
      else if (a.fVirt & FALT) match = keyDown && alt;
      else match = character;
      if (match) {
        hit = &a;
        break;
      }
    }
    if (!hit) return 0;
    command = static_cast<WPARAM>(hit->cmd) | (static_cast<WPARAM>(1) << 16);
  }
  // Outside the lock: the window procedure may wait for other threads that call the API.
  SendMessageW(hWnd, WM_COMMAND, command, 0);
  return 1;
}

INT_PTR WINAPI DialogBoxParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
  uintptr_t box = 0;
  size_t record = 0;
  {
    WINSIM_API(call, "DialogBoxParamW", -1);
    DWORD error = ERROR_RESOURCE_NAME_NOT_FOUND;
    const ResourceScript* r = lpTemplateName ? ModuleResources(call.machine(), hInstance, error) : nullptr;
    int id = r ? NameOf(lpTemplateName) : -1;
    if (!r || (error = Missing(r->dialogs, id)) != 0) {
      SetLastError(error);
      return -1;
    }
    if (!lpDialogFunc) {
      // Without a procedure nothing could ever end the box.
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
    json entry = {{"template", NameKey(id)}, {"caption", WideToUtf8(r->dialogs.at(id))}, {"owned", hWndParent != NULL}};
    json& boxes = call.machine().runReport["dialogs"];
    if (!boxes.is_array()) boxes = json::array();
    boxes.push_back(entry);
    record = boxes.size() - 1;
    box = Shared().next;
    Shared().next += 0x10;
    OpenDialogs()[box] = OpenDialog{};
    RecordChange(call.machine(), "dialog " + NameKey(id) + " shown");
  }
  HWND hDlg = reinterpret_cast<HWND>(box);
  auto ended = [&] {
    std::lock_guard<std::recursive_mutex> g(ApiLock());
    return OpenDialogs()[box].ended;
  };
  // Nobody can click here: the box is answered with OK at once, as a message box is; a
  // procedure that ignores OK gets Cancel, as when its box is closed.
  lpDialogFunc(hDlg, WM_INITDIALOG, 0, dwInitParam);
  if (!ended()) lpDialogFunc(hDlg, WM_COMMAND, IDOK, 0);
  if (!ended()) lpDialogFunc(hDlg, WM_COMMAND, IDCANCEL, 0);
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  OpenDialog state = OpenDialogs()[box];
  OpenDialogs().erase(box);
  json& entry = CurrentMachine().runReport["dialogs"][record];
  if (!state.ended) {
    std::fprintf(stderr, "winsim: dialog %s was ended by neither OK nor Cancel\n", entry["template"].get<std::string>().c_str());
    std::fflush(stderr);
    entry["result"] = nullptr;
    return 0;
  }
  entry["result"] = static_cast<int64_t>(state.result);
  return state.result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  WINSIM_API(call, "EndDialog", FALSE);
  auto it = OpenDialogs().find(reinterpret_cast<uintptr_t>(hDlg));
  if (it == OpenDialogs().end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  it->second.ended = true;
  it->second.result = nResult;
  return TRUE;
}

}  // extern "C"
