// The component base and the API component, on a fresh machine each.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "generic.h"
#include "spooler_fixture.h"
#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/files.h"

namespace {

using drvtest::Debug;
using drvtest::Error;
using drvtest::Info;
using drvtest::LogEntry;
namespace fs = std::filesystem;

const wchar_t kSystem32[] = L"C:\\WINDOWS\\system32";
const wchar_t kWork[] = L"C:\\Work";

bool Exists(const std::wstring& windowsPath) { return fs::exists(winsim::HostPath(windowsPath)); }

void Put(const std::wstring& windowsPath, const std::string& content = "x") {
  fs::path host = winsim::HostPath(windowsPath);
  fs::create_directories(host.parent_path());
  testsupport::WriteFile(host.string(), content);
}

std::string Narrow(const std::wstring& s) { return std::string(s.begin(), s.end()); }  // ASCII only

std::string Content(const std::wstring& windowsPath) { return testsupport::ReadFile(winsim::HostPath(windowsPath)); }

// A component bound as its constructor would bind it.
struct Component : CGenericClass {
  Component(unsigned char kind, const wchar_t* directory) { m_bInitialized = Initialize(kind, L"", directory); }
};

class GenericTest : public drvtest::MachineTest {};

TEST_F(GenericTest, RemoveStopsAtTheFirstFileThatWillNotGo) {
  // The monitor's four files, the second one held: the first goes, the rest stay.
  struct Row {
    const char* how;
    void (*mark)(const std::wstring&);
    int error;
  } rows[] = {
      {"read-only", [](const std::wstring& p) { winsim::SetFileReadOnly(p, true); }, ERROR_ACCESS_DENIED},
      {"in use", [](const std::wstring& p) { winsim::SetFileInUse(p, true); }, ERROR_SHARING_VIOLATION},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.how);
    const std::wstring dir = std::wstring(kWork) + L"\\" + std::wstring(row.how, row.how + 2);
    for (const wchar_t* f : g_ComponentFiles[kMonitorComponent].files)
      if (f) Put(dir + L"\\" + f);
    row.mark(dir + L"\\vexaktmonui.dll");
    Component monitor(kMonitorComponent, dir.c_str());

    EXPECT_FALSE(monitor.RemoveDependentFiles(dir.c_str()));
    EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{
                             Debug("vexaktmon.dll Removed..."),
                             Error("Remove vexaktmonui.dll Failed. GetLastError():" + std::to_string(row.error)),
                             Info("Language/Port Monitor RemoveDependentFiles Failed"),
                         }));
    EXPECT_FALSE(Exists(dir + L"\\vexaktmon.dll"));
    EXPECT_TRUE(Exists(dir + L"\\vexaktmonui.dll"));
    EXPECT_TRUE(Exists(dir + L"\\vexaktmon.cnt"));
    EXPECT_TRUE(Exists(dir + L"\\vexaktmon.hlp"));
  }
}

TEST_F(GenericTest, RemoveListsThatFindNothingToDoSucceed) {
  // The printer's empty list, and a driver list none of whose files is there.
  Put(L"C:\\Empty\\unrelated.dll");
  Component printer(kPrinterComponent, L"C:\\Empty");
  Component driver(kPrinterDriverComponent, L"C:\\Empty");
  EXPECT_TRUE(printer.RemoveDependentFiles(L"C:\\Empty"));
  EXPECT_TRUE(driver.RemoveDependentFiles(L"C:\\Empty"));
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{Info("Printer RemoveDependentFiles OK"),
                                              Info("Printer Driver RemoveDependentFiles OK")}));
  EXPECT_TRUE(Exists(L"C:\\Empty\\unrelated.dll"));
}

