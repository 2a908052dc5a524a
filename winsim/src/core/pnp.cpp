// The machine's Plug and Play devices as machine.json describes them, and the controls tests use.
#include "core/pnp.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <stdexcept>
#include <unordered_map>

#include "winsim/devices.h"

namespace winsim::pnp {

namespace {

struct KnownClass {
  const wchar_t* name;
  const wchar_t* guid;
};
// Setup classes a device may name without giving its GUID.
const KnownClass kClasses[] = {
    {L"USB", L"{36FC9E60-C465-11CF-8056-444553540000}"},
    {L"Printer", L"{4D36E979-E325-11CE-BFC1-08002BE10318}"},
    {L"Ports", L"{4D36E978-E325-11CE-BFC1-08002BE10318}"},
    {L"HIDClass", L"{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}"},
    {L"DiskDrive", L"{4D36E967-E325-11CE-BFC1-08002BE10318}"},
    {L"Keyboard", L"{4D36E96B-E325-11CE-BFC1-08002BE10318}"},
    {L"Mouse", L"{4D36E96F-E325-11CE-BFC1-08002BE10318}"},
    {L"System", L"{4D36E97D-E325-11CE-BFC1-08002BE10318}"},
};

int HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool ReadHex(std::wstring_view s, size_t at, size_t digits, uint64_t& out) {
  out = 0;
  for (size_t i = 0; i < digits; ++i) {
    int v = HexValue(s[at + i]);
    if (v < 0) return false;
    out = out << 4 | static_cast<unsigned>(v);
  }
  return true;
}

// An instance ID as the index keys it: SameText's comparison, made once per entry.
std::wstring Folded(std::wstring_view id) {
  std::wstring out(id);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return out;
}

// Device lookups that would otherwise scan the list once per device asked about. Devices are only
// ever appended and their instance ID and parent never change, so the index stays right until
// the list grows.
struct DeviceIndex {
  const std::vector<Device>* list = nullptr;
  size_t size = 0;
  std::unordered_map<std::wstring, size_t> byId;                   // the first device with the ID
  std::unordered_map<std::wstring, std::vector<size_t>> children;  // by the parent's ID, in order
};

const DeviceIndex& IndexOf(Machine& m) {
  std::vector<Device>& all = Devices(m);
  auto index = std::static_pointer_cast<DeviceIndex>(m.deviceIndex);
  if (index && index->list == &all && index->size == all.size()) return *index;
  index = std::make_shared<DeviceIndex>();
  index->list = &all;
  index->size = all.size();
  for (size_t i = 0; i < all.size(); ++i) {
    index->byId.emplace(Folded(InstanceId(all[i])), i);
    index->children[Folded(Utf8ToWide(all[i].parent))].push_back(i);
  }
  m.deviceIndex = index;
  return *index;
}

}  // namespace

std::vector<Device>& Devices(Machine& m) {
  if (!m.devices) m.devices = model::DevicesOf(m.doc);
  return *m.devices;
}

std::vector<model::TimelineEvent>& Timeline(Machine& m) {
  if (!m.timeline) m.timeline = model::TimelineOf(m.doc);
  return *m.timeline;
}

Device* RegisterFromTimeline(Machine& m, std::wstring_view instanceId, bool present) {
  if (instanceId.empty() || FindDevice(m, instanceId)) return nullptr;
  return model::RegisterDescribed(Devices(m), Timeline(m), present, WideToUtf8(std::wstring(instanceId)));
}

Device* FindDevice(Machine& m, std::wstring_view instanceId) {
  const DeviceIndex& index = IndexOf(m);
  auto it = index.byId.find(Folded(instanceId));
  return it == index.byId.end() ? nullptr : &Devices(m)[it->second];
}

std::wstring InstanceId(const Device& device) { return Utf8ToWide(device.instanceId); }

std::vector<std::wstring> Wide(const std::vector<std::string>& texts) {
  std::vector<std::wstring> out;
  for (const std::string& t : texts) out.push_back(Utf8ToWide(t));
  return out;
}

std::string TextProperty(const Device& device, const char* name) {
  auto it = device.properties.find(name);
  return it != device.properties.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::vector<const Device*> Children(Machine& m, const Device& device) {
  std::vector<const Device*> out;
  const DeviceIndex& index = IndexOf(m);
  auto it = index.children.find(Folded(InstanceId(device)));
  if (it != index.children.end())
    for (size_t i : it->second) out.push_back(&Devices(m)[i]);
  return out;
}

DEVINST DevInstOf(Machine& m, const Device& device) {
  // The list is one vector of entries, so a device's position is its distance from the first.
  const std::vector<Device>& all = Devices(m);
  if (all.empty() || &device < all.data() || &device >= all.data() + all.size()) return 0;
  return static_cast<DEVINST>(&device - all.data() + 1);
}

Device* DeviceByDevInst(Machine& m, DEVINST devInst) {
  std::vector<Device>& all = Devices(m);
  if (devInst == 0 || devInst > all.size()) return nullptr;
  return &all[devInst - 1];
}

GUID ClassGuidOf(const Device& device) {
  GUID g{};
  if (ParseGuid(Utf8ToWide(device.classGuid), g)) return g;
  std::wstring cls = Utf8ToWide(device.setupClass);
  for (const KnownClass& k : kClasses)
    if (SameText(cls, k.name)) ParseGuid(k.guid, g);
  return g;
}

bool ParseGuid(std::wstring_view s, GUID& out) {
  if (s.size() != 38 || s[0] != L'{' || s[37] != L'}' || s[9] != L'-' || s[14] != L'-' || s[19] != L'-' ||
      s[24] != L'-')
    return false;
  uint64_t v;
  if (!ReadHex(s, 1, 8, v)) return false;
  out.Data1 = static_cast<uint32_t>(v);
  if (!ReadHex(s, 10, 4, v)) return false;
  out.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(s, 15, 4, v)) return false;
  out.Data3 = static_cast<uint16_t>(v);
  static const size_t kBytes[] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    if (!ReadHex(s, kBytes[i], 2, v)) return false;
    out.Data4[i] = static_cast<uint8_t>(v);
  }
  return true;
}

