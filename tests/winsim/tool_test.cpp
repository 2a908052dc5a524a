// The winsim command, run as a process: what each sub-command leaves in the machine directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/model_devices.h"
#include "winsim/model_files.h"
#include "winsim/model_infs.h"
#include "winsim/model_spooler.h"

namespace {

using nlohmann::json;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct ToolTest : ::testing::Test {
  TempDir tmp;
  std::string dir = tmp / "m";
  testsupport::ProcessResult Tool(const std::vector<std::string>& args) { return testsupport::Run("winsim", args, tmp.path()); }
  testsupport::ProcessResult Probe(const std::vector<std::string>& args) {
    return testsupport::Run("winsim-probe", args, tmp.path(), {{"WINSIM_MACHINE", dir}, {"WINSIM_FAULTS", ""}});
  }
  json Doc() { return json::parse(ReadFile(dir + "/machine.json")); }
};

TEST_F(ToolTest, InitCreatesTheImageOnceOnly) {
  auto r = Tool({"init", dir});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testsupport::Exists(dir + "/drive_c/WINDOWS/system32/vexaktmon.dll"));
  EXPECT_TRUE(testsupport::Exists(dir + "/drive_c/WINDOWS/Temp"));  // an empty directory of the image
  EXPECT_EQ(Probe({"version"}).out, "5.1.2600 2 Service Pack 2\n");

  std::string before = ReadFile(dir + "/machine.json");
  r = Tool({"init", dir});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not empty"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir + "/machine.json"), before);
  EXPECT_EQ(Tool({"init", tmp / "other", "--image", "no-such-image"}).status, 1);
  EXPECT_NE(Tool({"images"}).out.find("xp-sp2-q52  (default)"), std::string::npos);
}

TEST_F(ToolTest, ShowListsVersionServicesRegistryAndFiles) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  auto r = Tool({"show", dir});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Windows 5.1 build 2600, platform 2, \"Service Pack 2\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Clock: real"), std::string::npos);
  EXPECT_NE(r.out.find("  Spooler  running  (Print Spooler; start 1200 ms, stop 700 ms; depends on RpcSs)\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 Plexline Drivers]"),
            std::string::npos);
  EXPECT_NE(r.out.find("C:\\Q52PLX\\vexaq52setup.exe  ("), std::string::npos);

  // A syntax error, and a number too large for a double (which the parser reports without a place).
  for (auto [text, line] : {std::pair{"{\n  \"os\": \n}\n", ":3"}, {"{\n  \"os\": 9E99999\n}\n", ":2"}}) {
    WriteFile(dir + "/machine.json", text);
    r = Tool({"show", dir});
    EXPECT_EQ(r.status, winsim::kExitBadMachine);
    EXPECT_NE(r.err.find(dir + "/machine.json" + line), std::string::npos) << r.err;
  }
}

