// Libraries loaded at run time, and newdev.dll's InstallSelectedDriver, the one module whose
// exports the tools call. A module loads only when its file is on the machine's drive.
#include <cstring>
#include <cwctype>

#include "core/pnp.h"
#include "setupapi/infreader.h"

using winsim::ApiCall;
using winsim::Machine;
using winsim::json;
namespace pnp = winsim::pnp;

namespace {

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

// Writes the selected driver of the set's selected device to the device, as Windows records an
// install: the driver, the device's class, description, manufacturer, service and driver key.
void RecordInstall(Machine& m, json& device, const pnp::DriverNode& n, DWORD rebootFlags) {
  size_t slash = n.infPath.find_last_of(L'\\');
  std::wstring dir = slash == std::wstring::npos ? std::wstring() : n.infPath.substr(0, slash);
  std::wstring infName = pnp::SameText(dir, winsim::inf::kInfDirectory) ? FileName(n.infPath) : n.infPath;
  auto u8 = winsim::WideToUtf8;
  device["driver"] = {{"inf", u8(infName)},
                      {"section", u8(n.section)},
                      {"provider", u8(n.provider)},
                      {"manufacturer", u8(n.manufacturer)},
                      {"description", u8(n.description)},
                      {"hardwareId", u8(n.hardwareId)},
                      {"date", n.dateText},
                      {"version", n.versionText},
                      {"rank", n.rank}};
  GUID classGuid;
  if (!n.infClass.empty()) device["class"] = u8(n.infClass);
  if (pnp::ParseGuid(n.infClassGuid, classGuid)) device["classGuid"] = u8(pnp::FormatGuid(classGuid));
  json& props = device["properties"];
  if (!props.is_object()) props = json::object();
  props["DeviceDesc"] = u8(n.description);
  props["Mfg"] = u8(n.manufacturer);
  if (n.service.empty()) props.erase("Service");
  else props["Service"] = u8(n.service);

  // The driver key stays when the class does; otherwise the next free one of the class.
  std::wstring prefix = pnp::FormatGuid(pnp::ClassGuidOf(device)) + L"\\";
  std::wstring key = winsim::Utf8ToWide(props.value("Driver", ""));
  if (key.size() <= prefix.size() || !pnp::SameText(key.substr(0, prefix.size()), prefix)) {
    unsigned next = 0;
    for (const json& d : pnp::Devices(m)) {
      if (!d.contains("properties")) continue;
      std::wstring other = winsim::Utf8ToWide(d.at("properties").value("Driver", ""));
      if (other.size() > prefix.size() && pnp::SameText(other.substr(0, prefix.size()), prefix))
        next = std::max(next, static_cast<unsigned>(std::wcstoul(other.c_str() + prefix.size(), nullptr, 10)) + 1);
    }
    wchar_t num[8];
    std::swprintf(num, 8, L"%04u", next);
    props["Driver"] = u8(prefix + num);
  }

  json entry = {{"instanceId", device.value("instanceId", "")},
                {"inf", u8(n.infPath)},
                {"section", u8(n.section)},
                {"hardwareId", u8(n.hardwareId)},
                {"present", pnp::Present(device)},
                {"restart", rebootFlags & DI_NEEDREBOOT ? "reboot" : rebootFlags & DI_NEEDRESTART ? "restart" : "none"}};
  m.runReport["driverInstalls"].push_back(entry);
}

// newdev.dll: installs the selected driver on the selected device of the set. The result is in
// the last error; the reboot word is set to DI_NEEDRESTART or DI_NEEDREBOOT when the machine says so,
// else to 0.
BOOL WINAPI NewdevInstallSelectedDriver(HWND, HDEVINFO DeviceInfoSet, LPCWSTR, BOOL, PDWORD bReboot) {
  ApiCall call("InstallSelectedDriver");
  if (call.fault()) {
    SetLastError(call.fault());
    return FALSE;
  }
  Machine& m = call.machine();
  pnp::DeviceInfoSet* set = pnp::FindSet(m, DeviceInfoSet);
  if (!set) return FALSE;
  if (!set->selected) {
    SetLastError(ERROR_NO_DEVICE_SELECTED);
    return FALSE;
  }
  pnp::Element& e = *set->selected;
  if (!e.selectedDriver) {
    SetLastError(ERROR_NO_DRIVER_SELECTED);
    return FALSE;
  }
  json* device = pnp::FindDevice(m, e.instanceId);
  if (!device) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return FALSE;
  }
  std::string restart = m.doc.value("driverInstallRestart", std::string("none"));
  DWORD flags = restart == "reboot" ? DI_NEEDREBOOT : restart == "restart" ? DI_NEEDRESTART : 0;
  RecordInstall(m, *device, *e.selectedDriver, flags);
  // Set, not added to: what the word held before the call says nothing about this install.
  if (bReboot) *bReboot = flags;
  SetLastError(NO_ERROR);
  return TRUE;
}

FARPROC AsFarProc(BOOL(WINAPI* f)(HWND, HDEVINFO, LPCWSTR, BOOL, PDWORD)) {
  // Through void (*)(void), which converts to and from any function pointer without a warning.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

// The modules winsim can load, by file name.
const Module* KnownModule(const std::wstring& fileName) {
  static const Export kNewdev[] = {{"InstallSelectedDriver", AsFarProc(&NewdevInstallSelectedDriver)}};
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

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  ApiCall call("LoadLibraryW");
  if (call.fault()) {
    SetLastError(call.fault());
    return nullptr;
  }
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
  ApiCall call("GetProcAddress");
  if (call.fault()) {
    SetLastError(call.fault());
    return nullptr;
  }
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
  ApiCall call("FreeLibrary");
  if (call.fault()) {
    SetLastError(call.fault());
    return FALSE;
  }
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
