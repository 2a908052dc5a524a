// The "spooler" section of machine.json read into its structs and written back: the one place
// that spells its keys.
#include "winsim/model_spooler.h"

namespace winsim::model {

using nlohmann::json;

namespace {

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

// A list's entries, each read by READ from its object; anything but an object is an empty entry.
template <typename T, typename F>
std::vector<T> ReadList(json& rest, const char* key, F read) {
  std::vector<T> out;
  auto it = rest.find(key);
  if (it == rest.end() || !it->is_array()) return out;
  for (const json& e : *it) {
    T entry;
    entry.rest = e.is_object() ? e : json::object();
    read(entry, entry.rest);
    out.push_back(std::move(entry));
  }
  rest.erase(it);
  return out;
}

// The typed fields in O, then what was kept as written.
json Finish(json o, const json& rest) {
  for (auto& [key, value] : rest.items()) o[key] = value;
  return o;
}

}  // namespace

Spooler ReadSpooler(const json& section) {
  Spooler s;
  if (!section.is_object()) return s;
  s.rest = section;
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
  json o = {{"environment", s.environment}, {"driverDirectory", s.driverDirectory}};
  json& monitors = o["monitors"] = json::array();
  for (const Monitor& m : s.monitors) monitors.push_back(Finish({{"name", m.name}, {"dll", m.dll}}, m.rest));
  json& ports = o["ports"] = json::array();
  for (const Port& p : s.ports) {
    json e = {{"name", p.name}, {"monitor", p.monitor}, {"description", p.description}};
    Put(e, "type", p.type);
    ports.push_back(Finish(e, p.rest));
  }
  json& drivers = o["drivers"] = json::array();
  for (const Driver& d : s.drivers) {
    json e = {{"name", d.name},           {"environment", d.environment}, {"version", d.version},
              {"driverPath", d.driverPath}, {"dataFile", d.dataFile},       {"configFile", d.configFile},
              {"dependentFiles", d.dependentFiles}};
    Put(e, "helpFile", d.helpFile);
    Put(e, "monitor", d.monitor);
    Put(e, "defaultDataType", d.defaultDataType);
    drivers.push_back(Finish(e, d.rest));
  }
  json& printers = o["printers"] = json::array();
  for (const Printer& p : s.printers) {
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
    printers.push_back(Finish(e, p.rest));
  }
  return Finish(o, s.rest);
}

}  // namespace winsim::model