TEST_F(ToolTest, JobsAddQueuesOnTheNamedPrinterAndShowListsThem) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  auto r = Tool({"jobs", "add", dir, "vexa q52", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Vexa Q52: 2 job(s) queued\n");
  EXPECT_EQ(Tool({"jobs", "add", dir, "Vexa Q52", "1"}).out, "Vexa Q52: 3 job(s) queued\n");
  EXPECT_EQ(winsim::model::SpoolerOf(Doc()).printers[0].jobs, 3u);

  std::string before = ReadFile(dir + "/machine.json");
  r = Tool({"jobs", "add", dir, "Other Printer", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no printer named 'Other Printer'"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir + "/machine.json"), before);

  r = Tool({"show", dir});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line : {"  Spooler  running  (", "  Fax  stopped  (",
                           "    Vexa Q52  driver \"Vexa Q52\", port Q52USB001:, 3 job(s)\n",
                           "    Vexa Q52  (Windows NT x86, version 3), monitor \"Vexa Q52 Language/Port Monitor\"\n",
                           "    Vexa Q52 Language/Port Monitor  (vexaktmon.dll)\n",
                           "    Q52USB002:  monitor \"Vexa Q52 Language/Port Monitor\"\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
}

TEST_F(ToolTest, RegImportAddsOrRefusesWhole) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  WriteFile(tmp / "good.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Q52Probe]\r\n\"Color\"=\"teal\"\r\n");
  auto r = Tool({"reg", "import", dir, tmp / "good.reg"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Probe({"get", "Color"}).out, "teal\n");

  std::string reg = ReadFile(dir + "/system.reg");
  WriteFile(tmp / "bad.reg",
            "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Q52Probe]\r\n\"Color\"=\"plum\"\r\n\"Size\"=dword:big\r\n");
  r = Tool({"reg", "import", dir, tmp / "bad.reg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(tmp / "bad.reg:4:"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir + "/system.reg"), reg);
  EXPECT_EQ(Tool({"reg", "import", dir, tmp / "missing.reg"}).status, 1);
}

TEST_F(ToolTest, OsAndClockReachThePrograms) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  ASSERT_EQ(Tool({"os", dir, "6.0.6002", "--csd", "Service Pack 2", "--platform", "2"}).status, 0);
  EXPECT_EQ(Probe({"version"}).out, "6.0.6002 2 Service Pack 2\n");
  ASSERT_EQ(Tool({"os", dir, "4.10", "--platform", "1"}).status, 0);
  EXPECT_EQ(Probe({"version"}).out, "4.10.0 1 \n");

  ASSERT_EQ(Tool({"clock", dir, "virtual", "2027-01-02T03:04:05.006Z"}).status, 0);
  EXPECT_EQ(Doc()["clock"]["now"], "2027-01-02T03:04:05.006Z");
  EXPECT_EQ(Doc()["clock"]["virtual"], true);
  EXPECT_EQ(Probe({"version"}).status, 0);
  EXPECT_EQ(Doc()["clock"]["now"], "2027-01-02T03:04:05.006Z");  // nothing slept
  ASSERT_EQ(Tool({"clock", dir, "real"}).status, 0);
  EXPECT_EQ(Doc()["clock"]["virtual"], false);
}

TEST_F(ToolTest, PlugUnplugAndPendingInstalls) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  const std::string q52 = "USB\\VID_F0F0&PID_0052\\Q52000123";
  auto present = [&] {
    for (const winsim::model::Device& d : winsim::model::DevicesOf(Doc()))
      if (d.instanceId == q52) return d.present;
    return false;
  };
  ASSERT_FALSE(present());
  ASSERT_EQ(Tool({"plug", dir, "usb\\vid_f0f0&pid_0052\\q52000123"}).status, 0);  // IDs ignore case
  EXPECT_TRUE(present());
  std::string shown = Tool({"show", dir}).out;
  EXPECT_NE(shown.find(q52 + "  (present, class USB, parent USB\\ROOT_HUB\\4&2F1C0A3B&0)\n"
                             "    driver usbprint.inf [LPTENUM_Install] Microsoft 2001-07-01 5.1.2600.2180\n"),
            std::string::npos)
      << shown;
  ASSERT_EQ(Tool({"unplug", dir, q52}).status, 0);
  EXPECT_FALSE(present());
  std::string before = ReadFile(dir + "/machine.json");
  auto r = Tool({"plug", dir, "USB\\VID_0000&PID_0000\\X"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no device USB\\VID_0000&PID_0000\\X"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir + "/machine.json"), before);

  ASSERT_EQ(Tool({"pending", dir, "3", "12000"}).status, 0);
  EXPECT_EQ(Doc()["pendingInstalls"], 3);
  EXPECT_EQ(Doc()["pendingInstallMs"], 12000);
  EXPECT_EQ(Tool({"pending", dir, "-1"}).status, 2);
}

TEST_F(ToolTest, BadUsageChangesNothing) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  std::string json = ReadFile(dir + "/machine.json");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"init"},
      {"show"},
      {"reg", "export", dir},
      {"os", dir},
      {"os", dir, "x.y"},
      {"os", dir, "5"},
      {"os", dir, "5.1.2.3"},
      {"os", dir, "5.1", "--platform"},
      {"os", dir, "5.1", "--platform", "two"},
      {"os", dir, "5.1", "--color", "red"},
      {"clock", dir},
      {"clock", dir, "sometimes"},
      {"clock", dir, "virtual", "yesterday"},
      {"clock", dir, "virtual", "2027-13-02T03:04:05Z"},
      {"clock", dir, "real", "now"},
      {"jobs", "add", dir, "Vexa Q52"},
      {"jobs", "add", dir, "Vexa Q52", "-1"},
      {"jobs", "add", dir, "Vexa Q52", "three"},
      {"jobs", "list", dir},
      {"stage", dir},
      {"stage", dir, "a.inf", "a.cat", "extra"},
      {"unstage", dir},
      {"init", dir, "--example"},
      {"restart"},
      {"restart", dir, "now"},
  };
  for (auto& args : bad) {
    std::string shown;
    for (auto& a : args) shown += a + " ";
    auto r = Tool(args);
    EXPECT_EQ(r.status, 2) << shown;
    EXPECT_NE(r.err.find("usage: winsim"), std::string::npos) << shown;
  }
  EXPECT_EQ(ReadFile(dir + "/machine.json"), json);
}

TEST_F(ToolTest, StageAndUnstageInfs) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  WriteFile(tmp / "vexaq52drv.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\nCatalogFile=inf.cat\r\n");
  WriteFile(tmp / "signed.cat", "catalog");
  auto r = Tool({"stage", dir, tmp / "vexaq52drv.inf", tmp / "signed.cat"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "staged " + (tmp / "vexaq52drv.inf") + " as oem0.inf\n");
  ASSERT_EQ(Tool({"stage", dir, tmp / "vexaq52drv.inf"}).status, 0);
  EXPECT_EQ(ReadFile(dir + "/drive_c/WINDOWS/inf/oem1.inf"), ReadFile(tmp / "vexaq52drv.inf"));
  auto infs = winsim::model::InfsOf(Doc());
  ASSERT_EQ(infs.size(), 3u);  // the image's oem3.inf first
  EXPECT_EQ(infs[1].name + " " + infs[1].originalName + " " + infs[1].originalCatalog, "oem0.inf vexaq52drv.inf signed.cat");
  EXPECT_TRUE(infs[1].rest.empty() && infs[1].unset.empty());  // those three keys, no other
  EXPECT_EQ(infs[2].originalCatalog, "inf.cat");  // the catalog the INF names

  ASSERT_EQ(Tool({"unstage", dir, "OEM3.INF"}).status, 0);
  EXPECT_FALSE(testsupport::Exists(dir + "/drive_c/WINDOWS/inf/oem3.inf"));
  EXPECT_EQ(winsim::model::InfsOf(Doc()).size(), 2u);
  EXPECT_EQ(Tool({"unstage", dir, "oem3.inf"}).status, 1);

  // A file that isn't an INF, or a missing one, is refused and nothing changes.
  std::string before = ReadFile(dir + "/machine.json");
  WriteFile(tmp / "bad.inf", "Signature=1\r\n");
  r = Tool({"stage", dir, tmp / "bad.inf"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bad.inf:1"), std::string::npos) << r.err;
  EXPECT_EQ(Tool({"stage", dir, tmp / "none.inf"}).status, 1);
  EXPECT_EQ(ReadFile(dir + "/machine.json"), before);
  EXPECT_FALSE(testsupport::Exists(dir + "/drive_c/WINDOWS/inf/oem2.inf"));
}

// What the Session Manager does at boot: the scheduled deletions and renames in order, a
// directory only when empty, a read-only file not at all; the value goes, and so do the marks of
// programs that ran before.
TEST_F(ToolTest, RestartCarriesOutPendingOperations) {
  ASSERT_EQ(Tool({"init", dir}).status, 0);
  for (const char* f : {"Left/sub/keep.txt", "Left/a.exe", "Left/ro.txt", "Left/old.txt"})
    WriteFile(dir + "/drive_c/" + f, "x");
  json doc = Doc();
  winsim::model::Files files;
  files["C:\\Left\\a.exe"].running = files["C:\\Left\\sub\\keep.txt"].running = files["C:\\Left\\ro.txt"].readOnly = true;
  winsim::model::SetFiles(doc, files);
  WriteFile(dir + "/machine.json", doc.dump(2));
  std::string hex;
  for (const char* part : {"\\??\\C:\\Left\\a.exe", "", "\\??\\C:\\Left\\sub", "", "\\??\\C:\\Left\\ro.txt", "",
                           "\\??\\c:\\left\\OLD.txt", "!\\??\\C:\\Left\\new.txt", "\\??\\C:\\Left\\none.txt", "", ""}) {
    for (const char* c = part;; ++c) {
      char byte[8];
      snprintf(byte, sizeof(byte), "%02x,00,", static_cast<unsigned char>(*c));
      hex += byte;
      if (!*c) break;
    }
  }
  hex.pop_back();
  WriteFile(tmp / "pending.reg",
            "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\"
            "Session Manager]\r\n\"PendingFileRenameOperations\"=hex(7):" + hex + "\r\n");
  ASSERT_EQ(Tool({"reg", "import", dir, tmp / "pending.reg"}).status, 0);

  auto r = Tool({"restart", dir});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "deleted: C:\\Left\\a.exe\nkept (not empty): C:\\Left\\sub\nkept (read-only): C:\\Left\\ro.txt\n"
            "renamed: c:\\left\\OLD.txt -> C:\\Left\\new.txt\nnot found: C:\\Left\\none.txt\n"
            "restarted " + dir + " (5 pending operation(s))\n");
  EXPECT_FALSE(testsupport::Exists(dir + "/drive_c/Left/a.exe"));
  EXPECT_TRUE(testsupport::Exists(dir + "/drive_c/Left/sub/keep.txt"));
  EXPECT_TRUE(testsupport::Exists(dir + "/drive_c/Left/ro.txt"));
  EXPECT_TRUE(testsupport::Exists(dir + "/drive_c/Left/new.txt"));
  EXPECT_FALSE(testsupport::Exists(dir + "/drive_c/Left/old.txt"));
  EXPECT_EQ(ReadFile(dir + "/system.reg").find("PendingFileRenameOperations"), std::string::npos);
  files = winsim::model::FilesOf(Doc());
  EXPECT_TRUE(files.size() == 1 && files["C:\\Left\\ro.txt"].readOnly) << Doc().dump();
  r = Tool({"restart", dir});
  EXPECT_EQ(r.out, "restarted " + dir + " (0 pending operation(s))\n");
}

TEST_F(ToolTest, InitFromExample) {
  auto r = Tool({"init", dir, "--example", std::string(Q52_SOURCE_DIR) + "/examples/machines/two-copies-newer-first"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(winsim::model::InfsOf(Doc()).size(), 2u);
  EXPECT_NE(ReadFile(dir + "/drive_c/WINDOWS/inf/oem0.inf").find("DriverVer=07/15/2008"), std::string::npos);
  EXPECT_NE(ReadFile(dir + "/drive_c/WINDOWS/inf/oem1.inf").find("DriverVer=01/10/2008"), std::string::npos);
  EXPECT_FALSE(testsupport::Exists(dir + "/drive_c/WINDOWS/inf/oem3.inf"));
  EXPECT_EQ(Tool({"init", tmp / "other", "--example", tmp / "no-such-example"}).status, 1);
}

}  // namespace
