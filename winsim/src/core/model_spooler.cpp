// The "spooler" section of machine.json read into its structs and written back: the one place
// that spells its keys.
#include "winsim/model_spooler.h"

namespace winsim::model {

using nlohmann::json;

namespace {

// The defaults below are never destroyed: the machine is written back after static objects are.

// Moves KEY from REST into OUT when its value has OUT's type; a value of another type stays in
// REST and goes back to the file as it was.
bool Take(json& rest, const char* key, std::string& out) {
  auto it = rest.find(key);
  if (it == rest.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  rest.erase(it);
  return true;
}
bool Take(json& rest, const char* key, uint32_t& out) {
  auto it = rest.find(key);
  if (it == rest.end() || !it->is_number()) return false;
  out = it->get<uint32_t>();
  rest.erase(it);
  return true;
}
bool Take(json& rest, const char* key, std::vector<std::string>& out) {
  auto it = rest.find(key);
  if (it == rest.end() || !it->is_array()) return false;
  for (const json& s : *it)
    if (!s.is_string()) return false;
  out = it->get<std::vector<std::string>>();
  rest.erase(it);
  return true;
}
template <typename T>
void Take(json& rest, const char* key, std::optional<T>& out) {
  T value{};
  if (Take(rest, key, value)) out = value;
}

template <typename T>
void Put(json& o, const char* key, const std::optional<T>& value) {
  if (value) o[key] = *value;
}

json Write(const Monitor& m);
json Write(const Port& p);
json Write(const Driver& d);
json Write(const Printer& p);

// Notes the keys the file left out, then reads the others into the typed fields.
template <typename T, typename F>
void ReadRecord(T& record, const json& object, const json& defaults, F read) {
  record.rest = object.is_object() ? object : json::object();
  for (auto& [key, value] : defaults.items())
    if (!record.rest.contains(key)) record.unset.push_back(key);
  read(record, record.rest);
}

// A list's entries, each read by READ from its object; anything but an object is an empty entry.
template <typename T, typename F>
std::vector<T> ReadList(json& rest, const char* key, F read) {
  std::vector<T> out;
  auto it = rest.find(key);
  if (it == rest.end() || !it->is_array()) return out;
  static const json& defaults = *new json(Write(T{}));
  for (const json& e : *it) ReadRecord(out.emplace_back(), e, defaults, read);
  rest.erase(it);
  return out;
}

// The typed fields in O less those the file left out that still hold DEFAULTS', then what was
// kept as written.
template <typename T>
json Finish(json o, const T& record, const json& defaults) {
  for (const std::string& key : record.unset)
    if (o.contains(key) && defaults.contains(key) && o[key] == defaults[key]) o.erase(key);
  for (auto& [key, value] : record.rest.items()) o[key] = value;
  return o;
}
template <typename T>
json Finish(json o, const T& record) {
  if (record.unset.empty()) return Finish(std::move(o), record, json());
  static const json& defaults = *new json(Write(T{}));
  return Finish(std::move(o), record, defaults);
}

json Write(const Monitor& m) { return Finish({{"name", m.name}, {"dll", m.dll}}, m); }

json Write(const Port& p) {
  json e = {{"name", p.name}, {"monitor", p.monitor}, {"description", p.description}};
  Put(e, "type", p.type);
  return Finish(e, p);
}

json Write(const Driver& d) {
  json e = {{"name", d.name},           {"environment", d.environment}, {"version", d.version},
            {"driverPath", d.driverPath}, {"dataFile", d.dataFile},       {"configFile", d.configFile},
            {"dependentFiles", d.dependentFiles}};
  Put(e, "helpFile", d.helpFile);
  Put(e, "monitor", d.monitor);
  Put(e, "defaultDataType", d.defaultDataType);
  return Finish(e, d);
}

json Write(const Printer& p) {
  json e = {{"name", p.name},
            {"driver", p.driver},
            {"port", p.port},
            {"printProcessor", p.printProcessor},
            {"dataType", p.dataType},
            {"jobs", p.jobs}};
  Put(e, "comment", p.comment);
  Put(e, "location", p.location);
  Put(e, "shareName", p.shareName);
  Put(e, "sepFile", p.sepFile);
  Put(e, "parameters", p.parameters);
  Put(e, "attributes", p.attributes);
  Put(e, "status", p.status);
  Put(e, "priority", p.priority);
  Put(e, "defaultPriority", p.defaultPriority);
  if (p.pendingDeletion) e["pendingDeletion"] = true;
  return Finish(e, p);
}

const json& SpoolerDefaults() {
  static const json& defaults = *new json{{"environment", ""}, {"driverDirectory", ""}, {"monitors", json::array()},
                                         {"ports", json::array()},  {"drivers", json::array()},  {"printers", json::array()}};
  return defaults;
}

template <typename T>
json WriteList(const std::vector<T>& list) {
  json out = json::array();
  for (const T& e : list) out.push_back(Write(e));
  return out;
}

}  // namespace

Spooler ReadSpooler(const json& section) {
  Spooler s;
  ReadRecord(s, section, SpoolerDefaults(), [](Spooler&, json&) {});
  json& r = s.rest;
  Take(r, "environment", s.environment);
  Take(r, "driverDirectory", s.driverDirectory);
  s.monitors = ReadList<Monitor>(r, "monitors", [](Monitor& m, json& e) {
    Take(e, "name", m.name);
    Take(e, "dll", m.dll);
  });
  s.ports = ReadList<Port>(r, "ports", [](Port& p, json& e) {
    Take(e, "name", p.name);
    Take(e, "monitor", p.monitor);
    Take(e, "description", p.description);
    Take(e, "type", p.type);
  });
  s.drivers = ReadList<Driver>(r, "drivers", [](Driver& d, json& e) {
    Take(e, "name", d.name);
    Take(e, "environment", d.environment);
    Take(e, "version", d.version);
    Take(e, "driverPath", d.driverPath);
    Take(e, "dataFile", d.dataFile);
    Take(e, "configFile", d.configFile);
    Take(e, "helpFile", d.helpFile);
    Take(e, "dependentFiles", d.dependentFiles);
    Take(e, "monitor", d.monitor);
    Take(e, "defaultDataType", d.defaultDataType);
  });
  s.printers = ReadList<Printer>(r, "printers", [](Printer& p, json& e) {
    Take(e, "name", p.name);
    Take(e, "driver", p.driver);
    Take(e, "port", p.port);
    Take(e, "printProcessor", p.printProcessor);
    Take(e, "dataType", p.dataType);
    Take(e, "jobs", p.jobs);
    Take(e, "comment", p.comment);
    Take(e, "location", p.location);
    Take(e, "shareName", p.shareName);
    Take(e, "sepFile", p.sepFile);
    Take(e, "parameters", p.parameters);
    Take(e, "attributes", p.attributes);
    Take(e, "status", p.status);
    Take(e, "priority", p.priority);
    Take(e, "defaultPriority", p.defaultPriority);
    // Only a mark is taken: an explicit false stays as written.
    if (e.value("pendingDeletion", false) == true) p.pendingDeletion = e.erase("pendingDeletion") > 0;
  });
  return s;
}

json WriteSpooler(const Spooler& s) {
  json o = {{"environment", s.environment}, {"driverDirectory", s.driverDirectory},
            {"monitors", WriteList(s.monitors)}, {"ports", WriteList(s.ports)},
            {"drivers", WriteList(s.drivers)}, {"printers", WriteList(s.printers)}};
  return Finish(o, s, SpoolerDefaults());
}

}  // namespace winsim::model
