// The "spooler" section of machine.json as structs: what winsim's spooler works on and what tests
// set up and look at. Each list is in the order the listing calls return it.
#pragma once

#include <cstdint>
#include <optional>

#include "winsim/model.h"

namespace winsim::model {

struct Monitor : Kept {
  std::string name, dll;
};

struct Port : Kept {
  std::string name, monitor, description;
  std::optional<uint32_t> type;  // PORT_TYPE bits; PORT_TYPE_WRITE when absent
};

struct Driver : Kept {
  std::string name, environment = "Windows NT x86";
  uint32_t version = 3;
  std::string driverPath, dataFile, configFile;  // bare file names, in the version directory
  std::optional<std::string> helpFile;
  std::vector<std::string> dependentFiles;
  std::optional<std::string> monitor, defaultDataType;
};

struct Printer : Kept {
  std::string name, driver, port, printProcessor = "winprint", dataType = "RAW";
  uint32_t jobs = 0;  // queued print jobs
  std::optional<std::string> comment, location, shareName, sepFile, parameters;
  std::optional<uint32_t> attributes, status, priority, defaultPriority;
  bool pendingDeletion = false;  // deleted while jobs were queued
};

struct Spooler : Kept {
  std::string environment, driverDirectory;  // empty when the file names none
  std::vector<Monitor> monitors;
  std::vector<Port> ports;
  std::vector<Driver> drivers;
  std::vector<Printer> printers;
};

// The section of a whole machine.json (none reads as an empty spooler), and back.
Spooler SpoolerOf(const nlohmann::json& machine);
void SetSpooler(nlohmann::json& machine, const Spooler& spooler);

}  // namespace winsim::model
