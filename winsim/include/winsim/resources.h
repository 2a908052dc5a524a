// A program's resources under winsim: the resource script embedded at build time (see
// cmake/resources.cmake) and what the script reader makes of it. Product code never includes
// this header.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <windows.h>

namespace winsim {

struct ResourceFile {
  const char* name;  // as the script names it
  const unsigned char* data;
  size_t size;
};

// Makes SCRIPT (one of FILES) the resources of this program. The generated source of
// q52_target_resources calls it during static initialisation; the script is read at the first
// resource call. Returns true so that it can initialise a constant.
bool RegisterResources(const char* script, const ResourceFile* files, size_t count);

// What a program loads of its script, by resource number.
struct ResourceScript {
  std::map<unsigned, std::wstring> strings;
  std::set<int> icons;  // their images are not read
  std::map<int, std::vector<ACCEL>> accelerators;
  std::map<int, std::wstring> dialogs;  // their captions: a box is answered, never drawn
};

// A script that cannot be read: "file:line: what".
struct ResourceError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads the script named SCRIPT; READ gives the content of a file the script names (the script
// included), or nothing when there is no such file. Throws ResourceError.
using ResourceReader = std::function<std::optional<std::string>(const std::string& name)>;
ResourceScript ParseResourceScript(const std::string& script, const ResourceReader& read);
// The same for a script on disk; the files it names are looked up beside it.
ResourceScript ReadResourceScriptFile(const std::string& path);

// The program's resources: null when none are registered or the script cannot be read (the
// reason is printed to standard error once).
const ResourceScript* ProgramResources();

}  // namespace winsim