TEST_F(GenericTest, UnboundComponentDoesNothingAndSaysNothing) {
  CGenericClass unbound;
  Put(L"C:\\Work\\vexaq52api.dll");
  EXPECT_FALSE(unbound.RemoveDependentFiles(L"C:\\Work"));
  EXPECT_FALSE(unbound.CheckForRequiredFiles(L"C:\\Q52PLX\\PlxBaseDriver\\api", L"C:\\Work"));
  EXPECT_TRUE(TakeLog().empty());
  EXPECT_TRUE(Exists(L"C:\\Work\\vexaq52api.dll"));

  // A kind beyond the table leaves the component unbound rather than reading past it.
  Component beyond(6, L"C:\\Work");
  EXPECT_FALSE(beyond.initialized());
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{Error("Unknown component Initialization Failed. GetLastError():87")}));
  EXPECT_FALSE(beyond.RemoveDependentFiles(L"C:\\Work"));
  EXPECT_TRUE(TakeLog().empty());
}

// C:\<a...>\<b...> with the whole file path DIR\f.txt coming to LENGTH characters.
std::wstring DirectoryForPathOf(size_t length) {
  std::wstring dir = L"C:\\" + std::wstring(120, L'a') + L"\\";
  dir += std::wstring(length - dir.size() - std::wcslen(L"\\f.txt"), L'b');
  return dir;
}

TEST_F(GenericTest, FilePathsUpTo259CharactersAreUsedLongerOnesRefused) {
  const std::wstring fits = DirectoryForPathOf(259), over = DirectoryForPathOf(260);
  Put(fits + L"\\f.txt");
  Put(over + L"\\f.txt");  // the host can hold it; the tool must not touch it

  EXPECT_TRUE(CGenericClass::DoesFileExist(L"f.txt", fits.c_str()));
  EXPECT_FALSE(CGenericClass::DoesFileExist(L"f.txt", over.c_str()));
  EXPECT_FALSE(CGenericClass::DeleteFile(over.c_str(), L"f.txt"));
  EXPECT_FALSE(CGenericClass::CopyRequiredFile(L"f.txt", fits.c_str(), over.c_str()));
  EXPECT_TRUE(CGenericClass::DeleteFile(fits.c_str(), L"f.txt"));
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{
                           Error("DoesFileExist - wcscat_s Failed, GetLastError():206"),
                           Error("DeleteFile - wcscat_s Failed, GetLastError(): 206"),
                           Error("CopyRequiredFile(" + Narrow(fits) + "\\f.txt) Failed, GetLastError():206"),
                           Debug("f.txt Removed..."),
                       }));
  EXPECT_TRUE(Exists(over + L"\\f.txt"));
  EXPECT_FALSE(Exists(fits + L"\\f.txt"));
}

TEST_F(GenericTest, RemoveCountsAFileWhosePathDoesNotFitAsAbsent) {
  // Every API file path comes to more than 259 characters under this directory.
  const std::wstring dir = DirectoryForPathOf(258);
  Put(dir + L"\\vexaq52api.dll");
  Component api(kApiComponent, dir.c_str());
  ASSERT_TRUE(api.initialized());
  EXPECT_TRUE(api.RemoveDependentFiles(dir.c_str()));
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{Error("DoesFileExist - wcscat_s Failed, GetLastError():206"),
                                              Error("DoesFileExist - wcscat_s Failed, GetLastError():206"),
                                              Info("API RemoveDependentFiles OK")}));
  EXPECT_TRUE(Exists(dir + L"\\vexaq52api.dll"));
}

TEST_F(GenericTest, InitializeRefusesADirectoryThatDoesNotFit) {
  const std::wstring tooLong = L"C:\\" + std::wstring(MAX_PATH, L'd');
  Component api(kApiComponent, tooLong.c_str());
  EXPECT_FALSE(api.initialized());
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{Error("API Initialization Failed. GetLastError():206")}));
}

