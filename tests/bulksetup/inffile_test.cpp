// The INF reader: the [Version] list taken apart, and the start-up scan over staged INF files on
// simulated machines (which copy is kept, which files count, which hardware IDs are read).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "inffile.h"
#include "infmachine.h"
#include "winsim/control.h"

using bulktest::BulkInf;
using bulktest::CountText;
using bulktest::Error;
using bulktest::InfMachine;
using testsupport::FdCapture;
using testsupport::ParseLog;
using bulktest::StagedFile;
using bulktest::Trace;

namespace {

const char kSupported[] = "vexaq52drv.inf";

std::string Narrow(const WCHAR* s) { return s ? std::string(s, s + wcslen(s)) : std::string("(null)"); }

// The strings in one heap block of exactly their size, so that ASan sees a read past the end.
std::unique_ptr<WCHAR[]> VersionList(const std::vector<std::string>& strings) {
  size_t total = 1;
  for (const std::string& s : strings) total += s.size() + 1;
  std::unique_ptr<WCHAR[]> list(new WCHAR[total]);
  WCHAR* p = list.get();
  for (const std::string& s : strings) {
    for (char ch : s) *p++ = static_cast<WCHAR>(ch);
    *p++ = 0;
  }
  *p = 0;
  return list;
}

std::vector<std::string> HardwareIds(const InfFile& inf) {
  std::vector<std::string> ids;
  if (!inf.HardwareIds.Tail) return ids;
  const PtrNode* node = inf.HardwareIds.Tail->Next;
  for (;;) {
    ids.push_back(Narrow(static_cast<const WCHAR*>(node->Item)));
    if (node == inf.HardwareIds.Tail) break;
    node = node->Next;
  }
  return ids;
}

TEST(ParseVersionInfo, KeysAndValues) {
  struct Case {
    std::vector<std::string> list;
    const char *cls, *guid, *provider, *driverVer;
    DWORD date;
  } cases[] = {
      {{"Signature", "$Windows NT$", "Class", "Ports", "DriverVer", "07/15/2008,1.0.0.3"},
       "Ports", nullptr, nullptr, "07/15/2008,1.0.0.3", 20080715},
      {{"signature", "$Windows NT$", "CLASS", "USB", "classguid", "{36FC9E60-C465-11CF-8056-444553540000}",
        "Provider", "Vexa", "driverVer", "01/10/2008,2.5.0.1"},
       "USB", "{36FC9E60-C465-11CF-8056-444553540000}", "Vexa", "01/10/2008,2.5.0.1", 20080110},
      // The value of an unrecognised key is itself looked at as a key.
      {{"CatalogFile", "Class", "Image"}, "Image", nullptr, nullptr, nullptr, 0},
      // A key given twice keeps its last value (LeakSanitizer sees the first one freed).
      {{"Class", "Ports", "Class", "USB"}, "USB", nullptr, nullptr, nullptr, 0},
      {{"Class"}, nullptr, nullptr, nullptr, nullptr, 0},
      {{}, nullptr, nullptr, nullptr, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list.empty() ? "empty" : c.list[0] + "...");
    InfFile inf(L"oem1.inf");
    inf.ParseVersionInfo(VersionList(c.list).get());
    EXPECT_EQ(Narrow(inf.Class), c.cls ? c.cls : "(null)");
    EXPECT_EQ(Narrow(inf.ClassGuid), c.guid ? c.guid : "(null)");
    EXPECT_EQ(Narrow(inf.Provider), c.provider ? c.provider : "(null)");
    EXPECT_EQ(Narrow(inf.DriverVer), c.driverVer ? c.driverVer : "(null)");
    EXPECT_EQ(inf.DriverDate, c.date);
  }
}

// A text that begins with a date M/D/YYYY gives YYYYMMDD, whatever follows the year; anything
// else gives 0, the date of an INF without DRIVERVER, and is never read past its end.
TEST(ParseVersionInfo, DriverDate) {
  struct Case {
    const char* text;
    DWORD date;
  } cases[] = {
      {"07/15/2008,1.0.0.3", 20080715}, {"07/15/2008", 20080715}, {"7/5/2008,1.0", 20080705},
      {"12/31/1999, 5.1", 19991231}, {"01/01/2008 ,1.0", 20080101}, {"07/15/2008 2.5.0.9", 20080715},
      {"7/15", 0}, {"07/15/200", 0}, {"07/15/20081,1.0", 20080715}, {"07/15/2008x", 20080715},
      {"07/15/200x", 0}, {"13/01/2008,1.0", 0}, {"00/10/2008,1.0", 0},
      {"07/32/2008,1.0", 0}, {"2008-07-15,1.0", 0}, {"007/15/2008", 0}, {"1.0.0.3", 0}, {"/", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    InfFile inf(L"oem1.inf");
    inf.DriverDate = 1;
    inf.ParseVersionInfo(VersionList({"DriverVer", c.text}).get());
    EXPECT_EQ(Narrow(inf.DriverVer), c.text);
    EXPECT_EQ(inf.DriverDate, c.date);
  }
}

// What a scan of a supported INF logs, line for line.
TEST(FindSupportedInf, LogsTheSupportedInf) {
  InfMachine m({{"oem3.inf", BulkInf("03/14/2008,2.5.0.3"), kSupported}});
  FdCapture log;
  ASSERT_EQ(FindSupportedInf(), 1);
  auto lines = ParseLog(log.Stop());
  std::vector<bulktest::LogLine> expected = {
      Trace("Supported File Found!"),
      Trace("C:\\WINDOWS\\inf\\oem3.inf:"),
      Trace("    Class            = USB"),
      Trace("    Guid             = {36FC9E60-C465-11CF-8056-444553540000}"),
      Trace("    Provider         = Vexa"),
      Trace("    DriverVer        = 03/14/2008,2.5.0.3"),
      Trace("    DriverDate       = 20080314"),
      Trace("    Manufacturer     = Vexa"),
      Trace("    InfFile          = oem3.inf"),
      Trace("    Original INF     = vexaq52drv.inf"),
      Trace("    Original Catalog = vexaq52drv.cat"),
      Trace("Stored USB\\VID_F0F0&PID_0052"),
      Trace("Stored USB\\VID_F0F0&PID_0053&MI_00"),
  };
  EXPECT_EQ(lines, expected);
  ASSERT_TRUE(SupportedInf);
  EXPECT_EQ(Narrow(SupportedInf->InfPath), "C:\\WINDOWS\\inf\\oem3.inf");
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"HINF", 1}})) << "only the kept INF stays open";
}

