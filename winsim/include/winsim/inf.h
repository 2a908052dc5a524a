// Staging INF files on a simulated machine, for tests and the winsim command.
// Product code never includes this header.
#pragma once

#include <string>

namespace winsim {

// Stages an INF as Windows does when a driver package is added: copies INF_FILE (a host path) to
// the lowest free C:\WINDOWS\inf\oemN.inf and records, in machine.json `infs`, the name it had and
// the name of its catalog: CAT_FILE's name when one is given (it must exist), else the catalog the
// INF's [Version] names (CatalogFile.NTx86, CatalogFile.NT, CatalogFile), else none.
// Returns the staged name ("oem0.inf"). Throws std::runtime_error when a file can't be read or the
// INF can't be parsed; nothing changes then.
std::string StageInf(const std::string& machineDir, const std::string& infFile, const std::string& catFile = "");
// The same on the current machine of this process.
std::string StageInfHere(const std::string& infFile, const std::string& catFile = "");

// Removes a staged INF (its file and its record) from machine DIR; false when neither exists.
bool UnstageInf(const std::string& machineDir, const std::string& stagedName);

// Creates DIR from an example machine description (EXAMPLE_DIR/example.json): the built-in image
// it names, the staged INFs it removes ("unstage"), the INF files it stages in order ("stage",
// paths relative to EXAMPLE_DIR, each {"inf": ..., "cat": ...}), a JSON Patch of machine.json
// ("patch"), .reg files to import ("reg", relative to EXAMPLE_DIR), Windows paths to delete
// ("remove"), the devices it registers besides the image's ("addDevices", entries as in
// machine.json `devices`) and the top-level machine.json entries it replaces ("machine":
// {"timeline": [...], ...}). Throws std::runtime_error when a step does not find what it names.
void CreateMachineFromExample(const std::string& dir, const std::string& exampleDir);

}  // namespace winsim