std::wstring FormatGuid(const GUID& g) {
  wchar_t buf[40];
  std::swprintf(buf, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

bool ParseDate(const std::string& text, FILETIME& out) {
  int y = 0, mo = 0, d = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &mo, &d, &tail) != 3 &&
      std::sscanf(text.c_str(), "%2d/%2d/%4d%c", &mo, &d, &y, &tail) != 3)
    return false;
  if (y < 1601 || mo < 1 || mo > 12 || d < 1 || d > 31) return false;
  // Days from 1970-01-01 by the civil calendar, then 100-ns intervals from 1601-01-01.
  int yy = mo <= 2 ? y - 1 : y;
  int era = yy / 400, yoe = yy - era * 400;
  int doy = (153 * (mo > 2 ? mo - 3 : mo + 9) + 2) / 5 + d - 1;
  int64_t days = static_cast<int64_t>(era) * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  uint64_t t = static_cast<uint64_t>(days * 86400 + 11644473600LL) * 10000000ULL;
  out.dwLowDateTime = static_cast<DWORD>(t);
  out.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return true;
}

DWORDLONG ParseVersion(const std::string& text) {
  unsigned parts[4] = {0, 0, 0, 0};
  std::sscanf(text.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
  DWORDLONG v = 0;
  for (unsigned p : parts) v = v << 16 | (p & 0xFFFF);
  return v;
}

std::string FormatVersion(DWORDLONG v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", static_cast<unsigned>(v >> 48 & 0xFFFF),
                static_cast<unsigned>(v >> 32 & 0xFFFF), static_cast<unsigned>(v >> 16 & 0xFFFF),
                static_cast<unsigned>(v & 0xFFFF));
  return buf;
}

// Installs in progress are a count and the time each takes; they run one after the other from
// the moment this process first looks, and what is left is written back as a count when the
// machine is saved (an install that was part done counts as a whole one).
int64_t PendingMillis(Machine& m) {
  if (!m.doc.contains("_pendingSince")) {
    m.doc["_pendingSince"] = NowMillis(m);
    m.beforeSave.push_back([](Machine& mm) {
      int64_t left = PendingMillis(mm), each = mm.doc.value("pendingInstallMs", int64_t{5000});
      mm.doc["pendingInstalls"] = each > 0 ? (left + each - 1) / each : 0;
      mm.doc.erase("_pendingSince");
    });
  }
  int64_t count = m.doc.value("pendingInstalls", int64_t{0}), each = m.doc.value("pendingInstallMs", int64_t{5000});
  int64_t elapsed = NowMillis(m) - m.doc["_pendingSince"].get<int64_t>();
  return std::max<int64_t>(0, count * std::max<int64_t>(each, 0) - elapsed);
}

