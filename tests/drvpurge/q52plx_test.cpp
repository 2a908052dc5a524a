// The package component: emptying and removing the install directory, and the uninstall key.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlwapi.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "print_system.h"
#include "q52plx.h"
#include "winsim/control.h"
#include "winsim/files.h"
#include "winsim/print.h"

namespace {

using drvtest::Error;
using drvtest::Info;
using drvtest::LogEntry;
using drvtest::Trace;

const LogEntry kExists = Trace("C:\\Q52PLX already exists.");
const LogEntry kRemoved = Info("C:\\Q52PLX removed...");
LogEntry ShellReturns(int rc) { return Trace("SHFileOperation returns " + std::to_string(rc)); }
LogEntry AtRestart(const std::string& path) {
  return Info("RemoveInstallDirectory - " + path + " will be deleted at restart.");
}
LogEntry Deleted(const std::string& path) { return LogEntry{"Debug", "RemoveInstallDirectory - " + path + " deleted."}; }
const LogEntry kNotRemoved = Error("unable to remove C:\\Q52PLX. GetLastError():145");

// A junction at LINK to C:\WINDOWS\inf, as a user without rights can make one.
void PlantJunction(const std::wstring& link) {
  std::filesystem::path host = winsim::HostPath(link);
  std::filesystem::remove_all(host);
  std::filesystem::create_directory_symlink(winsim::HostPath(L"C:\\WINDOWS\\inf"), host);
}
const std::wstring kJunctionTarget = L"C:\\WINDOWS\\inf\\oem3.inf";

bool OnMachine(const std::wstring& path) { return std::filesystem::exists(winsim::HostPath(path)); }

class Q52PLXTest : public drvtest::PrintSystemTest {};

TEST_F(Q52PLXTest, RemoveInstallDirectoryEmptiesAndRemovesIt) {
  struct Row {
    const char* name;
    std::function<void()> setUp;
    std::vector<LogEntry> log;
    bool directoryLeft;
    std::vector<std::wstring> left;  // what must still be there
    bool created;                    // whether the directory had to be made first
    std::vector<std::wstring> gone = {};
  } rows[] = {
      // The image's directory holds files beyond the lists, and sub-directories: all go, the
      // read-only file too, without a question.
      {"full directory", [] { winsim::SetFileReadOnly(L"C:\\Q52PLX\\PlxConfig\\license.txt", true); },
       {kExists, ShellReturns(0), kRemoved}, false, {}, false},
      {"directory absent",
       [] { std::filesystem::remove_all(winsim::HostPath(L"C:\\Q52PLX")); },
       {ShellReturns(0), kRemoved}, false, {}, true},
      // The shell stops at the file in use and the directory can't go: what is left goes now, a
      // read-only file too, and the file in use with the directories that hold it at restart.
      {"file in use inside",
       [] {
         winsim::SetFileInUse(L"C:\\Q52PLX\\PlxConfig\\license.txt", true);
         winsim::SetFileReadOnly(L"C:\\Q52PLX\\PlxConfig\\readme.txt", true);
       },
       {kExists, ShellReturns(ERROR_SHARING_VIOLATION), kNotRemoved, AtRestart("C:\\Q52PLX\\PlxConfig\\license.txt"),
        Deleted("C:\\Q52PLX\\PlxConfig\\Q52Config.ini"), Deleted("C:\\Q52PLX\\PlxConfig\\readme.txt"),
        Deleted("C:\\Q52PLX\\PlxConfig\\vexaq52api.h"), Deleted("C:\\Q52PLX\\PlxConfig\\vexaq52api.lib"),
        Deleted("C:\\Q52PLX\\PlxConfig\\xda7701.dat"), Deleted("C:\\Q52PLX\\PlxConfig\\xda77012.dat"),
        AtRestart("C:\\Q52PLX\\PlxConfig"), Deleted("C:\\Q52PLX\\Q52Setup.ini"), Deleted("C:\\Q52PLX\\vexaq52api.dll"),
        Deleted("C:\\Q52PLX\\vexaq52setup.exe"), AtRestart("C:\\Q52PLX")},
       true, {L"C:\\Q52PLX\\PlxConfig\\license.txt"}, false,
       {L"C:\\Q52PLX\\PlxConfig\\readme.txt", L"C:\\Q52PLX\\Q52Setup.ini"}},
      {"directory in use", [] { winsim::SetFileInUse(L"C:\\Q52PLX", true); },
       {kExists, ShellReturns(0), Error("unable to remove C:\\Q52PLX. GetLastError():32"), AtRestart("C:\\Q52PLX")},
       true, {}, false},
      // A read-only directory loses the mark, as with the shell, and goes after all.
      {"directory read-only", [] { winsim::SetFileReadOnly(L"C:\\Q52PLX", true); },
       {kExists, ShellReturns(0), Error("unable to remove C:\\Q52PLX. GetLastError():5"), kRemoved}, false, {}, false},
      // Neither deleted nor scheduled: said with the code, and the rest goes on.
      {"scheduling refused",
       [] {
         winsim::SetFileInUse(L"C:\\Q52PLX\\Q52Setup.ini", true);
         winsim::InjectFault("MoveFileExW", 1, ERROR_ACCESS_DENIED);
       },
       {kExists, ShellReturns(ERROR_SHARING_VIOLATION), kNotRemoved,
        Error("RemoveInstallDirectory - unable to delete C:\\Q52PLX\\Q52Setup.ini. GetLastError():5"),
        Deleted("C:\\Q52PLX\\vexaq52api.dll"), Deleted("C:\\Q52PLX\\vexaq52setup.exe"), AtRestart("C:\\Q52PLX")},
       true, {L"C:\\Q52PLX\\Q52Setup.ini"}, false},
      // Junctions go as links before the shell could follow them; what they point at stays.
      {"junction inside", [] { PlantJunction(L"C:\\Q52PLX\\Docs\\Shared"); },
       {kExists,
        Error("RemoveInstallDirectory - C:\\Q52PLX\\Docs\\Shared is a link to another place: the link was removed, "
              "nothing behind it."),
        ShellReturns(0), kRemoved},
       false, {kJunctionTarget}, false},
      {"directory is a junction", [] { PlantJunction(L"C:\\Q52PLX"); },
       {kExists,
        Error("RemoveInstallDirectory - C:\\Q52PLX is a link to another place: the link was removed, nothing behind "
              "it.")},
       false, {kJunctionTarget}, false},
      // A link that stays, or a listing that fails, leaves the directory as it is: the shell
      // is not asked at all.
      {"junction stays",
       [] {
         PlantJunction(L"C:\\Q52PLX\\Docs\\Shared");
         winsim::InjectFault("RemoveDirectoryW", 1, ERROR_ACCESS_DENIED);
       },
       {kExists, Error("RemoveInstallDirectory - unable to remove the link C:\\Q52PLX\\Docs\\Shared. GetLastError():5"),
        kNotRemoved},
       true, {kJunctionTarget, L"C:\\Q52PLX\\Q52Setup.ini"}, false},
      {"listing fails", [] { winsim::InjectFault("FindFirstFileW", 1, ERROR_ACCESS_DENIED); },
       {kExists, Error("RemoveInstallDirectory - unable to check C:\\Q52PLX for links. GetLastError():5"), kNotRemoved},
       true, {L"C:\\Q52PLX\\Q52Setup.ini"}, false},
      // Another failure to create it is not logged, and the rest goes on.
      {"create refused", [] { winsim::InjectFault("CreateDirectoryW", 1, ERROR_ACCESS_DENIED); },
       {ShellReturns(0), kRemoved}, false, {}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    row.setUp();
    CQ52PLXClass package;
    ASSERT_TRUE(package.initialized());
    EXPECT_EQ(std::wstring(package.targetDirectory()), L"C:\\Q52PLX");
    EXPECT_EQ(LogOf([&] { package.RemoveInstallDirectory(); }), row.log);
    EXPECT_EQ(OnMachine(L"C:\\Q52PLX"), row.directoryLeft);
    for (const std::wstring& path : row.left) EXPECT_TRUE(OnMachine(path)) << drvtest::Narrow(path);
    for (const std::wstring& path : row.gone) EXPECT_FALSE(OnMachine(path)) << drvtest::Narrow(path);
    std::vector<std::string> changes = winsim::Changes();
    EXPECT_EQ(!changes.empty() && changes.front() == "CreateDirectory C:\\Q52PLX", row.created);
    EXPECT_EQ(!changes.empty() && changes.back() == "RemoveDirectory C:\\Q52PLX", !row.directoryLeft);
  }
}

// The shell's list needs a second NUL after the pattern: a directory whose pattern would take the
// buffer's last character is refused rather than cut, and the shell is not asked at all.
TEST_F(Q52PLXTest, PatternThatDoesNotFitIsRefused) {
  for (size_t length : {256u, 257u}) {
    SCOPED_TRACE(length);
    FreshMachine();
    std::wstring dir = L"C:\\" + std::wstring(length - 3, L'd');
    CQ52PLXClass package;
    ASSERT_TRUE(package.Initialize(kApiComponent, L"", dir.c_str()));
    std::string narrow = drvtest::Narrow(dir);
    std::vector<LogEntry> expected = {
        length == 256 ? ShellReturns(0) : Error("RemoveInstallDirectory - wcscat_s Failed, GetLastError():206"),
        Info(narrow + " removed...")};
    EXPECT_EQ(LogOf([&] { package.RemoveInstallDirectory(); }), expected);
    EXPECT_EQ(winsim::CallCount("SHFileOperationW"), length == 256 ? 1u : 0u);
  }
}

// A component whose binding failed: its directory is not to be trusted (it may be empty, and
// the pattern then "\*", the whole drive). Nothing is touched.
struct UnboundPackage : CQ52PLXClass {
  UnboundPackage() {
    m_bInitialized = false;
    m_szTargetDirectory[0] = L'\0';
  }
};

TEST_F(Q52PLXTest, UnboundComponentTouchesNothing) {
  UnboundPackage package;
  EXPECT_EQ(LogOf([&] { package.RemoveInstallDirectory(); }), std::vector<LogEntry>{});
  EXPECT_EQ(winsim::CallCount("SHFileOperationW") + winsim::CallCount("CreateDirectoryW") +
                winsim::CallCount("RemoveDirectoryW"),
            0u);
  EXPECT_TRUE(OnMachine(L"C:\\Q52PLX\\Q52Setup.ini"));
  EXPECT_TRUE(OnMachine(L"C:\\WINDOWS\\system32\\vexaq52api.dll"));
}

TEST_F(Q52PLXTest, DeleteUninstallKeyTakesTheWholeKey) {
  const std::wstring key = kUninstallKey;
  struct Row {
    const char* name;
    std::function<void()> setUp;
    LogEntry log;
  } rows[] = {
      {"key with a sub-key",
       [&] {
         HKEY sub = NULL;
         ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (key + L"\\Extra").c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                   &sub, NULL),
                   ERROR_SUCCESS);
         RegCloseKey(sub);
       },
       Info("RegDeleteKey returns 0")},
      {"key absent", [&] { ASSERT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS); },
       Error("RegDeleteKey returns 2")},
      {"access denied", [] { winsim::InjectFault("SHDeleteKeyW", 1, ERROR_ACCESS_DENIED); },
       Error("RegDeleteKey returns 5")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FreshMachine();
    row.setUp();
    EXPECT_EQ(LogOf([] { DeleteUninstallKey(); }), std::vector<LogEntry>{row.log});
    HKEY opened = NULL;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &opened);
    if (opened) RegCloseKey(opened);
    EXPECT_EQ(rc, row.log.level == "Info " || row.log.text.back() == '2' ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS);
  }
}

}  // namespace
