// newdev.dll's InstallSelectedDriver, the one export of a run-time module the tools call (see
// kernel32/modules.cpp): records the install on the device and in the run report.
#include "core/pnp.h"
#include "setupapi/infreader.h"

using winsim::Machine;
using winsim::json;
namespace pnp = winsim::pnp;

namespace {

std::wstring FileName(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Writes the selected driver of the set's selected device to the device, as Windows records an
// install: the driver, the device's class, description, manufacturer, service and driver key.
void RecordInstall(Machine& m, pnp::Device& device, const pnp::DriverNode& n, DWORD rebootFlags) {
  size_t slash = n.infPath.find_last_of(L'\\');
  std::wstring dir = slash == std::wstring::npos ? std::wstring() : n.infPath.substr(0, slash);
  std::wstring infName = pnp::SameText(dir, winsim::inf::kInfDirectory) ? FileName(n.infPath) : n.infPath;
  auto u8 = winsim::WideToUtf8;
  winsim::model::DeviceDriver driver;
  driver.inf = u8(infName), driver.section = u8(n.section), driver.provider = u8(n.provider);
  driver.manufacturer = u8(n.manufacturer), driver.description = u8(n.description);
  driver.hardwareId = u8(n.hardwareId), driver.date = n.dateText, driver.version = n.versionText, driver.rank = n.rank;
  device.driver = driver;
  GUID classGuid;
  if (!n.infClass.empty()) device.setupClass = u8(n.infClass);
  if (pnp::ParseGuid(n.infClassGuid, classGuid)) device.classGuid = u8(pnp::FormatGuid(classGuid));
  json& props = device.properties;
  props["DeviceDesc"] = u8(n.description);
  props["Mfg"] = u8(n.manufacturer);
  if (n.service.empty()) props.erase("Service");
  else props["Service"] = u8(n.service);

  // The driver key stays when the class does; otherwise the next free one of the class.
  std::wstring prefix = pnp::FormatGuid(pnp::ClassGuidOf(device)) + L"\\";
  std::wstring key = winsim::Utf8ToWide(pnp::TextProperty(device, "Driver"));
  if (key.size() <= prefix.size() || !pnp::SameText(key.substr(0, prefix.size()), prefix)) {
    unsigned next = 0;
    for (const pnp::Device& d : pnp::Devices(m)) {
      std::wstring other = winsim::Utf8ToWide(pnp::TextProperty(d, "Driver"));
      if (other.size() > prefix.size() && pnp::SameText(other.substr(0, prefix.size()), prefix))
        next = std::max(next, static_cast<unsigned>(std::wcstoul(other.c_str() + prefix.size(), nullptr, 10)) + 1);
    }
    wchar_t num[8];
    std::swprintf(num, 8, L"%04u", next);
    props["Driver"] = u8(prefix + num);
  }

  json entry = {{"instanceId", device.instanceId},
                {"inf", u8(n.infPath)},
                {"section", u8(n.section)},
                {"hardwareId", u8(n.hardwareId)},
                {"present", device.present},
                {"restart", rebootFlags & DI_NEEDREBOOT ? "reboot" : rebootFlags & DI_NEEDRESTART ? "restart" : "none"}};
  m.runReport["driverInstalls"].push_back(entry);
}

}  // namespace

namespace winsim {

// newdev.dll: installs the selected driver on the selected device of the set. The result is in
// the last error; the reboot word is set to DI_NEEDRESTART or DI_NEEDREBOOT when the machine says so,
// else to 0.
BOOL WINAPI NewdevInstallSelectedDriver(HWND, HDEVINFO DeviceInfoSet, LPCWSTR, BOOL, PDWORD bReboot) {
  WINSIM_API(call, "InstallSelectedDriver", FALSE);
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
  pnp::Device* device = pnp::FindDevice(m, e.instanceId);
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

}  // namespace winsim
