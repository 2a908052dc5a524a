// What machine.json says about single files: read-only, or in use by another program. Shared by
// the file, directory and shell calls so that they agree on a file's state.
#pragma once

#include <string>
#include <vector>

#include "core/machine.h"

namespace winsim {

using model::FileMark;

// The machine's marks, read from machine.json on first use.
model::Files& FileMarks(Machine& m);

// The mark in machine.json's "files" section of the file at WINDOWSPATH. Keys are Windows paths,
// matched by the host file they name, so case and the spelling of the path do not matter.
FileMark FileMarkOf(Machine& m, const std::wstring& windowsPath);
// Replaces that mark; a mark with no flag set is removed.
void SetFileMark(Machine& m, const std::wstring& windowsPath, const FileMark& mark);

// Where a path that names nothing fails: ERROR_FILE_NOT_FOUND when its directory exists,
// ERROR_PATH_NOT_FOUND when not.
DWORD MissingError(const fs::path& host);
// A name against a pattern of '*' and '?', without regard to case.
bool WildMatch(const wchar_t* pattern, const wchar_t* name);

// A junction: a host symbolic link to a directory. Windows lists it as a directory reparse point,
// removes the link alone with RemoveDirectoryW, and reaches the target through it.
bool IsJunction(const fs::path& host);

// What the Session Manager does at boot: carries out the deletions and renames that MoveFileExW
// scheduled in PendingFileRenameOperations, in order, and clears the value. One line per
// operation, saying what became of it. No program runs then, so the running marks go too.
std::vector<std::string> CarryOutPendingOperations(Machine& m);

}  // namespace winsim