// Reads every field the calls use, so that a malformed entry stops the program at load with the
// line of `devices`, not in the middle of a call.
void CheckDevices(const json& doc) {
  (void)model::DevicesOf(doc);
  (void)doc.value("pendingInstalls", 0u);
  (void)doc.value("pendingInstallMs", 0u);
  std::string restart = doc.value("driverInstallRestart", std::string("none"));
  if (restart != "none" && restart != "restart" && restart != "reboot")
    throw std::runtime_error("driverInstallRestart must be \"none\", \"restart\" or \"reboot\"");
}

std::string DescribeDevices(const json& doc) {
  std::string out = "\nDevices:\n";
  for (const Device& d : model::DevicesOf(doc)) {
    out += "  " + d.instanceId + "  (" + (d.present ? "present" : "not present") + ", class " +
           (d.setupClass.empty() ? "-" : d.setupClass);
    if (!d.parent.empty()) out += ", parent " + d.parent;
    out += ")\n";
    if (const auto& drv = d.driver)
      out += "    driver " + drv->inf + " [" + drv->section + "] " + drv->provider + " " + drv->date + " " +
             drv->version + "\n";
    else
      out += "    no driver\n";
  }
  out += "  Installs in progress: " + std::to_string(doc.value("pendingInstalls", 0u)) + "\n";
  auto timeline = model::TimelineOf(doc);
  if (!timeline.empty()) out += "  Timeline (from the first device-notification registration):\n";
  for (const model::TimelineEvent& e : timeline)
    out += "    +" + std::to_string(e.afterListeningMs.value_or(0)) + " ms " + e.event + " " + e.instanceId +
           (e.device ? " (registered as it arrives)" : "") + "\n";
  return out;
}

}  // namespace winsim::pnp

// ---------------------------------------------------------------- controls

namespace winsim {

namespace {
model::Device& DeviceOrThrow(Machine& m, const std::string& instanceId) {
  model::Device* d = pnp::FindDevice(m, Utf8ToWide(instanceId));
  if (!d) throw std::runtime_error("no device " + instanceId + " on this machine");
  return *d;
}
}  // namespace

void RegisterTimelineDevices() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  model::RegisterDescribed(pnp::Devices(m), pnp::Timeline(m), false);
}

void PlugDevice(const std::string& instanceId) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  pnp::RegisterFromTimeline(CurrentMachine(), Utf8ToWide(instanceId), true);
  DeviceOrThrow(CurrentMachine(), instanceId).present = true;
}

void UnplugDevice(const std::string& instanceId) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  DeviceOrThrow(CurrentMachine(), instanceId).present = false;
}

void AddDevice(const std::string& deviceJson) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  model::Device d = model::DeviceOf(json::parse(deviceJson));
  if (pnp::FindDevice(m, pnp::InstanceId(d))) throw std::runtime_error("device " + d.instanceId + " exists already");
  pnp::Devices(m).push_back(std::move(d));
}

void SetPendingInstalls(unsigned count, int64_t eachMs) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  pnp::PendingMillis(m);  // starts the count now
  m.doc["pendingInstalls"] = count;
  m.doc["pendingInstallMs"] = eachMs;
  m.doc["_pendingSince"] = NowMillis(m);
}

unsigned PendingInstalls() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  int64_t left = pnp::PendingMillis(m), each = m.doc.value("pendingInstallMs", int64_t{5000});
  return each > 0 ? static_cast<unsigned>((left + each - 1) / each) : 0;
}

void SetInstallRestartNeed(RestartNeed need) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  static const char* const kNames[] = {"none", "restart", "reboot"};
  CurrentMachine().doc["driverInstallRestart"] = kNames[static_cast<int>(need)];
}

std::optional<InstalledDriver> GetInstalledDriver(const std::string& instanceId) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  model::Device* d = pnp::FindDevice(CurrentMachine(), Utf8ToWide(instanceId));
  return d ? d->driver : std::nullopt;
}

}  // namespace winsim
