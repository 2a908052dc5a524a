// The Configuration Manager calls: device ID lists, devnodes, and the wait for pending installs.
#include <algorithm>
#include <cstring>

#include "core/pnp.h"
#include "core/scheduler.h"

using winsim::ApiCall;
using winsim::Machine;
namespace pnp = winsim::pnp;

namespace {

bool StartsWithNoCase(std::wstring_view s, std::wstring_view prefix) {
  return s.size() >= prefix.size() && pnp::SameText(s.substr(0, prefix.size()), prefix);
}

// The IDs a list call returns for FILTER and FLAGS, or the CONFIGRET of a bad request.
CONFIGRET ListIds(Machine& m, PCWSTR filter, ULONG flags, std::vector<std::wstring>& out) {
  if (flags & ~static_cast<ULONG>(CM_GETIDLIST_FILTER_BITS)) return CR_INVALID_FLAG;
  ULONG kind = flags & ~static_cast<ULONG>(CM_GETIDLIST_DONOTGENERATE);
  if (kind == CM_GETIDLIST_FILTER_NONE) {
    for (const pnp::Device& d : pnp::Devices(m)) out.push_back(pnp::InstanceId(d));
    return CR_SUCCESS;
  }
  if (!filter) return CR_INVALID_POINTER;
  std::wstring f(filter);
  switch (kind) {
    case CM_GETIDLIST_FILTER_ENUMERATOR: {
      // An enumerator ("USB") or an enumerator and device ("USB\VID_F0F0&PID_0052").
      std::wstring prefix = f + L"\\";
      for (const pnp::Device& d : pnp::Devices(m))
        if (StartsWithNoCase(pnp::InstanceId(d), prefix)) out.push_back(pnp::InstanceId(d));
      return CR_SUCCESS;
    }
    case CM_GETIDLIST_FILTER_SERVICE:
      for (const pnp::Device& d : pnp::Devices(m))
        if (d.properties.contains("Service") && pnp::SameText(winsim::Utf8ToWide(pnp::TextProperty(d, "Service")), f))
          out.push_back(pnp::InstanceId(d));
      return CR_SUCCESS;
    case CM_GETIDLIST_FILTER_BUSRELATIONS:
    case CM_GETIDLIST_FILTER_EJECTRELATIONS:
    case CM_GETIDLIST_FILTER_REMOVALRELATIONS:
    case CM_GETIDLIST_FILTER_POWERRELATIONS: {
      // Relations are those of a live devnode: a device that is not attached has none to ask for.
      const pnp::Device* d = pnp::FindDevice(m, f);
      if (!d || !d->present) return CR_NO_SUCH_DEVNODE;
      if (kind == CM_GETIDLIST_FILTER_BUSRELATIONS)
        for (const pnp::Device* child : pnp::Children(m, *d))
          if (child->present) out.push_back(pnp::InstanceId(*child));
      return CR_SUCCESS;
    }
    default:
      return CR_INVALID_FLAG;
  }
}

// Characters of the list "A\0B\0\0": every ID with its terminator, and the final one.
ULONG ListLength(const std::vector<std::wstring>& ids) {
  size_t n = 1;
  for (auto& id : ids) n += id.size() + 1;
  return static_cast<ULONG>(n);
}

}  // namespace

extern "C" {

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeW(PULONG pulLen, PCWSTR pszFilter, ULONG ulFlags) {
  ApiCall call("CM_Get_Device_ID_List_SizeW");
  if (!pulLen) return CR_INVALID_POINTER;
  *pulLen = 0;
  if (call.fault()) return call.Failed();
  std::vector<std::wstring> ids;
  CONFIGRET cr = ListIds(call.machine(), pszFilter, ulFlags, ids);
  if (cr != CR_SUCCESS) return cr;
  *pulLen = ListLength(ids);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_ListW(PCWSTR pszFilter, PZZWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  ApiCall call("CM_Get_Device_ID_ListW");
  if (!Buffer || BufferLen == 0) return CR_INVALID_POINTER;
  *Buffer = 0;
  if (call.fault()) return call.Failed();
  std::vector<std::wstring> ids;
  CONFIGRET cr = ListIds(call.machine(), pszFilter, ulFlags, ids);
  if (cr != CR_SUCCESS) return cr;
  if (ListLength(ids) > BufferLen) return CR_BUFFER_SMALL;
  WCHAR* p = Buffer;
  for (auto& id : ids) {
    std::memcpy(p, id.c_str(), (id.size() + 1) * sizeof(WCHAR));
    p += id.size() + 1;
  }
  *p = 0;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags) {
  ApiCall call("CM_Locate_DevNodeW");
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_BITS)) return CR_INVALID_FLAG;
  if (call.fault()) return call.Failed();
  // The root of the device tree is not simulated; the tools always name a device.
  if (!pDeviceID || !*pDeviceID) return CR_NO_SUCH_DEVNODE;
  Machine& m = call.machine();
  pnp::Device* d = pnp::FindDevice(m, pDeviceID);
  if (!d || (!d->present && !(ulFlags & CM_LOCATE_DEVNODE_PHANTOM))) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = pnp::DevInstOf(m, *d);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  ApiCall call("CM_Get_Parent");
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags) return CR_INVALID_FLAG;
  if (call.fault()) return call.Failed();
  Machine& m = call.machine();
  pnp::Device* d = pnp::DeviceByDevInst(m, dnDevInst);
  if (!d) return CR_INVALID_DEVNODE;
  pnp::Device* parent = pnp::FindDevice(m, winsim::Utf8ToWide(d->parent));
  if (!parent) return CR_NO_SUCH_DEVNODE;  // a parent the machine does not describe
  *pdnDevInst = pnp::DevInstOf(m, *parent);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
  ApiCall call("CM_Get_Device_IDW");
  if (!Buffer) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  if (call.fault()) return call.Failed();
  pnp::Device* d = pnp::DeviceByDevInst(call.machine(), dnDevInst);
  if (!d) return CR_INVALID_DEVNODE;
  std::wstring id = pnp::InstanceId(*d);
  // An ID that fills the buffer exactly comes back without its terminator.
  size_t n = std::min<size_t>(id.size(), BufferLen);
  std::memcpy(Buffer, id.data(), n * sizeof(WCHAR));
  if (n < BufferLen) Buffer[n] = 0;
  return id.size() > BufferLen ? CR_BUFFER_SMALL : CR_SUCCESS;
}

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout) {
  int64_t deadline = 0;
  {
    WINSIM_API(call, "CMP_WaitNoPendingInstallEvents", WAIT_FAILED);
    deadline = winsim::sched::DeadlineAfter(call.machine(), dwTimeout);
  }
  // The installs end at a known time on the machine's clock: the wait wakes then or at its time-out.
  return winsim::sched::Block(
      [](Machine& m, bool) -> std::optional<DWORD> {
        if (pnp::PendingMillis(m) == 0) return WAIT_OBJECT_0;
        return std::nullopt;
      },
      deadline, static_cast<DWORD>(WAIT_TIMEOUT),
      [](Machine& m) { return winsim::NowMillis(m) + pnp::PendingMillis(m); });
}

}  // extern "C"
