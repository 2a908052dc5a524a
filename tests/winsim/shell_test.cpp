// The directory and shell deletions as the run report and machine.json's marks show them: what
// the conformance program cannot see on Windows.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/files.h"
#include "winsim/print.h"

namespace {

using testsupport::TempMachine;

void Make(const std::wstring& path, bool directory) {
  std::string host = winsim::HostPath(path);
  if (directory)
    std::filesystem::create_directories(host);
  else
    std::ofstream(host) << "x";
}

int ShellDelete(const wchar_t* list) {
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = list;
  op.fFlags = FOF_NOCONFIRMATION;
  return SHFileOperationW(&op);
}

// Each deletion is a line of the run's changes, the shell's deepest first; a deleted file loses
// its marks, so a new file of that name starts clean.
TEST(Shell, DeletionsAreChangesAndClearTheMarks) {
  TempMachine machine;
  ASSERT_TRUE(CreateDirectoryW(L"C:\\T", nullptr));
  Make(L"C:\\T\\a.txt", false);
  Make(L"C:\\T\\sub", true);
  Make(L"C:\\T\\sub\\b.txt", false);
  winsim::SetFileReadOnly(L"C:\\T\\sub\\b.txt", true);
  EXPECT_EQ(ShellDelete(L"C:\\T\\*\0"), 0);
  ASSERT_TRUE(RemoveDirectoryW(L"C:\\T"));
  EXPECT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"), ERROR_SUCCESS);
  EXPECT_EQ(winsim::Changes(),
            (std::vector<std::string>{"CreateDirectory C:\\T", "SHFileOperation FO_DELETE C:\\T\\a.txt",
                                      "SHFileOperation FO_DELETE C:\\T\\sub\\b.txt", "SHFileOperation FO_DELETE C:\\T\\sub",
                                      "RemoveDirectory C:\\T",
                                      "SHDeleteKey HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"}));

  Make(L"C:\\T", true);
  Make(L"C:\\T\\sub", true);
  Make(L"C:\\T\\sub\\b.txt", false);
  EXPECT_EQ(GetFileAttributesW(L"C:\\T\\sub\\b.txt") & FILE_ATTRIBUTE_READONLY, 0u);
}

// A directory marked in use stops the shell where it is reached and refuses its own removal;
// what went before stays gone.
TEST(Shell, DirectoryInUse) {
  TempMachine machine;
  for (const wchar_t* d : {L"C:\\T", L"C:\\T\\a", L"C:\\T\\b", L"C:\\T\\c"}) Make(d, true);
  Make(L"C:\\T\\b\\f.txt", false);
  winsim::SetFileInUse(L"C:\\T\\b", true);
  EXPECT_EQ(ShellDelete(L"C:\\T\\*\0"), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\a")));
  EXPECT_TRUE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\b\\f.txt")));
  EXPECT_TRUE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\c")));
  std::filesystem::remove(winsim::HostPath(L"C:\\T\\b\\f.txt"));
  SetLastError(0);
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\T\\b"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  winsim::InjectFault("SHFileOperationW", 3, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ShellDelete(L"C:\\T\\c\0"), 0);
  EXPECT_EQ(ShellDelete(L"C:\\T\\*\0"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\b")));
}

}  // namespace