TEST_F(GenericTest, CheckForRequiredFilesCopiesWhatIsMissingAndStopsAtAFailedCopy) {
  Put(L"C:\\Media\\api\\vexaq52api.dll", "new api");
  Put(L"C:\\Media\\api\\vexaq52setup.exe", "new setup");
  Put(L"C:\\Target\\vexaq52api.dll", "old api");
  Component api(kApiComponent, L"C:\\Target");
  EXPECT_TRUE(api.CheckForRequiredFiles(L"C:\\Media\\api", L"C:\\Target"));
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{Info("API CheckForRequiredFiles OK")}));
  EXPECT_EQ(Content(L"C:\\Target\\vexaq52api.dll"), "old api");  // present files are left alone
  EXPECT_EQ(Content(L"C:\\Target\\vexaq52setup.exe"), "new setup");

  // The monitor's media lacks its second file: the first is copied, the third never tried.
  Put(L"C:\\Media\\mon\\vexaktmon.dll");
  Put(L"C:\\Media\\mon\\vexaktmon.cnt");
  Component monitor(kMonitorComponent, L"C:\\Target");
  EXPECT_FALSE(monitor.CheckForRequiredFiles(L"C:\\Media\\mon", L"C:\\Target"));
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{
                           Error("CopyRequiredFile(C:\\Media\\mon\\vexaktmonui.dll) Failed, GetLastError():2"),
                           Info("Language/Port Monitor CheckForRequiredFiles Failed")}));
  EXPECT_TRUE(Exists(L"C:\\Target\\vexaktmon.dll"));
  EXPECT_FALSE(Exists(L"C:\\Target\\vexaktmon.cnt"));
}

TEST_F(GenericTest, CopyRequiredFileOverwritesButNotAReadOnlyFile) {
  Put(L"C:\\Media\\a.dll", "new");
  Put(L"C:\\Target\\a.dll", "old");
  EXPECT_TRUE(CGenericClass::CopyRequiredFile(L"a.dll", L"C:\\Media", L"C:\\Target"));
  EXPECT_EQ(Content(L"C:\\Target\\a.dll"), "new");
  Put(L"C:\\Media\\a.dll", "newer");
  winsim::SetFileReadOnly(L"C:\\Target\\a.dll", true);
  EXPECT_FALSE(CGenericClass::CopyRequiredFile(L"a.dll", L"C:\\Media", L"C:\\Target"));
  EXPECT_EQ(Content(L"C:\\Target\\a.dll"), "new");
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{Error("CopyRequiredFile(C:\\Media\\a.dll) Failed, GetLastError():5")}));
}

TEST_F(GenericTest, ApiComponentIsTheSystemDirectorysApiFiles) {
  CApiClass api;
  ASSERT_TRUE(api.initialized());
  EXPECT_EQ(api.kind(), kApiComponent);
  EXPECT_STREQ(api.targetDirectory(), kSystem32);
  EXPECT_STREQ(api.sourceFolder(), L"PlxBaseDriver\\api");
  EXPECT_TRUE(api.RemoveDependentFiles(api.targetDirectory()));
  EXPECT_EQ(TakeLog(), (std::vector<LogEntry>{Debug("vexaq52api.dll Removed..."), Debug("vexaq52setup.exe Removed..."),
                                              Info("API RemoveDependentFiles OK")}));
  EXPECT_FALSE(Exists(L"C:\\WINDOWS\\system32\\vexaq52api.dll"));
  EXPECT_FALSE(Exists(L"C:\\WINDOWS\\system32\\vexaq52setup.exe"));
  EXPECT_TRUE(Exists(L"C:\\Q52PLX\\vexaq52api.dll"));  // the install directory's copy is another component's
  EXPECT_TRUE(Exists(L"C:\\WINDOWS\\system32\\vexaktmon.dll"));

  // Without a system directory the component stays unbound, silently.
  winsim::InjectFault("GetSystemDirectoryW", 2, ERROR_ACCESS_DENIED);
  CApiClass unbound;
  EXPECT_FALSE(unbound.initialized());
  EXPECT_TRUE(TakeLog().empty());
}

TEST_F(GenericTest, BaseOperationsOfAComponentWithoutOverrides) {
  CApiClass api;
  CGenericClass& base = api;
  EXPECT_EQ(base.Install(), 0);
  EXPECT_EQ(base.Remove(), 0);
  EXPECT_FALSE(base.IsInstalled());
  EXPECT_TRUE(Exists(L"C:\\WINDOWS\\system32\\vexaq52api.dll"));  // Remove of the base deletes nothing
}

}  // namespace
