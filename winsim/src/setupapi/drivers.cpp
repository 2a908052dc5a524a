// Driver lists of device information set members, read from INF models or from the installed
// driver, and the class installer's choice of the best one.
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "core/pnp.h"
#include "setupapi/infreader.h"

using winsim::ApiCall;
using winsim::Fail;
using winsim::Machine;
namespace pnp = winsim::pnp;
namespace inf = winsim::inf;

namespace winsim::pnp {

namespace {

constexpr DWORD kNoMatch = 0xFFFFFFFF;

// Rank of a models line for a device; kNoMatch when no ID of the line is an ID of the device.
DWORD RankLine(const std::vector<std::wstring>& deviceHw, const std::vector<std::wstring>& deviceCompat,
               const std::wstring& lineHw, const std::vector<std::wstring>& lineCompat) {
  DWORD best = kNoMatch;
  auto consider = [&](DWORD r) { best = std::min(best, r); };
  for (size_t i = 0; i < deviceHw.size() && i < 0x100; ++i) {
    if (SameText(deviceHw[i], lineHw)) consider(static_cast<DWORD>(i));
    for (size_t j = 0; j < lineCompat.size() && j < 0x100; ++j)
      if (SameText(deviceHw[i], lineCompat[j])) consider(static_cast<DWORD>(0x1000 + 0x100 * i + j));
  }
  for (size_t i = 0; i < deviceCompat.size() && i < 0x10; ++i) {
    if (SameText(deviceCompat[i], lineHw)) consider(static_cast<DWORD>(0x2000 + 0x100 * i));
    for (size_t j = 0; j < lineCompat.size() && j < 0x100; ++j)
      if (SameText(deviceCompat[i], lineCompat[j])) consider(static_cast<DWORD>(0x3000 + 0x100 * i + j));
  }
  return best;
}

// How well a models decoration ("NTx86", "NT.5.1", "NTamd64") fits this 32-bit machine: -1 when it
// doesn't apply; more specific decorations score higher.
int DecorationScore(const std::wstring& decoration, unsigned major, unsigned minor) {
  std::wstring d = decoration;
  if (d.size() < 2 || !SameText(d.substr(0, 2), L"NT")) return -1;
  d = d.substr(2);
  int score = 1;
  size_t dot = d.find(L'.');
  std::wstring arch = d.substr(0, dot);
  if (!arch.empty()) {
    if (!SameText(arch, L"x86")) return -1;
    score += 2;
  }
  if (dot != std::wstring::npos) {
    unsigned needMajor = 0, needMinor = 0;
    if (swscanf(d.c_str() + dot + 1, L"%u.%u", &needMajor, &needMinor) < 1) return -1;
    if (needMajor > major || (needMajor == major && needMinor > minor)) return -1;
    score += 1;
  }
  return score;
}

// The models section a [Manufacturer] line leads to on this machine.
std::wstring ModelsSection(Machine& m, const inf::Line& line) {
  const std::wstring* models = line.Field(1);
  if (!models) return std::wstring();
  unsigned major = 5, minor = 1;
  if (m.doc.contains("os")) {
    major = m.doc["os"].value("major", 5u);
    minor = m.doc["os"].value("minor", 1u);
  }
  int bestScore = -1;
  std::wstring best;
  for (size_t i = 2; const std::wstring* dec = line.Field(i); ++i) {
    int s = DecorationScore(*dec, major, minor);
    if (s > bestScore) {
      bestScore = s;
      best = *dec;
    }
  }
  return bestScore < 0 ? *models : *models + L"." + best;
}

// The service an install section adds and associates with the device.
std::wstring ServiceOf(const inf::File& f, const std::wstring& section) {
  for (const wchar_t* suffix : {L".NTx86.Services", L".NT.Services", L".Services"}) {
    const inf::Section* s = f.Find(section + suffix);
    if (!s) continue;
    for (const inf::Line& l : s->lines) {
      const std::wstring* name = l.Field(1);
      const std::wstring* flags = l.Field(2);
      if (!name || !SameText(l.key, L"AddService")) continue;
      unsigned long v = flags ? std::wcstoul(flags->c_str(), nullptr, 0) : 0;
      if (v & 0x2) return *name;  // SPSVCINST_ASSOCSERVICE: the device's function driver
    }
    return std::wstring();
  }
  return std::wstring();
}

FILETIME FileDate(const fs::path& host, const FILETIME& fallback) {
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) return fallback;
  uint64_t t = (static_cast<uint64_t>(st.st_mtime) + 11644473600ULL) * 10000000ULL;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

}  // namespace

std::vector<DriverNode> DriversFromInf(Machine& m, const std::wstring& windowsPath, const Device& device) {
  std::vector<DriverNode> out;
  fs::path host = ToHostPath(m, windowsPath);
  inf::File f;
  if (!inf::Load(host, f, nullptr, windowsPath)) return out;
  const inf::Section* manufacturers = f.Find(L"Manufacturer");
  if (!manufacturers) return out;

  DriverNode base;
  base.infPath = windowsPath;
  base.provider = f.Version(L"Provider").value_or(L"");
  base.infClass = f.Version(L"Class").value_or(L"");
  base.infClassGuid = f.Version(L"ClassGUID").value_or(L"");
  std::string driverVer = WideToUtf8(f.Version(L"DriverVer").value_or(L""));
  size_t comma = driverVer.find(',');
  std::string date = driverVer.substr(0, comma), version = comma == std::string::npos ? "" : driverVer.substr(comma + 1);
  if (ParseDate(date, base.driverDate)) {
    int mo = 0, d = 0, y = 0;
    std::sscanf(date.c_str(), "%d/%d/%d", &mo, &d, &y);
    char iso[16];
    std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", y, mo, d);
    base.dateText = iso;
  }
  base.version = ParseVersion(version);
  base.versionText = FormatVersion(base.version);
  base.infDate = FileDate(host, base.driverDate);
  base.flags = DNF_COMPATIBLE_DRIVER;

  auto deviceHw = Wide(device.hardwareIds), deviceCompat = Wide(device.compatibleIds);
  for (const inf::Line& mfg : manufacturers->lines) {
    const inf::Section* models = f.Find(ModelsSection(m, mfg));
    if (!models) continue;
    for (const inf::Line& line : models->lines) {
      const std::wstring* section = line.Field(1);
      const std::wstring* hw = line.Field(2);
      if (!section || !hw || hw->empty()) continue;
      std::vector<std::wstring> compat;
      for (size_t i = 3; const std::wstring* c = line.Field(i); ++i)
        if (!c->empty()) compat.push_back(*c);
      DWORD rank = RankLine(deviceHw, deviceCompat, *hw, compat);
      if (rank == kNoMatch) continue;
      DriverNode node = base;
      node.description = line.key;
      node.manufacturer = mfg.hasKey ? mfg.key : *mfg.Field(1);
      node.section = *section;
      node.hardwareId = *hw;
      node.compatibleIds = compat;
      node.rank = rank;
      node.service = ServiceOf(f, *section);
      out.push_back(std::move(node));
    }
  }
  return out;
}

std::optional<DriverNode> InstalledDriverNode(Machine& m, const Device& device) {
  if (!device.driver) return std::nullopt;
  const model::DeviceDriver& drv = *device.driver;
  DriverNode n;
  std::wstring infName = Utf8ToWide(drv.inf);
  n.infPath = infName.find(L'\\') == std::wstring::npos ? std::wstring(inf::kInfDirectory) + L"\\" + infName : infName;
  n.section = Utf8ToWide(drv.section);
  n.provider = Utf8ToWide(drv.provider);
  n.manufacturer = Utf8ToWide(drv.manufacturer);
  n.description = Utf8ToWide(drv.description.empty() ? TextProperty(device, "DeviceDesc") : drv.description);
  n.hardwareId = Utf8ToWide(drv.hardwareId);
  if (n.hardwareId.empty() && !device.hardwareIds.empty()) n.hardwareId = Utf8ToWide(device.hardwareIds.front());
  n.dateText = drv.date;
  ParseDate(n.dateText, n.driverDate);
  n.versionText = drv.version;
  n.version = ParseVersion(n.versionText);
  n.rank = drv.rank;
  n.infDate = FileDate(ToHostPath(m, n.infPath), n.driverDate);
  n.flags = DNF_COMPATIBLE_DRIVER;
  n.infClass = Utf8ToWide(device.setupClass);
  n.service = Utf8ToWide(TextProperty(device, "Service"));
  return n;
}

}  // namespace winsim::pnp

