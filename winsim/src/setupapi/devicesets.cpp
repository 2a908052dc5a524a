// SetupAPI's device information sets: making them, their members, device properties and install
// parameters.
#include <cstring>
#include <cwchar>

#include "core/pnp.h"

using winsim::ApiCall;
using winsim::Fail;
using winsim::Machine;
using winsim::json;
namespace pnp = winsim::pnp;

namespace winsim::pnp {

DeviceInfoSet* FindSet(Machine& m, HDEVINFO h) {
  HandleInfo* info = h && h != INVALID_HANDLE_VALUE ? m.FindHandle(reinterpret_cast<uintptr_t>(h), kSetKind) : nullptr;
  if (!info) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<DeviceInfoSet*>(info->object.get());
}

Element* FindElement(DeviceInfoSet& set, const SP_DEVINFO_DATA* data) {
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  auto* e = reinterpret_cast<Element*>(data->Reserved);
  if (set.members.count(e)) return e;
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

Element* ElementOrSelected(DeviceInfoSet& set, const SP_DEVINFO_DATA* data) {
  if (data) return FindElement(set, data);
  if (!set.selected) SetLastError(ERROR_NO_DEVICE_SELECTED);
  return set.selected;
}

void FillDevInfoData(const Element& e, SP_DEVINFO_DATA* data) {
  data->ClassGuid = e.classGuid;
  data->DevInst = e.devInst;
  data->Reserved = reinterpret_cast<ULONG_PTR>(&e);
}

void DestroyCompatList(Machine& m, Element& e) {
  if (e.compatHandle) m.CloseHandle(e.compatHandle, kDriverListKind);
  e.compatHandle = 0;
  e.compat.clear();
  e.selectedDriver = nullptr;
  e.compatBuilt = false;
  e.params.Flags &= ~static_cast<DWORD>(DI_DIDCOMPAT);
  e.params.FlagsEx &= ~static_cast<DWORD>(DI_FLAGSEX_DIDCOMPATINFO);
}

}  // namespace winsim::pnp

namespace {

BOOL Succeed() {
  SetLastError(NO_ERROR);
  return TRUE;
}

SP_DEVINSTALL_PARAMS_W FreshParams() {
  SP_DEVINSTALL_PARAMS_W p;
  std::memset(&p, 0, sizeof p);
  p.cbSize = sizeof p;
  return p;
}

HDEVINFO NewSet(Machine& m, const GUID* classGuid) {
  auto set = std::make_shared<pnp::DeviceInfoSet>();
  set->params = FreshParams();
  if (classGuid) {
    set->hasClass = true;
    set->classGuid = *classGuid;
  }
  return reinterpret_cast<HDEVINFO>(m.AddHandle(pnp::kSetKind, set));
}

pnp::Element& AddElement(Machine& m, pnp::DeviceInfoSet& set, const pnp::Device& device) {
  auto e = std::make_unique<pnp::Element>();
  e->instanceId = pnp::InstanceId(device);
  e->devInst = pnp::DevInstOf(m, device);
  e->classGuid = pnp::ClassGuidOf(device);
  e->params = FreshParams();
  set.members.insert(e.get());
  set.elements.push_back(std::move(e));
  return *set.elements.back();
}

bool HasInterface(const pnp::Device& device, const GUID* interfaceGuid) {
  for (auto& text : device.interfaceClass.items) {
    GUID g;
    if (!pnp::ParseGuid(winsim::Utf8ToWide(text), g)) continue;
    if (!interfaceGuid || pnp::SameGuid(g, *interfaceGuid)) return true;
  }
  return false;
}

// A device property as the registry holds it: its type and its bytes.
struct Property {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
};

Property StringProperty(const std::wstring& s) {
  Property p{REG_SZ, {}};
  p.bytes.resize((s.size() + 1) * sizeof(WCHAR));
  std::memcpy(p.bytes.data(), s.c_str(), p.bytes.size());
  return p;
}

Property MultiStringProperty(const std::vector<std::wstring>& list) {
  std::wstring all;
  for (auto& s : list) all += s + L'\0';
  all += L'\0';
  Property p{REG_MULTI_SZ, {}};
  p.bytes.resize(all.size() * sizeof(WCHAR));
  std::memcpy(p.bytes.data(), all.data(), p.bytes.size());
  return p;
}

Property FromJson(const json& v) {
  if (v.is_string()) return StringProperty(winsim::Utf8ToWide(v.get<std::string>()));
  if (v.is_array()) {
    std::vector<std::wstring> list;
    for (const json& s : v) list.push_back(winsim::Utf8ToWide(s.get<std::string>()));
    return MultiStringProperty(list);
  }
  DWORD n = v.get<DWORD>();
  Property p{REG_DWORD, std::vector<BYTE>(sizeof n)};
  std::memcpy(p.bytes.data(), &n, sizeof n);
  return p;
}

// Names under machine.json `properties` of the properties that are kept there.
const char* PropertyName(DWORD property) {
  switch (property) {
    case SPDRP_DEVICEDESC: return "DeviceDesc";
    case SPDRP_SERVICE: return "Service";
    case SPDRP_DRIVER: return "Driver";
    case SPDRP_CONFIGFLAGS: return "ConfigFlags";
    case SPDRP_MFG: return "Mfg";
    case SPDRP_FRIENDLYNAME: return "FriendlyName";
    case SPDRP_LOCATION_INFORMATION: return "LocationInformation";
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME: return "PhysicalDeviceObjectName";
    case SPDRP_CAPABILITIES: return "Capabilities";
    case SPDRP_UI_NUMBER: return "UINumber";
    case SPDRP_UPPERFILTERS: return "UpperFilters";
    case SPDRP_LOWERFILTERS: return "LowerFilters";
    case SPDRP_ADDRESS: return "Address";
    case SPDRP_BUSNUMBER: return "BusNumber";
    case SPDRP_REMOVAL_POLICY: return "RemovalPolicy";
    default: return nullptr;
  }
}

// False when the device doesn't have the property.
bool ReadProperty(const pnp::Device& device, DWORD property, Property& out) {
  switch (property) {
    case SPDRP_HARDWAREID:
    case SPDRP_COMPATIBLEIDS: {
      auto ids = pnp::Wide(property == SPDRP_HARDWAREID ? device.hardwareIds : device.compatibleIds);
      if (ids.empty()) return false;
      out = MultiStringProperty(ids);
      return true;
    }
    case SPDRP_CLASS: {
      if (device.setupClass.empty()) return false;
      out = StringProperty(winsim::Utf8ToWide(device.setupClass));
      return true;
    }
    case SPDRP_CLASSGUID: {
      GUID g = pnp::ClassGuidOf(device), none{};
      if (pnp::SameGuid(g, none)) return false;
      out = StringProperty(pnp::FormatGuid(g));
      return true;
    }
    case SPDRP_ENUMERATOR_NAME: {
      std::wstring id = pnp::InstanceId(device);
      out = StringProperty(id.substr(0, id.find(L'\\')));
      return true;
    }
    case SPDRP_PHYSICAL_DEVICE_OBJECT_NAME:
      // The device object exists only while the device is attached.
      if (!device.present) return false;
      break;
    default:
      break;
  }
  const char* name = PropertyName(property);
  if (!name || !device.properties.contains(name)) return false;
  out = FromJson(device.properties.at(name));
  return true;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND) {
  WINSIM_API(call, "SetupDiCreateDeviceInfoList", INVALID_HANDLE_VALUE);
  HDEVINFO h = NewSet(call.machine(), ClassGuid);
  Succeed();
  return h;
}

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
  WINSIM_API(call, "SetupDiGetClassDevsW", INVALID_HANDLE_VALUE);
  bool interfaces = Flags & DIGCF_DEVICEINTERFACE, all = Flags & DIGCF_ALLCLASSES;
  if (!ClassGuid && !all) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Machine& m = call.machine();
  std::wstring prefix = Enumerator && *Enumerator && !interfaces ? std::wstring(Enumerator) + L"\\" : L"";
  HDEVINFO h = NewSet(m, !interfaces && !all ? ClassGuid : nullptr);
  pnp::DeviceInfoSet& set = *pnp::FindSet(m, h);
  for (const pnp::Device& d : pnp::Devices(m)) {
    std::wstring id = pnp::InstanceId(d);
    if ((Flags & DIGCF_PRESENT) && !d.present) continue;
    if (!prefix.empty() && !(id.size() > prefix.size() && pnp::SameText(id.substr(0, prefix.size()), prefix)))
      continue;
    if (interfaces) {
      // With interfaces the enumerator names one device.
      if (Enumerator && *Enumerator && !pnp::SameText(id, Enumerator)) continue;
      if (!HasInterface(d, all ? nullptr : ClassGuid)) continue;
    } else if (!all && !pnp::SameGuid(pnp::ClassGuidOf(d), *ClassGuid)) {
      continue;
    }
    AddElement(m, set, d);
  }
  Succeed();
  return h;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  WINSIM_API(call, "SetupDiDestroyDeviceInfoList", FALSE);
  Machine& m = call.machine();
  pnp::DeviceInfoSet* set = pnp::FindSet(m, DeviceInfoSet);
  if (!set) return FALSE;
  for (auto& e : set->elements) pnp::DestroyCompatList(m, *e);
  m.CloseHandle(reinterpret_cast<uintptr_t>(DeviceInfoSet), pnp::kSetKind);
  return Succeed();
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_API(call, "SetupDiEnumDeviceInfo", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInfoData) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (MemberIndex >= set->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
  pnp::FillDevInfoData(*set->elements[MemberIndex], DeviceInfoData);
  return Succeed();
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
  WINSIM_API(call, "SetupDiGetDeviceInstanceIdW", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  pnp::Element* e = pnp::FindElement(*set, DeviceInfoData);
  if (!e) return FALSE;
  DWORD need = static_cast<DWORD>(e->instanceId.size() + 1);
  if (RequiredSize) *RequiredSize = need;
  if (DeviceInstanceIdSize < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!DeviceInstanceId) return Fail(ERROR_INVALID_USER_BUFFER);
  std::memcpy(DeviceInstanceId, e->instanceId.c_str(), need * sizeof(WCHAR));
  return Succeed();
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  ApiCall call("SetupDiGetDeviceRegistryPropertyW");
  Machine& m = call.machine();
  // The run report names the property of every call, failed ones included, so that a test can
  // tell which of a program's calls read which property. Bounded like the call trace.
  json& reads = m.runReport["devicePropertyReads"];
  if (reads.size() < 1000000) reads.push_back(Property);
  if (call.fault()) return call.Failed(FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(m, DeviceInfoSet);
  if (!set) return FALSE;
  pnp::Element* e = pnp::FindElement(*set, DeviceInfoData);
  if (!e) return FALSE;
  if (Property >= SPDRP_MAXIMUM_PROPERTY) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (!PropertyBuffer && PropertyBufferSize) return Fail(ERROR_INVALID_PARAMETER);
  const pnp::Device* device = pnp::FindDevice(m, e->instanceId);
  ::Property p;
  if (!device || !ReadProperty(*device, Property, p)) return Fail(ERROR_INVALID_DATA);
  if (PropertyRegDataType) *PropertyRegDataType = p.type;
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(p.bytes.size());
  if (p.bytes.size() > PropertyBufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(PropertyBuffer, p.bytes.data(), p.bytes.size());
  return Succeed();
}

BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_API(call, "SetupDiOpenDeviceInfoW", FALSE);
  Machine& m = call.machine();
  pnp::DeviceInfoSet* set = pnp::FindSet(m, DeviceInfoSet);
  if (!set) return FALSE;
  if (OpenFlags & ~static_cast<DWORD>(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE)) return Fail(ERROR_INVALID_FLAGS);
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (!DeviceInstanceId) return Fail(ERROR_INVALID_DEVINST_NAME);
  // Devices registered but not attached open too: their registry entries are there.
  const pnp::Device* device = pnp::FindDevice(m, DeviceInstanceId);
  if (!device) return Fail(ERROR_NO_SUCH_DEVINST);
  if (set->hasClass && !pnp::SameGuid(set->classGuid, pnp::ClassGuidOf(*device))) return Fail(ERROR_CLASS_MISMATCH);
  pnp::Element* e = nullptr;
  for (auto& have : set->elements)
    if (pnp::SameText(have->instanceId, pnp::InstanceId(*device))) e = have.get();
  if (!e) e = &AddElement(m, *set, *device);
  if (DeviceInfoData) pnp::FillDevInfoData(*e, DeviceInfoData);
  return Succeed();
}

BOOL WINAPI SetupDiSetSelectedDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_API(call, "SetupDiSetSelectedDevice", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  pnp::Element* e = pnp::FindElement(*set, DeviceInfoData);
  if (!e) return FALSE;
  set->selected = e;
  return Succeed();
}

BOOL WINAPI SetupDiGetSelectedDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_API(call, "SetupDiGetSelectedDevice", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInfoData) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (!set->selected) return Fail(ERROR_NO_DEVICE_SELECTED);
  pnp::FillDevInfoData(*set->selected, DeviceInfoData);
  return Succeed();
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  WINSIM_API(call, "SetupDiGetDeviceInstallParamsW", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInstallParams) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  SP_DEVINSTALL_PARAMS_W* stored = &set->params;
  if (DeviceInfoData) {
    pnp::Element* e = pnp::FindElement(*set, DeviceInfoData);
    if (!e) return FALSE;
    stored = &e->params;
  }
  *DeviceInstallParams = *stored;
  return Succeed();
}

BOOL WINAPI SetupDiSetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams) {
  WINSIM_API(call, "SetupDiSetDeviceInstallParamsW", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  if (!DeviceInstallParams) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  // A driver path must end inside its buffer; the driver search reads it as a string.
  if (wcsnlen(DeviceInstallParams->DriverPath, MAX_PATH) == MAX_PATH) return Fail(ERROR_INVALID_PARAMETER);
  SP_DEVINSTALL_PARAMS_W* stored = &set->params;
  if (DeviceInfoData) {
    pnp::Element* e = pnp::FindElement(*set, DeviceInfoData);
    if (!e) return FALSE;
    stored = &e->params;
  }
  *stored = *DeviceInstallParams;
  return Succeed();
}

}  // extern "C"
