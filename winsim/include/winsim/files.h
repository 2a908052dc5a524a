// What tests use to mark files of the current machine the way machine.json's "files" section does.
// Product code never includes this header.
#pragma once

#include <string>

namespace winsim {

// Read-only: DeleteFileW and an overwriting CopyFileW fail with ERROR_ACCESS_DENIED.
void SetFileReadOnly(const std::wstring& windowsPath, bool readOnly);
// In use by another program: DeleteFileW and an overwriting CopyFileW fail with
// ERROR_SHARING_VIOLATION; reading and copying from it still work.
void SetFileInUse(const std::wstring& windowsPath, bool inUse);
// The image of a running program: DeleteFileW fails with ERROR_ACCESS_DENIED, an overwriting
// CopyFileW with ERROR_SHARING_VIOLATION; MoveFileExW may schedule its deletion.
void SetFileRunning(const std::wstring& windowsPath, bool running);

}  // namespace winsim
