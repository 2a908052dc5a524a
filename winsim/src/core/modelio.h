// How the section files of src/core read a record of machine.json into its struct and write it
// back. Each struct has one field list, `template <class V> void Fields(S& r, V&& v)` calling
// v("key", r.field) once per field, in the namespace of the struct; reading and writing both
// walk it, so a key is spelled once.
#pragma once

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include "winsim/model.h"

namespace winsim::model {

using nlohmann::json;

template <typename T>
T Read(const json& object);
template <typename T>
json Write(const T& r);

namespace io {

// A value of the wrong type, named by the keys that lead to it: "printers: jobs: type must be
// number, but is string".
inline std::runtime_error Wrong(const char* key, const std::exception& e) {
  std::string what = e.what();
  if (what.rfind("[json.exception.", 0) == 0 && what.find("] ") != std::string::npos)
    what = what.substr(what.find("] ") + 2);
  return std::runtime_error(std::string(key) + ": " + what);
}

inline bool IsTextList(const json& v) {
  return v.is_array() && std::all_of(v.begin(), v.end(), [](const json& s) { return s.is_string(); });
}
// Whether a value is read into its field at all: a record type may say no (to null, say), and the
// value then stays as written.
template <typename T>
bool Fits(const json&, const T&) { return true; }

// Moves each key it is given from `rest` into its field.
struct Reader {
  json& rest;
  template <typename T>
  void operator()(const char* key, T& field) {
    auto it = rest.find(key);
    if (it == rest.end() || !Fits(*it, field)) return;
    try {
      field = it->get<T>();
    } catch (const std::exception& e) {
      throw Wrong(key, e);
    }
    rest.erase(it);
  }
  template <typename T>
  void operator()(const char* key, std::optional<T>& field) {
    auto it = rest.find(key);
    if (it == rest.end() || !Fits(*it, T{})) return;
    (*this)(key, field.emplace());
  }
};

// Writes each field given; an absent optional is left out.
struct Writer {
  json& out;
  template <typename T>
  void operator()(const char* key, const T& field) { out[key] = field; }
  template <typename T>
  void operator()(const char* key, const std::optional<T>& field) {
    if (field) out[key] = *field;
  }
};

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

}  // namespace io

template <typename T>
T Read(const json& object) {
  T r;
  if (!object.is_null() && !object.is_object())
    throw std::runtime_error("type must be object, but is " + std::string(object.type_name()));
  r.rest = object.is_object() ? object : json::object();
  for (auto& [key, value] : io::Defaults<T>().items())
    if (!r.rest.contains(key)) r.unset.push_back(key);
  Fields(r, io::Reader{r.rest});
  return r;
}

// The fields less those the file left out that still hold their default, then what was kept as
// written where no field took its place.
template <typename T>
json Write(const T& r) {
  json out = json::object();
  Fields(const_cast<T&>(r), io::Writer{out});
  for (const std::string& key : r.unset)
    if (out.contains(key) && out[key] == io::Defaults<T>()[key]) out.erase(key);
  for (auto& [key, value] : r.rest.items())
    if (!out.contains(key)) out[key] = value;
  return out;
}

}  // namespace winsim::model

namespace nlohmann {
// A list of records read and written through their structs.
template <typename T>
struct adl_serializer<std::vector<T>, std::enable_if_t<std::is_base_of_v<winsim::model::Kept, T>>> {
  static void to_json(json& j, const std::vector<T>& list) {
    j = json::array();
    for (const T& e : list) j.push_back(winsim::model::Write(e));
  }
  static void from_json(const json& j, std::vector<T>& list) {
    if (!j.is_array()) throw std::runtime_error("type must be array, but is " + std::string(j.type_name()));
    for (const json& e : j) list.push_back(winsim::model::Read<T>(e));
  }
};
// A record inside a record.
template <typename T>
struct adl_serializer<T, std::enable_if_t<std::is_base_of_v<winsim::model::Kept, T>>> {
  static void to_json(json& j, const T& r) { j = winsim::model::Write(r); }
  static void from_json(const json& j, T& r) { r = winsim::model::Read<T>(j); }
};
}  // namespace nlohmann
