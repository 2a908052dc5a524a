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

const char* const kDriverTextFields[] = {"inf", "section", "provider", "manufacturer", "description",
                                         "hardwareId", "date", "version"};

void CheckStringList(const json& d, const char* key) {
  if (!d.contains(key)) return;
  for (const json& id : d.at(key)) (void)id.get<std::string>();
}

// An instance ID as the index keys it: SameText's comparison, made once per entry.
std::wstring Folded(std::wstring_view id) {
  std::wstring out(id);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return out;
}

// Device lookups that would otherwise scan the list once per device asked about. Devices are only
// ever appended and their instance ID and parent never change, so the index stays right until
// the list grows or machine.json is read again.
struct DeviceIndex {
  const json* list = nullptr;
  size_t size = 0;
  unsigned loads = 0;
  std::unordered_map<std::wstring, size_t> byId;                   // the first device with the ID
  std::unordered_map<std::wstring, std::vector<size_t>> children;  // by the parent's ID, in order
};

const DeviceIndex& IndexOf(Machine& m) {
  json& all = Devices(m);
  auto index = std::static_pointer_cast<DeviceIndex>(m.deviceIndex);
  if (index && index->list == &all && index->size == all.size() && index->loads == m.loads) return *index;
  index = std::make_shared<DeviceIndex>();
  index->list = &all;
  index->size = all.size();
  index->loads = m.loads;
  for (size_t i = 0; i < all.size(); ++i) {
    index->byId.emplace(Folded(InstanceId(all[i])), i);
    index->children[Folded(Utf8ToWide(all[i].value("parent", std::string())))].push_back(i);
  }
  m.deviceIndex = index;
  return *index;
}

}  // namespace

json& Devices(Machine& m) {
  json& d = m.doc["devices"];
  if (!d.is_array()) d = json::array();
  return d;
}

json* RegisterFromTimeline(Machine& m, std::wstring_view instanceId, bool present) {
  if (FindDevice(m, instanceId) || !m.doc.contains("timeline") || !m.doc["timeline"].is_array()) return nullptr;
  for (const json& e : m.doc["timeline"]) {
    if (!e.is_object() || !e.contains("device") || !e["device"].is_object()) continue;
    if (!SameText(Utf8ToWide(e.value("instanceId", std::string())), instanceId)) continue;
    json device = e["device"];
    device["instanceId"] = e["instanceId"];
    device["present"] = present;
    Devices(m).push_back(std::move(device));
    return &Devices(m).back();
  }
  return nullptr;
}

json* FindDevice(Machine& m, std::wstring_view instanceId) {
  const DeviceIndex& index = IndexOf(m);
  auto it = index.byId.find(Folded(instanceId));
  return it == index.byId.end() ? nullptr : &Devices(m)[it->second];
}

std::wstring InstanceId(const json& device) { return Utf8ToWide(device.value("instanceId", std::string())); }

bool Present(const json& device) { return device.value("present", false); }

std::vector<std::wstring> IdList(const json& device, const char* key) {
  std::vector<std::wstring> ids;
  if (device.contains(key))
    for (const json& id : device.at(key)) ids.push_back(Utf8ToWide(id.get<std::string>()));
  return ids;
}

std::vector<const json*> Children(Machine& m, const json& device) {
  std::vector<const json*> out;
  const DeviceIndex& index = IndexOf(m);
  auto it = index.children.find(Folded(InstanceId(device)));
  if (it != index.children.end())
    for (size_t i : it->second) out.push_back(&Devices(m)[i]);
  return out;
}

DEVINST DevInstOf(Machine& m, const json& device) {
  // The list is one vector of entries, so a device's position is its distance from the first.
  const json::array_t& all = Devices(m).get_ref<const json::array_t&>();
  if (all.empty() || &device < all.data() || &device >= all.data() + all.size()) return 0;
  return static_cast<DEVINST>(&device - all.data() + 1);
}

json* DeviceByDevInst(Machine& m, DEVINST devInst) {
  json& all = Devices(m);
  if (devInst == 0 || devInst > all.size()) return nullptr;
  return &all[devInst - 1];
}

