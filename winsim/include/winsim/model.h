// The machine file's sections as structs: what every record of machine.json keeps besides its
// fields. One header per section (model_spooler.h, ...) declares its structs and how a section is
// read from a whole machine.json and put back; each is read and written in one file of src/core.
//
// Keys a struct does not name stay as written (`rest`), and a key the file left out stays out
// while its field keeps the default (`unset`), so a machine goes back to its file as it came,
// edits aside. A value of the wrong type is an error naming its key.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace winsim::model {

struct Kept {
  nlohmann::json rest = nlohmann::json::object();
  std::vector<std::string> unset;
};

}  // namespace winsim::model