// The newest copy is kept whatever the list order; on equal dates the first one listed stays.
TEST(FindSupportedInf, KeepsTheNewestCopy) {
  const std::string jan = "01/10/2008,2.5.0.1", jul = "07/15/2008,2.5.0.3";
  struct Case {
    const char* name;
    std::string first, second;
    const char* kept;
    bool replaced;
  } cases[] = {
      {"older first", jan, jul, "oem1.inf", true},
      {"newer first", jul, jan, "oem0.inf", false},
      {"equal dates", jul, jul, "oem0.inf", false},
      {"undated second", jul, "", "oem0.inf", false},
      {"undated first", "", jan, "oem1.inf", true},
      {"a blank before the version", jan, "07/15/2008 2.5.0.9", "oem1.inf", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InfMachine m({{"oem0.inf", BulkInf(c.first), kSupported}, {"oem1.inf", BulkInf(c.second), kSupported}});
    FdCapture log;
    EXPECT_EQ(FindSupportedInf(), 1);
    auto lines = ParseLog(log.Stop());
    ASSERT_TRUE(SupportedInf);
    EXPECT_EQ(Narrow(SupportedInf->FileName), c.kept);
    EXPECT_EQ(CountText(lines, "Replacing supported Inf with oem1.inf..."), c.replaced ? 1u : 0u);
    EXPECT_EQ(CountText(lines, "Supported File Found!"), 2u);
  }
}

// Only names containing "oem" (as written) are opened, and only the recorded original name
// "vexaq52drv.inf" (as written) counts.
TEST(FindSupportedInf, WhichFilesCount) {
  InfMachine m({
      {"OEM12.INF", BulkInf("07/15/2008,2.5.0.9"), kSupported},
      {"mdmvexa.inf", BulkInf("07/15/2008,2.5.0.9"), ""},
      {"oem4.inf", BulkInf("07/15/2008,2.5.0.9"), "VEXAQ52DRV.INF"},
      {"oem5.inf", BulkInf("07/15/2008,2.5.0.9"), "otherdrv.inf"},
      {"oem6.inf", BulkInf("01/10/2008,2.5.0.1"), kSupported},
  });
  FdCapture log;
  EXPECT_EQ(FindSupportedInf(), 1);
  auto lines = ParseLog(log.Stop());
  ASSERT_TRUE(SupportedInf);
  EXPECT_EQ(Narrow(SupportedInf->FileName), "oem6.inf");
  EXPECT_EQ(winsim::CallCount("SetupOpenInfFileW"), 3u) << "OEM12.INF and mdmvexa.inf are never opened";
  EXPECT_EQ(CountText(lines, "oem4.inf unsupported"), 1u);
  EXPECT_EQ(CountText(lines, "oem5.inf unsupported"), 1u);
  EXPECT_EQ(CountText(lines, "oem6.inf unsupported"), 0u);
  for (const std::string& text : bulktest::Texts(lines)) {
    EXPECT_EQ(text.find("OEM12"), std::string::npos) << text;
    EXPECT_EQ(text.find("mdmvexa"), std::string::npos) << text;
  }
}

TEST(FindSupportedInf, NothingSupported) {
  struct Case {
    const char* name;
    std::vector<StagedFile> files;
    const char* fault;  // function whose first call fails
    unsigned nth;
    std::vector<bulktest::LogLine> expected;
  } cases[] = {
      {"no INF at all", {}, nullptr, 0, {}},
      {"without [Manufacturer]",
       {{"oem1.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USB\r\n", kSupported}},
       nullptr,
       0,
       {Trace("Unable to open oem1.inf"), Trace("oem1.inf unsupported")}},
      {"unopenable",
       {{"oem1.inf", BulkInf("07/15/2008,2.5.0.3"), kSupported}},
       "SetupOpenInfFileW",
       1,
       {Error("InfFile::Open - handle == INVALID_HANDLE_VALUE!!! GetLastError():2"),
        Trace("Unable to open oem1.inf"), Trace("oem1.inf unsupported")}},
      {"list size", {{"oem1.inf", BulkInf("07/15/2008,2.5.0.3"), kSupported}}, "SetupGetInfFileListW", 1,
       {Error("Could not get size of list of INF files, error=2")}},
      {"list fetch", {{"oem1.inf", BulkInf("07/15/2008,2.5.0.3"), kSupported}}, "SetupGetInfFileListW", 2,
       {Error("Could not get list of INF files, error=2")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InfMachine m(c.files);
    if (c.fault) winsim::InjectFault(c.fault, c.nth, 2);
    FdCapture log;
    EXPECT_EQ(FindSupportedInf(), 0);
    EXPECT_EQ(ParseLog(log.Stop()), c.expected);
    EXPECT_FALSE(SupportedInf);
  }
}

// A name longer than the reader's buffer is refused and never overruns it.
TEST(CheckInfFile, NameTooLong) {
  const std::string name = "oem1.inf" + std::string(260, 'x');
  InfMachine m({{"oem1.inf", BulkInf("07/15/2008,2.5.0.3"), kSupported}});
  FdCapture log;
  EXPECT_EQ(CheckInfFile(std::wstring(name.begin(), name.end()).c_str()), 0);
  auto lines = ParseLog(log.Stop());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), Trace("Unable to open " + name));
  EXPECT_FALSE(SupportedInf);
}

// Hardware IDs come from the models section the [Manufacturer] line names, decorated or not;
// a line without an ID adds none, and IDs that don't fit 259 characters are left out.
TEST(InfFileOpen, HardwareIdsOfTheModelsSection) {
  const std::string longId = "USB\\VID_F0F0&PID_0060&" + std::string(300, 'X');
  const std::string fitting = "USB\\VID_F0F0&PID_0061&" + std::string(259 - 22, 'Y');
  struct Case {
    const char* name;
    std::string manufacturer, models;
    const char *section, *decoration;
    std::vector<std::string> ids;
  } cases[] = {
      {"decorated", "%Vexa%=Vexa,NTx86",
       "[Vexa]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0001\r\n"
       "[Vexa.NTx86]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0053\r\n",
       "Vexa", "NTx86", {"USB\\VID_F0F0&PID_0052", "USB\\VID_F0F0&PID_0053"}},
      {"undecorated", "%Vexa%=Vexa",
       "[Vexa]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0001\r\n"
       "[Vexa.NTx86]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\r\n",
       "Vexa", "", {"USB\\VID_F0F0&PID_0001"}},
      {"line without an ID", "%Vexa%=Vexa",
       "[Vexa]\r\nQ52=Q52Bulk.Dev\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052, USB\\Class_07\r\nQ52=Q52Bulk.Dev,\r\n",
       "Vexa", "", {"USB\\VID_F0F0&PID_0052"}},
      {"too long", "%Vexa%=Vexa",
       "[Vexa]\r\nQ52=Q52Bulk.Dev, " + longId + "\r\nQ52=Q52Bulk.Dev, " + fitting + "\r\n", "Vexa", "", {fitting}},
      {"missing models section", "%Vexa%=Vexa,NTamd64", "[Vexa]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\r\n",
       "Vexa", "NTamd64", {}},
      {"models name too long", "%Vexa%=" + std::string(300, 'M'),
       "[Vexa]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\r\n", "", "", {}},
      {"decorated name too long", "%Vexa%=" + std::string(200, 'M') + "," + std::string(100, 'D'),
       "[Vexa]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\r\n", nullptr, nullptr, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InfMachine m({{"oem1.inf", BulkInf("07/15/2008,2.5.0.3", c.manufacturer, c.models), kSupported}});
    InfFile inf(L"oem1.inf");
    ASSERT_EQ(inf.Open(), 1);
    if (c.section) {
      EXPECT_EQ(Narrow(inf.ModelsSection), c.section);
    }
    if (c.decoration) {
      EXPECT_EQ(Narrow(inf.ModelsDecoration), c.decoration);
    }
    EXPECT_EQ(HardwareIds(inf), c.ids);
    EXPECT_EQ(inf.Open(), 0) << "a second Open changes nothing";
    EXPECT_EQ(HardwareIds(inf), c.ids);
  }
}

// The team's example machines, as the installer's start-up scan sees them.
TEST(FindSupportedInf, ExampleMachines) {
  const std::vector<std::string> ids = {"USB\\VID_F0F0&PID_0052&REV_0100", "USB\\VID_F0F0&PID_0052",
                                        "USB\\VID_F0F0&PID_0053&REV_0200"};
  struct Case {
    const char* example;
    const char* kept;  // null when nothing is supported
    DWORD date;
    const char* decoration;
  } cases[] = {
      {"one-supported", "oem3.inf", 20080314, ""},
      {"two-copies-newer-first", "oem0.inf", 20080715, ""},
      {"two-copies-newer-last", "oem1.inf", 20080715, ""},
      {"decorated-models", "oem0.inf", 20080314, "NTx86"},
      {"unrelated-only", nullptr, 0, nullptr},
      {"no-infs", nullptr, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.example);
    InfMachine m(InfMachine::Example{c.example});
    FdCapture log;
    EXPECT_EQ(FindSupportedInf(), c.kept ? 1 : 0);
    ParseLog(log.Stop());
    if (!c.kept) {
      EXPECT_FALSE(SupportedInf);
      continue;
    }
    ASSERT_TRUE(SupportedInf);
    EXPECT_EQ(Narrow(SupportedInf->FileName), c.kept);
    EXPECT_EQ(Narrow(SupportedInf->InfPath), std::string("C:\\WINDOWS\\inf\\") + c.kept);
    EXPECT_EQ(SupportedInf->DriverDate, c.date);
    EXPECT_EQ(Narrow(SupportedInf->ModelsDecoration), c.decoration);
    EXPECT_EQ(Narrow(SupportedInf->OriginalCatalogName), "vexaq52drv.cat");
    EXPECT_EQ(HardwareIds(*SupportedInf), ids);
  }
}

TEST(IsSupportedHardwareId, PrefixWithoutRegardToCase) {
  InfMachine m({{"oem1.inf",
                 BulkInf("07/15/2008,2.5.0.3", "%Vexa%=Vexa",
                         "[Vexa]\r\nQ52=Q52Bulk.Dev, USB\\VID_F0F0&PID_0052\r\nQ52=Q52Bulk.Dev, \"\"\r\n"
                         "Q53=Q52Bulk.Dev, USB\\VID_F0F0&PID_0053&MI_00\r\n"),
                 kSupported}});
  EXPECT_EQ(IsSupportedHardwareId(L"USB\\VID_F0F0&PID_0052"), 0) << "nothing is supported before the scan";
  FdCapture log;
  ASSERT_EQ(FindSupportedInf(), 1);
  ParseLog(log.Stop());
  struct Case {
    const wchar_t* id;
    int supported;
  } cases[] = {
      {L"USB\\VID_F0F0&PID_0052", 1},
      {L"USB\\VID_F0F0&PID_0052&REV_0100", 1},
      {L"usb\\vid_f0f0&pid_0052&rev_0100", 1},
      {L"USB\\VID_F0F0&PID_0053&MI_00", 1},
      {L"USB\\VID_F0F0&PID_0053", 0},
      {L"USB\\VID_F0F0&PID_005", 0},
      {L"USB\\VID_F0F0", 0},
      {L"", 0},
      {L"USB\\VID_0A0A&PID_0052", 0},
      {L"USB\\Class_07", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSupportedHardwareId(c.id), c.supported) << Narrow(c.id);
  EXPECT_EQ(IsSupportedHardwareId(nullptr), 0);
}

}  // namespace
