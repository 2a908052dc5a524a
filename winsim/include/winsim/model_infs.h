// The "infs" section of machine.json as structs: the records of the staged INFs, what SetupAPI
// reports as a staged file's original name and catalog.
#pragma once

#include "winsim/model.h"

namespace winsim::model {

struct Inf : Kept {
  std::string name;             // oemN.inf
  std::string originalName;     // the INF's name before staging
  std::string originalCatalog;  // its catalog's name before staging; empty when it had none
};

// The section of a whole machine.json (none reads as no records), and back; a machine that had
// no section and has no records keeps none.
std::vector<Inf> InfsOf(const nlohmann::json& machine);
void SetInfs(nlohmann::json& machine, const std::vector<Inf>& infs);

}  // namespace winsim::model