namespace {

BOOL Succeed() {
  SetLastError(NO_ERROR);
  return TRUE;
}

bool IsDrvInfoSize(DWORD cb) { return cb == sizeof(SP_DRVINFO_DATA_V1_W) || cb == sizeof(SP_DRVINFO_DATA_V2_W); }

// Every INF of a directory, in name order.
std::vector<std::wstring> InfsIn(Machine& m, const std::wstring& dir) {
  std::vector<std::wstring> out;
  std::error_code ec;
  for (auto it = winsim::fs::directory_iterator(winsim::ToHostPath(m, dir), ec);
       !ec && it != winsim::fs::directory_iterator(); it.increment(ec)) {
    std::wstring name = winsim::Utf8ToWide(it->path().filename().string());
    if (name.size() > 4 && pnp::SameText(name.substr(name.size() - 4), L".inf")) out.push_back(dir + L"\\" + name);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Builds a member's compatible-driver list as its install parameters direct: only the installed
// driver, the drivers of the one INF in the driver path, or those of every INF in the INF
// directory (or the directory in the driver path).
BOOL BuildCompatList(Machine& m, pnp::Element& e) {
  if (e.compatBuilt) return Succeed();
  const pnp::Device* device = pnp::FindDevice(m, e.instanceId);
  if (!device) return Fail(ERROR_NO_SUCH_DEVINST);
  std::vector<pnp::DriverNode> nodes;
  std::wstring path = e.params.DriverPath;
  if (e.params.FlagsEx & DI_FLAGSEX_INSTALLEDDRIVER) {
    if (auto n = pnp::InstalledDriverNode(m, *device)) nodes.push_back(*n);
  } else if (e.params.Flags & DI_ENUMSINGLEINF) {
    // A driver path that names no readable INF offers no drivers: the list is built empty.
    if (!path.empty()) nodes = pnp::DriversFromInf(m, path, *device);
  } else {
    for (const std::wstring& file : InfsIn(m, path.empty() ? std::wstring(inf::kInfDirectory) : path)) {
      auto more = pnp::DriversFromInf(m, file, *device);
      nodes.insert(nodes.end(), more.begin(), more.end());
    }
  }
  for (auto& n : nodes) e.compat.push_back(std::make_unique<pnp::DriverNode>(std::move(n)));
  e.compatBuilt = true;
  e.compatHandle = m.AddHandle(pnp::kDriverListKind);
  e.params.Flags |= DI_DIDCOMPAT;
  e.params.FlagsEx |= DI_FLAGSEX_DIDCOMPATINFO;
  return Succeed();
}

// The driver node a driver record names: by the reference an enumeration left in it, or else by
// its description, manufacturer and provider, as SetupAPI matches records filled by the caller.
pnp::DriverNode* FindNode(pnp::Element& e, const SP_DRVINFO_DATA_W* info) {
  if (!info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsDrvInfoSize(info->cbSize)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  for (auto& n : e.compat) {
    if (info->Reserved ? reinterpret_cast<ULONG_PTR>(n.get()) == info->Reserved
                       : pnp::SameText(n->description, info->Description) &&
                             pnp::SameText(n->manufacturer, info->MfgName) &&
                             pnp::SameText(n->provider, info->ProviderName))
      return n.get();
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

void CopyCut(WCHAR* dst, size_t size, const std::wstring& src) {
  size_t n = std::min(src.size(), size - 1);
  std::memcpy(dst, src.data(), n * sizeof(WCHAR));
  dst[n] = 0;
}

void FillDrvInfo(const pnp::DriverNode& n, SP_DRVINFO_DATA_W* info) {
  DWORD cb = info->cbSize;
  info->DriverType = SPDIT_COMPATDRIVER;
  info->Reserved = reinterpret_cast<ULONG_PTR>(&n);
  CopyCut(info->Description, LINE_LEN, n.description);
  CopyCut(info->MfgName, LINE_LEN, n.manufacturer);
  CopyCut(info->ProviderName, LINE_LEN, n.provider);
  if (cb == sizeof(SP_DRVINFO_DATA_V2_W)) {
    info->DriverDate = n.driverDate;
    info->DriverVersion = n.version;
  }
}

// The member and its compatible-driver list for the driver-list calls, which take only that type.
pnp::Element* ListOwner(ApiCall& call, HDEVINFO h, PSP_DEVINFO_DATA data, DWORD type, pnp::DeviceInfoSet** setOut) {
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), h);
  if (!set) return nullptr;
  if (setOut) *setOut = set;
  if (type != SPDIT_COMPATDRIVER && type != SPDIT_CLASSDRIVER) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (type == SPDIT_CLASSDRIVER) {
    SetLastError(ERROR_NOT_SUPPORTED);  // class driver lists are not simulated; the tools never ask
    return nullptr;
  }
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);  // a compatible list belongs to a device
    return nullptr;
  }
  return pnp::FindElement(*set, data);
}

BOOL SelectBest(ApiCall& call, HDEVINFO h, PSP_DEVINFO_DATA data) {
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), h);
  if (!set) return FALSE;
  pnp::Element* e = pnp::ElementOrSelected(*set, data);
  if (!e) return FALSE;
  if (!BuildCompatList(call.machine(), *e)) return FALSE;
  pnp::DriverNode* best = nullptr;
  for (auto& n : e->compat) {
    if (!best || n->rank < best->rank) {
      best = n.get();
      continue;
    }
    if (n->rank > best->rank) continue;
    uint64_t nd = (uint64_t(n->driverDate.dwHighDateTime) << 32) | n->driverDate.dwLowDateTime;
    uint64_t bd = (uint64_t(best->driverDate.dwHighDateTime) << 32) | best->driverDate.dwLowDateTime;
    if (nd > bd || (nd == bd && n->version > best->version)) best = n.get();
  }
  if (!best) return Fail(ERROR_NO_COMPAT_DRIVERS);
  e->selectedDriver = best;
  return Succeed();
}

}  // namespace

