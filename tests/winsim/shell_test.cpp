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

int ShellDelete(const wchar_t* list, FILEOP_FLAGS flags = FOF_NOCONFIRMATION) {
  SHFILEOPSTRUCTW op = {};
  op.wFunc = FO_DELETE;
  op.pFrom = list;
  op.fFlags = flags;
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
// what went before stays gone. Without FOF_NOERRORUI the shell's error window, naming what
// refused, is shown (and answered) first; a running program's image refuses with 5.
TEST(Shell, DirectoryInUse) {
  TempMachine machine;
  for (const wchar_t* d : {L"C:\\T", L"C:\\T\\a", L"C:\\T\\b", L"C:\\T\\c"}) Make(d, true);
  Make(L"C:\\T\\b\\f.txt", false);
  Make(L"C:\\T\\c\\run.exe", false);
  winsim::SetFileInUse(L"C:\\T\\b", true);
  winsim::SetFileRunning(L"C:\\T\\c\\run.exe", true);
  EXPECT_EQ(ShellDelete(L"C:\\T\\*\0"), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ShellDelete(L"C:\\T\\c\0", FOF_NOCONFIRMATION | FOF_NOERRORUI), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ShellDelete(L"C:\\T\\c\0"), ERROR_ACCESS_DENIED);
  std::vector<winsim::MessageBoxRecord> boxes = winsim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, L"Error Deleting File or Folder");
  EXPECT_EQ(boxes[0].type, static_cast<uint32_t>(MB_OK | MB_ICONERROR));
  EXPECT_EQ(boxes[0].text.rfind(L"Cannot delete b: It is being used by another person or program.", 0), 0u);
  EXPECT_EQ(boxes[1].text.rfind(L"Cannot delete run.exe: Access is denied.", 0), 0u);
  winsim::SetFileRunning(L"C:\\T\\c\\run.exe", false);
  EXPECT_FALSE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\a")));
  EXPECT_TRUE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\b\\f.txt")));
  EXPECT_TRUE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\c")));
  std::filesystem::remove(winsim::HostPath(L"C:\\T\\b\\f.txt"));
  SetLastError(0);
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\T\\b"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  winsim::InjectFault("SHFileOperationW", 5, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ShellDelete(L"C:\\T\\c\0"), 0);
  EXPECT_EQ(ShellDelete(L"C:\\T\\*\0"), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(std::filesystem::exists(winsim::HostPath(L"C:\\T\\b")));
}

// A host symbolic link to a directory of the drive is a junction: listed as a directory reparse
// point, reached through, removed as a link by RemoveDirectoryW, and followed by the shell's
// recursive deletion into its target, as XP's shell does.
TEST(Shell, Junctions) {
  TempMachine machine;
  for (const wchar_t* d : {L"C:\\T", L"C:\\Target"}) Make(d, true);
  Make(L"C:\\Target\\keep.txt", false);
  const DWORD kJunction = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  auto plant = [] {
    std::filesystem::create_directory_symlink(winsim::HostPath(L"C:\\Target"), winsim::HostPath(L"C:\\T\\j"));
  };
  plant();
  EXPECT_EQ(GetFileAttributesW(L"C:\\T\\j") & kJunction, kJunction);
  EXPECT_EQ(GetFileAttributesW(L"C:\\T\\j\\keep.txt") & kJunction, 0u);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(L"C:\\T\\j", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  FindClose(search);
  EXPECT_EQ(found.dwFileAttributes & kJunction, kJunction);
  EXPECT_EQ(found.dwReserved0, static_cast<DWORD>(IO_REPARSE_TAG_MOUNT_POINT));
  SetLastError(0);
  EXPECT_FALSE(DeleteFileW(L"C:\\T\\j"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  EXPECT_TRUE(RemoveDirectoryW(L"C:\\T\\j"));  // its target is not empty
  EXPECT_TRUE(std::filesystem::exists(winsim::HostPath(L"C:\\Target\\keep.txt")));

  plant();
  EXPECT_EQ(ShellDelete(L"C:\\T\\*\0"), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(winsim::HostPath(L"C:\\T\\j"))));
  EXPECT_FALSE(std::filesystem::exists(winsim::HostPath(L"C:\\Target\\keep.txt")));
  EXPECT_TRUE(std::filesystem::is_directory(winsim::HostPath(L"C:\\Target")));
}

}  // namespace
