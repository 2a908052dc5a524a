// The machine's Plug and Play devices, device information sets and driver lists, shared by the
// SetupDi calls, the Configuration Manager calls and newdev.dll.
//
// Devices are the entries of machine.json `devices` (winsim/model_devices.h), read when first used
// and written back with the machine, so that what a program installs is in the file when it exits.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/machine.h"

namespace winsim::pnp {

// ---------------------------------------------------------------- devices

using model::Device;
// The machine's devices and timeline, read from machine.json when first used.
std::vector<Device>& Devices(Machine& m);
std::vector<model::TimelineEvent>& Timeline(Machine& m);
// The device with this instance ID (compared without regard to case); null when there is none.
Device* FindDevice(Machine& m, std::wstring_view instanceId);
// A device the machine's timeline describes (an arrival with `device`) but that has never been
// attached: registers it, appended to `devices`, and returns it. Null when the machine knows the
// device already or nothing describes it.
Device* RegisterFromTimeline(Machine& m, std::wstring_view instanceId, bool present);
std::wstring InstanceId(const Device& device);
std::vector<std::wstring> Wide(const std::vector<std::string>& texts);
// A property that is a text (DeviceDesc, Service, Driver, ...); empty when it is not one.
std::string TextProperty(const Device& device, const char* name);
// Devices whose parent is DEVICE, in machine.json order.
std::vector<const Device*> Children(Machine& m, const Device& device);
// A device's devnode number: its position in `devices`, from 1. Stable while the program runs,
// since devices are only ever appended.
DEVINST DevInstOf(Machine& m, const Device& device);
Device* DeviceByDevInst(Machine& m, DEVINST devInst);
GUID ClassGuidOf(const Device& device);

using winsim::SameText;
bool ParseGuid(std::wstring_view text, GUID& out);        // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
std::wstring FormatGuid(const GUID& g);
bool SameGuid(const GUID& a, const GUID& b);

// "2008-03-14" <-> FILETIME at midnight UTC; "MM/DD/YYYY" (as in DriverVer) is read too.
bool ParseDate(const std::string& text, FILETIME& out);
// "2.5.0.3" <-> the four 16-bit parts of a driver version.
DWORDLONG ParseVersion(const std::string& text);
std::string FormatVersion(DWORDLONG v);

// Time left of the installs in progress, on the machine's clock.
int64_t PendingMillis(Machine& m);

// ---------------------------------------------------------------- driver lists

// One driver a list offers: a models line of an INF, or the driver installed on a device.
struct DriverNode {
  std::wstring description, manufacturer, provider;
  std::wstring section;   // install section
  std::wstring infPath;   // full Windows path
  std::wstring hardwareId;
  std::vector<std::wstring> compatibleIds;
  FILETIME driverDate{};
  DWORDLONG version = 0;
  FILETIME infDate{};
  DWORD rank = 0, flags = 0;
  DWORD_PTR privateData = 0;
  // What an install writes to the device besides the driver itself.
  std::wstring infClass, infClassGuid, service;
  std::string dateText, versionText;  // as machine.json keeps them
};

// Drivers of the INF at WINDOWS_PATH that match DEVICE, ranked: a device hardware ID equal to the
// line's hardware ID ranks best (earlier IDs better), then one equal to a compatible ID of the
// line, then a device compatible ID. A file that cannot be read or parsed offers none.
std::vector<DriverNode> DriversFromInf(Machine& m, const std::wstring& windowsPath, const Device& device);
// The driver installed on DEVICE, if it has one.
std::optional<DriverNode> InstalledDriverNode(Machine& m, const Device& device);

// ---------------------------------------------------------------- device information sets

struct Element {
  std::wstring instanceId;
  DEVINST devInst = 0;
  GUID classGuid{};
  SP_DEVINSTALL_PARAMS_W params{};
  bool compatBuilt = false;
  uintptr_t compatHandle = 0;  // accounts for the list's memory while it exists
  std::vector<std::unique_ptr<DriverNode>> compat;
  DriverNode* selectedDriver = nullptr;
};

struct DeviceInfoSet {
  bool hasClass = false;
  GUID classGuid{};
  SP_DEVINSTALL_PARAMS_W params{};
  std::vector<std::unique_ptr<Element>> elements;
  std::unordered_set<const Element*> members;  // the same, to check an SP_DEVINFO_DATA in one step
  Element* selected = nullptr;
};

inline constexpr const char kSetKind[] = "HDEVINFO";
inline constexpr const char kDriverListKind[] = "driver list";

// The set behind a handle; null (last error ERROR_INVALID_HANDLE) when it is not one.
DeviceInfoSet* FindSet(Machine& m, HDEVINFO h);
// The member DATA names; null with the last error set (ERROR_INVALID_USER_BUFFER for a wrong
// cbSize, ERROR_INVALID_PARAMETER for a member of another set).
Element* FindElement(DeviceInfoSet& set, const SP_DEVINFO_DATA* data);
// The member DATA names, or the selected device when DATA is null (ERROR_NO_DEVICE_SELECTED).
Element* ElementOrSelected(DeviceInfoSet& set, const SP_DEVINFO_DATA* data);
void FillDevInfoData(const Element& e, SP_DEVINFO_DATA* data);
// Frees a member's compatible-driver list and the handle that accounts for it.
void DestroyCompatList(Machine& m, Element& e);

}  // namespace winsim::pnp
