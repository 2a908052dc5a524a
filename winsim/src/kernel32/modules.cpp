// kernel32's modules: the program's own (its handle and path) and the libraries loaded at run
// time. A library loads only when its file is on the machine's drive, and only newdev.dll, the one
// module whose exports the tools call, has any.
#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <cwctype>
#include <filesystem>

#include "core/machine.h"
#include "winsim/control.h"

using winsim::Machine;

namespace winsim {
BOOL WINAPI NewdevInstallSelectedDriver(HWND, HDEVINFO, LPCWSTR, BOOL, PDWORD);  // newdev/newdev.cpp
}

namespace {

// Copies TEXT into BUF of SIZE units the way the module-name calls do on Windows XP: a name
// that does not fit is cut to SIZE characters without a terminator, SIZE is returned and the
// last error is left alone (later Windows terminates the cut name and sets
// ERROR_INSUFFICIENT_BUFFER). Callers that cope with XP cope with both.
template <typename Ch>
DWORD CopyCut(const std::basic_string<Ch>& text, Ch* buf, DWORD size) {
  if (!buf || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() < size) {
    std::memcpy(buf, text.c_str(), (text.size() + 1) * sizeof(Ch));
    return static_cast<DWORD>(text.size());
  }
  std::memcpy(buf, text.data(), size * sizeof(Ch));
  return size;
}

// The program's path as Windows would show it: the host path on drive Z: (as Wine maps "/"),
// with the ".exe" of a Windows program.
std::wstring ModulePath() {
  std::error_code ec;
  std::string p = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec) p = "/program";
  std::wstring w = L"Z:" + winsim::Utf8ToWide(p);
  for (auto& c : w)
    if (c == L'/') c = L'\\';
  size_t dot = w.rfind(L'.'), slash = w.rfind(L'\\');
  if (dot == std::wstring::npos || dot < slash) w += L".exe";
  return w;
}
// The code-page calls refuse the same arguments: no source, an empty or negative source length
constexpr char kModuleKind[] = "HMODULE";
constexpr wchar_t kSystemDirectory[] = L"C:\\WINDOWS\\system32";

struct Export {
  const char* name;
  FARPROC address;
};

struct Module {
  std::wstring name;  // file name, lower case
  const Export* exports = nullptr;
  size_t exportCount = 0;
  unsigned refs = 1;
};

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return s;
}

std::wstring FileName(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

FARPROC AsFarProc(BOOL(WINAPI* f)(HWND, HDEVINFO, LPCWSTR, BOOL, PDWORD)) {
  // Through void (*)(void), which converts to and from any function pointer without a warning.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

// The modules winsim can load, by file name.
const Module* KnownModule(const std::wstring& fileName) {
  static const Export kNewdev[] = {{"InstallSelectedDriver", AsFarProc(&winsim::NewdevInstallSelectedDriver)}};
  static const Module kModules[] = {{L"newdev.dll", kNewdev, sizeof kNewdev / sizeof kNewdev[0], 1}};
  for (const Module& mod : kModules)
    if (mod.name == Lower(fileName)) return &mod;
  return nullptr;
}

Module* FindModule(Machine& m, HMODULE h) {
  winsim::HandleInfo* info = h ? m.FindHandle(reinterpret_cast<uintptr_t>(h), kModuleKind) : nullptr;
  return info ? static_cast<Module*>(info->object.get()) : nullptr;
}

}  // namespace

extern "C" {

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
  WINSIM_API(call, "GetModuleHandleW", nullptr);
  if (name) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // The program's image base, as Windows gives it to an .exe built for XP.
  return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buf, DWORD size) {
  WINSIM_API(call, "GetModuleFileNameW", 0);
  if (module && module != GetModuleHandleW(nullptr)) {
    SetLastError(ERROR_INVALID_HANDLE);  // only the program's own module is known here
    return 0;
  }
  return CopyCut(ModulePath(), buf, size);
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buf, DWORD size) {
  WINSIM_API(call, "GetModuleFileNameA", 0);
  if (module && module != GetModuleHandleW(nullptr)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return CopyCut(winsim::WideToAnsi(ModulePath()), buf, size);
}

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  WINSIM_API(call, "LoadLibraryW", nullptr);
  if (!lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Machine& m = call.machine();
  std::wstring path = lpLibFileName;
  // A bare name is looked for in the system directory, where the tools' modules live.
  if (path.find_first_of(L"\\/") == std::wstring::npos) path = std::wstring(kSystemDirectory) + L"\\" + path;
  std::error_code ec;
  if (!winsim::fs::is_regular_file(winsim::ToHostPath(m, path), ec)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const Module* known = KnownModule(FileName(path));
  if (!known) {
    SetLastError(ERROR_BAD_EXE_FORMAT);  // the machine's other files are placeholders, not code
    return nullptr;
  }
  // A module already loaded is handed out again, with one more reference.
  for (auto& [h, info] : m.handles) {
    if (info.kind != kModuleKind) continue;
    auto* mod = static_cast<Module*>(info.object.get());
    if (mod->name == known->name) {
      ++mod->refs;
      return reinterpret_cast<HMODULE>(h);
    }
  }
  auto mod = std::make_shared<Module>(*known);
  mod->refs = 1;
  return reinterpret_cast<HMODULE>(m.AddHandle(kModuleKind, mod));
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  WINSIM_API(call, "GetProcAddress", nullptr);
  Module* mod = FindModule(call.machine(), hModule);
  if (!mod) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // An ordinal (a value below 0x10000 in place of a name) names no export of these modules.
  if (reinterpret_cast<uintptr_t>(lpProcName) >= 0x10000)
    for (size_t i = 0; i < mod->exportCount; ++i)
      if (std::strcmp(mod->exports[i].name, lpProcName) == 0) return mod->exports[i].address;
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  WINSIM_API(call, "FreeLibrary", FALSE);
  Machine& m = call.machine();
  Module* mod = FindModule(m, hLibModule);
  if (!mod) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (--mod->refs == 0) m.CloseHandle(reinterpret_cast<uintptr_t>(hLibModule), kModuleKind);
  return TRUE;
}

}  // extern "C"