extern "C" {

BOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType) {
  WINSIM_API(call, "SetupDiBuildDriverInfoList", FALSE);
  pnp::Element* e = ListOwner(call, DeviceInfoSet, DeviceInfoData, DriverType, nullptr);
  if (!e) return FALSE;
  return BuildCompatList(call.machine(), *e);
}

BOOL WINAPI SetupDiEnumDriverInfoW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType,
                                   DWORD MemberIndex, PSP_DRVINFO_DATA_W DriverInfoData) {
  WINSIM_API(call, "SetupDiEnumDriverInfoW", FALSE);
  pnp::Element* e = ListOwner(call, DeviceInfoSet, DeviceInfoData, DriverType, nullptr);
  if (!e) return FALSE;
  if (!DriverInfoData) return Fail(ERROR_INVALID_PARAMETER);
  // The end of the list is reported before the record's size is looked at.
  if (MemberIndex >= e->compat.size()) return Fail(ERROR_NO_MORE_ITEMS);
  if (!IsDrvInfoSize(DriverInfoData->cbSize)) return Fail(ERROR_INVALID_USER_BUFFER);
  FillDrvInfo(*e->compat[MemberIndex], DriverInfoData);
  return Succeed();
}

BOOL WINAPI SetupDiGetDriverInfoDetailW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSP_DRVINFO_DATA_W DriverInfoData,
                                        PSP_DRVINFO_DETAIL_DATA_W DriverInfoDetailData, DWORD DriverInfoDetailDataSize,
                                        PDWORD RequiredSize) {
  WINSIM_API(call, "SetupDiGetDriverInfoDetailW", FALSE);
  pnp::Element* e = ListOwner(call, DeviceInfoSet, DeviceInfoData, SPDIT_COMPATDRIVER, nullptr);
  if (!e) return FALSE;
  if (DriverInfoDetailData) {
    if (DriverInfoDetailData->cbSize != sizeof(SP_DRVINFO_DETAIL_DATA_W) ||
        DriverInfoDetailDataSize < sizeof(SP_DRVINFO_DETAIL_DATA_W))
      return Fail(ERROR_INVALID_USER_BUFFER);
  } else if (DriverInfoDetailDataSize) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  pnp::DriverNode* n = FindNode(*e, DriverInfoData);
  if (!n) return FALSE;

  // The hardware ID, then the compatible IDs, as one list of strings.
  std::wstring ids = n->hardwareId + L'\0';
  std::wstring compat;
  for (auto& c : n->compatibleIds) compat += c + L'\0';
  if (!compat.empty()) compat += L'\0';
  ids += compat.empty() ? std::wstring(1, L'\0') : compat;
  const size_t fixed = offsetof(SP_DRVINFO_DETAIL_DATA_W, HardwareID);
  DWORD need = static_cast<DWORD>(fixed + ids.size() * sizeof(WCHAR));
  if (RequiredSize) *RequiredSize = need;
  if (!DriverInfoDetailData) return Fail(ERROR_INSUFFICIENT_BUFFER);

  PSP_DRVINFO_DETAIL_DATA_W d = DriverInfoDetailData;
  d->InfDate = n->infDate;
  d->CompatIDsOffset = compat.empty() ? 0 : static_cast<DWORD>(n->hardwareId.size() + 1);
  d->CompatIDsLength = static_cast<DWORD>(compat.size());
  d->Reserved = reinterpret_cast<ULONG_PTR>(n);
  CopyCut(d->SectionName, LINE_LEN, n->section);
  CopyCut(d->InfFileName, MAX_PATH, n->infPath);
  CopyCut(d->DrvDescription, LINE_LEN, n->description);
  size_t room = (DriverInfoDetailDataSize - fixed) / sizeof(WCHAR);
  if (room >= ids.size()) {
    std::memcpy(d->HardwareID, ids.data(), ids.size() * sizeof(WCHAR));
    return Succeed();
  }
  // Too short: as many whole IDs as fit with the list's closing terminator, never a cut one.
  size_t used = 0;
  for (size_t at = 0; at < ids.size() && ids[at];) {
    size_t length = ids.find(L'\0', at) - at + 1;
    if (used + length + 1 > room) break;
    std::memcpy(d->HardwareID + used, ids.data() + at, length * sizeof(WCHAR));
    used += length;
    at += length;
  }
  if (used < room) d->HardwareID[used] = L'\0';
  return Fail(ERROR_INSUFFICIENT_BUFFER);
}

