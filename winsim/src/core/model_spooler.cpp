// The "spooler" section of machine.json read into its structs and written back: the one place
// that spells its keys, each once, in the field list of its struct.
#include "winsim/model_spooler.h"

#include <algorithm>
#include <type_traits>

namespace winsim::model {

using nlohmann::json;

namespace {

// Reads a record: each key whose value has its field's type moves from `rest` into the field; a
// value of another type stays in `rest` and goes back to the file as it was. Only a set mark
// (true) is taken, so an explicit false stays as written.
struct Reader {
  json& rest;
  template <typename T>
  void operator()(const char* key, T& field) {
    auto it = rest.find(key);
    if (it == rest.end() || !Fits(*it, field)) return;
    field = it->get<T>();
    rest.erase(it);
  }
  template <typename T>
  void operator()(const char* key, std::optional<T>& field) {
    T value{};
    if (rest.contains(key) && Fits(rest[key], value)) (*this)(key, field.emplace());
  }
  static bool Fits(const json& v, const std::string&) { return v.is_string(); }
  static bool Fits(const json& v, uint32_t) { return v.is_number(); }
  static bool Fits(const json& v, bool) { return v == true; }
  static bool Fits(const json& v, const std::vector<std::string>&) {
    return v.is_array() && std::all_of(v.begin(), v.end(), [](const json& s) { return s.is_string(); });
  }
  template <typename T>
  static bool Fits(const json& v, const std::vector<T>&) { return v.is_array(); }
};

// Writes a record's fields; an absent optional and an unset mark are left out.
struct Writer {
  json& out;
  template <typename T>
  void operator()(const char* key, const T& field) { out[key] = field; }
  template <typename T>
  void operator()(const char* key, const std::optional<T>& field) {
    if (field) out[key] = *field;
  }
  void operator()(const char* key, const bool& mark) {
    if (mark) out[key] = true;
  }
};

json Write(const Monitor& r);
json Write(const Port& r);
json Write(const Driver& r);
json Write(const Printer& r);
template <typename T>
T Read(const json& object);

}  // namespace

}  // namespace winsim::model

namespace nlohmann {
// The lists of the section read and written through their structs.
template <typename T>
struct adl_serializer<std::vector<T>, std::enable_if_t<std::is_base_of_v<winsim::model::Kept, T>>> {
  static void to_json(json& j, const std::vector<T>& list) {
    j = json::array();
    for (const T& e : list) j.push_back(winsim::model::Write(e));
  }
  static void from_json(const json& j, std::vector<T>& list) {
    for (const json& e : j) list.push_back(winsim::model::Read<T>(e));
  }
};
}  // namespace nlohmann

namespace winsim::model {

namespace {

template <typename R, typename V>
void Fields(R& r, V&& v) {
  using T = std::remove_const_t<R>;
  if constexpr (std::is_same_v<T, Monitor>) {
    v("name", r.name), v("dll", r.dll);
  } else if constexpr (std::is_same_v<T, Port>) {
    v("name", r.name), v("monitor", r.monitor), v("description", r.description), v("type", r.type);
  } else if constexpr (std::is_same_v<T, Driver>) {
    v("name", r.name), v("environment", r.environment), v("version", r.version), v("driverPath", r.driverPath),
        v("dataFile", r.dataFile), v("configFile", r.configFile), v("helpFile", r.helpFile),
        v("dependentFiles", r.dependentFiles), v("monitor", r.monitor), v("defaultDataType", r.defaultDataType);
  } else if constexpr (std::is_same_v<T, Printer>) {
    v("name", r.name), v("driver", r.driver), v("port", r.port), v("printProcessor", r.printProcessor),
        v("dataType", r.dataType), v("jobs", r.jobs), v("comment", r.comment), v("location", r.location),
        v("shareName", r.shareName), v("sepFile", r.sepFile), v("parameters", r.parameters),
        v("attributes", r.attributes), v("status", r.status), v("priority", r.priority),
        v("defaultPriority", r.defaultPriority), v("pendingDeletion", r.pendingDeletion);
  } else {
    v("environment", r.environment), v("driverDirectory", r.driverDirectory), v("monitors", r.monitors),
        v("ports", r.ports), v("drivers", r.drivers), v("printers", r.printers);
  }
}

// A record as a default-constructed one writes it: what a key the file left out stands for.
// Never destroyed: the machine is written back after static objects are.
template <typename T>
const json& Defaults() {
  static const json& defaults = *new json([] {
    json out = json::object();
    T r;
    Fields(r, Writer{out});
    return out;
  }());
  return defaults;
}

template <typename T>
T Read(const json& object) {
  T r;
  r.rest = object.is_object() ? object : json::object();
  for (auto& [key, value] : Defaults<T>().items())
    if (!r.rest.contains(key)) r.unset.push_back(key);
  Fields(r, Reader{r.rest});
  return r;
}

// The fields less those the file left out that still hold their default, then what was kept as
// written.
template <typename T>
json Write(const T& r) {
  json out = json::object();
  Fields(r, Writer{out});
  for (const std::string& key : r.unset)
    if (out.contains(key) && out[key] == Defaults<T>()[key]) out.erase(key);
  for (auto& [key, value] : r.rest.items()) out[key] = value;
  return out;
}

json Write(const Monitor& r) { return Write<Monitor>(r); }
json Write(const Port& r) { return Write<Port>(r); }
json Write(const Driver& r) { return Write<Driver>(r); }
json Write(const Printer& r) { return Write<Printer>(r); }

}  // namespace

Spooler ReadSpooler(const json& section) { return Read<Spooler>(section); }
json WriteSpooler(const Spooler& spooler) { return Write(spooler); }

Spooler SpoolerOf(const json& machine) {
  auto it = machine.find("spooler");
  return ReadSpooler(it == machine.end() ? json() : *it);
}

void SetSpooler(json& machine, const Spooler& spooler) { machine["spooler"] = WriteSpooler(spooler); }

}  // namespace winsim::model
