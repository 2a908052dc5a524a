// What machine.json says about single files: read-only, or in use by another program. Shared by
// the file, directory and shell calls so that they agree on a file's state.
#pragma once

#include <string>

#include "machine.h"

namespace winsim {

struct FileFlags {
  bool readOnly = false;
  // Open in another program that lets others read the file but not change or delete it, as a
  // loaded DLL is.
  bool inUse = false;
};

// The entry of machine.json's "files" section for the file at WINDOWSPATH. Keys are Windows paths,
// matched by the host file they name, so case and the spelling of the path do not matter.
FileFlags FileFlagsOf(Machine& m, const std::wstring& windowsPath);
// Replaces that entry; an entry with neither flag is removed.
void SetFileFlags(Machine& m, const std::wstring& windowsPath, const FileFlags& flags);

// Where a path that names nothing fails: ERROR_FILE_NOT_FOUND when its directory exists,
// ERROR_PATH_NOT_FOUND when not.
DWORD MissingError(const fs::path& host);
// A name against a pattern of '*' and '?', without regard to case.
bool WildMatch(const wchar_t* pattern, const wchar_t* name);

}  // namespace winsim