BOOL WINAPI SetupDiGetDriverInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DRVINFO_DATA_W DriverInfoData,
                                           PSP_DRVINSTALL_PARAMS DriverInstallParams) {
  WINSIM_API(call, "SetupDiGetDriverInstallParamsW", FALSE);
  pnp::Element* e = ListOwner(call, DeviceInfoSet, DeviceInfoData, SPDIT_COMPATDRIVER, nullptr);
  if (!e) return FALSE;
  if (!DriverInstallParams) return Fail(ERROR_INVALID_PARAMETER);
  if (DriverInstallParams->cbSize != sizeof(SP_DRVINSTALL_PARAMS)) return Fail(ERROR_INVALID_USER_BUFFER);
  pnp::DriverNode* n = FindNode(*e, DriverInfoData);
  if (!n) return FALSE;
  DriverInstallParams->Rank = n->rank;
  DriverInstallParams->Flags = n->flags;
  DriverInstallParams->PrivateData = n->privateData;
  DriverInstallParams->Reserved = 0;
  return Succeed();
}

BOOL WINAPI SetupDiSetDriverInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DRVINFO_DATA_W DriverInfoData,
                                           PSP_DRVINSTALL_PARAMS DriverInstallParams) {
  WINSIM_API(call, "SetupDiSetDriverInstallParamsW", FALSE);
  pnp::Element* e = ListOwner(call, DeviceInfoSet, DeviceInfoData, SPDIT_COMPATDRIVER, nullptr);
  if (!e) return FALSE;
  if (!DriverInstallParams) return Fail(ERROR_INVALID_PARAMETER);
  if (DriverInstallParams->cbSize != sizeof(SP_DRVINSTALL_PARAMS)) return Fail(ERROR_INVALID_USER_BUFFER);
  pnp::DriverNode* n = FindNode(*e, DriverInfoData);
  if (!n) return FALSE;
  n->rank = DriverInstallParams->Rank;
  n->flags = DriverInstallParams->Flags;
  n->privateData = DriverInstallParams->PrivateData;
  return Succeed();
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_API(call, "SetupDiCallClassInstaller", FALSE);
  // Only the choice of the best compatible driver is simulated; the tools install through newdev.
  if (InstallFunction != DIF_SELECTBESTCOMPATDRV) return Fail(ERROR_NOT_SUPPORTED);
  return SelectBest(call, DeviceInfoSet, DeviceInfoData);
}