GUID ClassGuidOf(const json& device) {
  GUID g{};
  if (device.contains("classGuid") && ParseGuid(Utf8ToWide(device.at("classGuid").get<std::string>()), g)) return g;
  std::wstring cls = Utf8ToWide(device.value("class", std::string()));
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
  if (doc.contains("devices")) {
    for (const json& d : doc.at("devices")) {
      if (d.at("instanceId").get<std::string>().empty()) throw std::runtime_error("a device without instanceId");
      (void)d.value("parent", std::string());
      (void)d.value("present", false);
      (void)d.value("class", std::string());
      GUID g;
      if (d.contains("classGuid") && !ParseGuid(Utf8ToWide(d.at("classGuid").get<std::string>()), g))
        throw std::runtime_error("classGuid of " + d.at("instanceId").get<std::string>() + " is not a GUID");
      CheckStringList(d, "hardwareIds");
      CheckStringList(d, "compatibleIds");
      if (d.contains("properties"))
        for (auto& [name, v] : d.at("properties").items()) {
          if (!v.is_string() && !v.is_number_unsigned() && !v.is_array())
            throw std::runtime_error("property " + name + " must be a string, a list of strings or a number");
          if (v.is_array()) CheckStringList(d.at("properties"), name.c_str());
        }
      if (d.contains("interfaceClass") && !d.at("interfaceClass").is_string()) CheckStringList(d, "interfaceClass");
      if (d.contains("driver") && !d.at("driver").is_null()) {
        const json& drv = d.at("driver");
        for (const char* f : kDriverTextFields) (void)drv.value(f, std::string());
        (void)drv.value("rank", 0u);
      }
    }
  }
  (void)doc.value("pendingInstalls", 0u);
  (void)doc.value("pendingInstallMs", 0u);
  std::string restart = doc.value("driverInstallRestart", std::string("none"));
  if (restart != "none" && restart != "restart" && restart != "reboot")
    throw std::runtime_error("driverInstallRestart must be \"none\", \"restart\" or \"reboot\"");
}

std::string DescribeDevices(const json& doc) {
  std::string out = "\nDevices:\n";
  if (doc.contains("devices")) {
    for (const json& d : doc.at("devices")) {
      out += "  " + d.value("instanceId", std::string()) + "  (" +
             (d.value("present", false) ? "present" : "not present") + ", class " + d.value("class", std::string("-"));
      if (!d.value("parent", std::string()).empty()) out += ", parent " + d.value("parent", std::string());
      out += ")\n";
      if (d.contains("driver") && d.at("driver").is_object()) {
        const json& drv = d.at("driver");
        out += "    driver " + drv.value("inf", std::string()) + " [" + drv.value("section", std::string()) + "] " +
               drv.value("provider", std::string()) + " " + drv.value("date", std::string()) + " " +
               drv.value("version", std::string()) + "\n";
      } else {
        out += "    no driver\n";
      }
    }
  }
  out += "  Installs in progress: " + std::to_string(doc.value("pendingInstalls", 0u)) + "\n";
  if (doc.contains("timeline") && doc.at("timeline").is_array() && !doc.at("timeline").empty()) {
    out += "  Timeline (from the first device-notification registration):\n";
    for (const json& e : doc.at("timeline"))
      out += "    +" + std::to_string(e.value("afterListeningMs", int64_t{0})) + " ms " +
             e.value("event", std::string()) + " " + e.value("instanceId", std::string()) +
             (e.contains("device") ? " (registered as it arrives)" : "") + "\n";
  }
  return out;
}

}  // namespace winsim::pnp

// ---------------------------------------------------------------- controls

namespace winsim {

namespace {
json& DeviceOrThrow(Machine& m, const std::string& instanceId) {
  json* d = pnp::FindDevice(m, Utf8ToWide(instanceId));
  if (!d) throw std::runtime_error("no device " + instanceId + " on this machine");
  return *d;
}
}  // namespace

void RegisterTimelineDevices() {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  std::vector<std::string> ids;
  for (const json& e : m.doc.value("timeline", json::array()))
    if (e.is_object() && e.contains("device")) ids.push_back(e.value("instanceId", std::string()));
  for (const std::string& id : ids) pnp::RegisterFromTimeline(m, Utf8ToWide(id), false);
}

void PlugDevice(const std::string& instanceId) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  pnp::RegisterFromTimeline(CurrentMachine(), Utf8ToWide(instanceId), true);
  DeviceOrThrow(CurrentMachine(), instanceId)["present"] = true;
}

void UnplugDevice(const std::string& instanceId) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  DeviceOrThrow(CurrentMachine(), instanceId)["present"] = false;
}

void AddDevice(const std::string& deviceJson) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  Machine& m = CurrentMachine();
  json d = json::parse(deviceJson);
  json probe = {{"devices", json::array({d})}};
  pnp::CheckDevices(probe);
  if (pnp::FindDevice(m, pnp::InstanceId(d)))
    throw std::runtime_error("device " + d.at("instanceId").get<std::string>() + " exists already");
  pnp::Devices(m).push_back(d);
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
  json* d = pnp::FindDevice(CurrentMachine(), Utf8ToWide(instanceId));
  if (!d || !d->contains("driver") || d->at("driver").is_null()) return std::nullopt;
  const json& drv = d->at("driver");
  InstalledDriver out;
  out.inf = drv.value("inf", "");
  out.section = drv.value("section", "");
  out.provider = drv.value("provider", "");
  out.manufacturer = drv.value("manufacturer", "");
  out.description = drv.value("description", "");
  out.hardwareId = drv.value("hardwareId", "");
  out.date = drv.value("date", "");
  out.version = drv.value("version", "");
  out.rank = drv.value("rank", 0u);
  return out;
}

}  // namespace winsim
