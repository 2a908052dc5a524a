// The "files" section of machine.json as structs: the marks of single files and directories,
// keyed by Windows path as the file writes it (any spelling that names the file: case and `/` or
// `\` don't matter to the calls that look a mark up).
#pragma once

#include <map>

#include "winsim/model.h"

namespace winsim::model {

struct FileMark : Kept {
  bool readOnly = false;
  // Open in another program that lets others read the file but not change or delete it, as a
  // loaded DLL is.
  bool inUse = false;
  // The image of a running program: Windows maps it for execution, so it refuses deletion with
  // ERROR_ACCESS_DENIED (not the sharing violation of a file held open), yet it can be renamed
  // and its deletion scheduled for the next restart.
  bool running = false;
};

using Files = std::map<std::string, FileMark>;

// A mark as winsim writes a new one: both flags, and running only when set.
FileMark NewMark(bool readOnly, bool inUse, bool running);
// No program runs any more: running is cleared and its key left out.
void StopRunning(FileMark& mark);

// The section of a whole machine.json (none reads as no marks), and back; a machine that had no
// section and has no marks keeps none.
Files FilesOf(const nlohmann::json& machine);
void SetFiles(nlohmann::json& machine, const Files& files);

}  // namespace winsim::model