BOOL WINAPI SetupDiSelectBestCompatDrv(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  WINSIM_API(call, "SetupDiSelectBestCompatDrv", FALSE);
  return SelectBest(call, DeviceInfoSet, DeviceInfoData);
}

BOOL WINAPI SetupDiGetSelectedDriverW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                      PSP_DRVINFO_DATA_W DriverInfoData) {
  WINSIM_API(call, "SetupDiGetSelectedDriverW", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  if (!DriverInfoData) return Fail(ERROR_INVALID_PARAMETER);
  if (!IsDrvInfoSize(DriverInfoData->cbSize)) return Fail(ERROR_INVALID_USER_BUFFER);
  // Without a member this asks for the set's own class-driver selection, which is never made here.
  if (!DeviceInfoData) return Fail(ERROR_NO_DRIVER_SELECTED);
  pnp::Element* e = pnp::FindElement(*set, DeviceInfoData);
  if (!e) return FALSE;
  if (!e->selectedDriver) return Fail(ERROR_NO_DRIVER_SELECTED);
  FillDrvInfo(*e->selectedDriver, DriverInfoData);
  return Succeed();
}

BOOL WINAPI SetupDiDestroyDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD DriverType) {
  WINSIM_API(call, "SetupDiDestroyDriverInfoList", FALSE);
  pnp::DeviceInfoSet* set = pnp::FindSet(call.machine(), DeviceInfoSet);
  if (!set) return FALSE;
  if (DriverType != SPDIT_COMPATDRIVER && DriverType != SPDIT_CLASSDRIVER) return Fail(ERROR_INVALID_PARAMETER);
  if (!DeviceInfoData || DriverType == SPDIT_CLASSDRIVER) return Succeed();  // no such list to free
  pnp::Element* e = pnp::FindElement(*set, DeviceInfoData);
  if (!e) return FALSE;
  pnp::DestroyCompatList(call.machine(), *e);
  return Succeed();
}

}  // extern "C"
