// The INF reader and staging on simulated machines: the example machines' INFs, long values,
// the version list, staging, handles and faults.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/inf.h"
#include "winsim/model_timeline.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

const std::string kExamples = std::string(Q52_SOURCE_DIR) + "/examples/machines";

std::vector<std::wstring> InfList() {
  DWORD need = 0;
  EXPECT_TRUE(SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, nullptr, 0, &need));
  std::vector<WCHAR> buf(need);
  EXPECT_TRUE(SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, buf.data(), need, &need));
  std::vector<std::wstring> names;
  for (const WCHAR* p = buf.data(); *p; p += wcslen(p) + 1) names.push_back(p);
  return names;
}

std::wstring FieldOf(INFCONTEXT* c, DWORD i) {
  DWORD need = 0;
  if (!SetupGetStringFieldW(c, i, nullptr, 0, &need)) return L"<none>";
  std::vector<WCHAR> buf(need);
  if (!SetupGetStringFieldW(c, i, buf.data(), need, &need)) return L"<failed>";
  return buf.data();
}

// What the installer reads of one INF: version list, original names and the models' first IDs.
struct InfSummary {
  std::wstring driverVer, originalName, originalCatalog, modelsSection;
  std::vector<std::wstring> hardwareIds;
};

InfSummary Summarise(const std::wstring& name) {
  InfSummary s;
  HINF h = SetupOpenInfFileW(name.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return s;
  DWORD size = 0;
  EXPECT_TRUE(SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, nullptr, 0, &size));
  std::vector<BYTE> block(size);
  auto* info = reinterpret_cast<PSP_INF_INFORMATION>(block.data());
  EXPECT_TRUE(SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, info, size, &size));
  WCHAR value[MAX_PATH];
  if (SetupQueryInfVersionInformationW(info, 0, L"DriverVer", value, MAX_PATH, &size)) s.driverVer = value;
  SP_ORIGINAL_FILE_INFO_W original{};
  original.cbSize = sizeof original;
  EXPECT_TRUE(SetupQueryInfOriginalFileInformationW(info, 0, nullptr, &original));
  s.originalName = original.OriginalInfName;
  s.originalCatalog = original.OriginalCatalogName;
  INFCONTEXT c;
  if (SetupFindFirstLineW(h, L"Manufacturer", nullptr, &c)) {
    s.modelsSection = FieldOf(&c, 1);
    std::wstring decoration = FieldOf(&c, 2);
    if (decoration != L"<none>") s.modelsSection += L"." + decoration;
    for (bool more = SetupFindFirstLineW(h, s.modelsSection.c_str(), nullptr, &c); more;
         more = SetupFindNextLine(&c, &c))
      s.hardwareIds.push_back(FieldOf(&c, 2));
  }
  SetupCloseInfFile(h);
  return s;
}

const std::vector<std::wstring> kQ52Ids = {L"USB\\VID_F0F0&PID_0052&REV_0100", L"USB\\VID_F0F0&PID_0052",
                                           L"USB\\VID_F0F0&PID_0053&REV_0200"};

struct ExampleRow {
  const char* example;
  std::vector<std::wstring> names;  // staged INFs in list order
  std::vector<std::wstring> dates;  // DriverVer of each
  std::wstring originalName;        // of each
  std::wstring modelsSection;
};

TEST(InfExamples, MachinesStageWhatTheyDescribe) {
  const std::vector<ExampleRow> rows = {
      {"one-supported", {L"oem3.inf"}, {L"03/14/2008,2.5.0.3"}, L"vexaq52drv.inf", L"Vexa"},
      {"two-copies-newer-last", {L"oem0.inf", L"oem1.inf"}, {L"01/10/2008,2.5.0.1", L"07/15/2008,2.5.0.7"},
       L"vexaq52drv.inf", L"Vexa"},
      {"two-copies-newer-first", {L"oem0.inf", L"oem1.inf"}, {L"07/15/2008,2.5.0.7", L"01/10/2008,2.5.0.1"},
       L"vexaq52drv.inf", L"Vexa"},
      {"unrelated-only", {L"oem0.inf"}, {L"11/02/2007,1.2.0.0"}, L"corvells20.inf", L"Corvel"},
      {"decorated-models", {L"oem0.inf"}, {L"03/14/2008,2.5.0.3"}, L"vexaq52drv.inf", L"Vexa.NTx86"},
      {"no-infs", {}, {}, L"", L""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.example);
    TempDir tmp;
    std::string dir = tmp / "m";
    winsim::CreateMachineFromExample(dir, kExamples + "/" + r.example);
    winsim::UseMachine(dir);
    ASSERT_EQ(InfList(), r.names);
    for (size_t i = 0; i < r.names.size(); ++i) {
      InfSummary s = Summarise(r.names[i]);
      EXPECT_EQ(s.driverVer, r.dates[i]);
      EXPECT_EQ(s.originalName, r.originalName);
      EXPECT_EQ(s.modelsSection, r.modelsSection);
      if (r.originalName == L"vexaq52drv.inf") {
        EXPECT_EQ(s.originalCatalog, L"vexaq52drv.cat");
        EXPECT_EQ(s.hardwareIds, kQ52Ids);
      } else {
        EXPECT_EQ(s.hardwareIds, std::vector<std::wstring>{L"USB\\VID_0C4E&PID_2020"});
      }
    }
    EXPECT_TRUE(winsim::OpenHandles().empty());
    winsim::ReleaseMachine();
  }
}

// The printer of the built-in image must be a device the supported INF declares: each of its
// hardware IDs begins with one of the INF's.
TEST(InfExamples, ImageDeviceMatchesTheSupportedInf) {
  testsupport::TempMachine machine;
  auto doc = nlohmann::json::parse(ReadFile(machine.dir() + "/machine.json"));
  std::vector<std::wstring> deviceIds;
  // The printer is described by the timeline entry that plugs it in.
  for (const winsim::model::TimelineEvent& e : winsim::model::TimelineOf(doc))
    if (e.instanceId == "USB\\VID_F0F0&PID_0052\\Q52000123" && e.device)
      for (const std::string& text : e.device->hardwareIds) deviceIds.push_back(std::wstring(text.begin(), text.end()));
  ASSERT_FALSE(deviceIds.empty());
  InfSummary s = Summarise(L"oem3.inf");
  for (auto& id : deviceIds) {
    bool matched = false;
    for (auto& infId : s.hardwareIds) matched = matched || id.compare(0, infId.size(), infId) == 0;
    EXPECT_TRUE(matched) << std::string(id.begin(), id.end());
  }
}

// A value longer than a 260-character buffer is reported with its real size and never written
// into a buffer that is too small.
TEST(InfReader, LongValuesReportTheirSize) {
  testsupport::TempMachine machine;
  std::string longId = "USB\\VID_F0F0&PID_0052&" + std::string(300, 'X');
  std::string longVer = "07/15/2008," + std::string(280, '9');
  WriteFile(winsim::HostPath(L"C:\\WINDOWS\\inf\\long.inf"),
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nDriverVer=" + longVer +
                "\r\n[Manufacturer]\r\nVexa=Models\r\n[Models]\r\nLong=Install, " + longId + "\r\n");
  HINF h = SetupOpenInfFileW(L"long.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  INFCONTEXT c;
  ASSERT_TRUE(SetupFindFirstLineW(h, L"Models", nullptr, &c));
  WCHAR buf[MAX_PATH + 1];
  buf[MAX_PATH] = L'#';
  DWORD need = 0;
  EXPECT_FALSE(SetupGetStringFieldW(&c, 2, buf, MAX_PATH, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(need, longId.size() + 1);
  EXPECT_EQ(buf[MAX_PATH], L'#');
  EXPECT_EQ(FieldOf(&c, 2), std::wstring(longId.begin(), longId.end()));

  DWORD size = 0;
  ASSERT_TRUE(SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, nullptr, 0, &size));
  std::vector<BYTE> block(size);
  auto* info = reinterpret_cast<PSP_INF_INFORMATION>(block.data());
  ASSERT_TRUE(SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, info, size, &size));
  EXPECT_FALSE(SetupQueryInfVersionInformationW(info, 0, L"DRIVERVER", buf, MAX_PATH, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(need, longVer.size() + 1);
  SetupCloseInfFile(h);
  EXPECT_TRUE(winsim::OpenHandles().empty());
}

// The whole [Version] section, key then value, in file order; quotes gone, strings replaced,
// several fields joined by commas, keys as written.
TEST(InfReader, VersionListInFileOrder) {
  testsupport::TempMachine machine;
  WriteFile(winsim::HostPath(L"C:\\WINDOWS\\inf\\ver.inf"),
            "[Version]\r\nSignature=\"$Windows NT$\"\r\nclass=Ports\r\nDriverVer=07/15/2008, 1.0.0.3\r\n"
            "[Other]\r\nx=1\r\n[version]\r\nProvider=%P%\r\n[Strings]\r\nP=\"Vexa\"\r\n");
  HINF h = SetupOpenInfFileW(L"VER.INF", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD size = 0;
  ASSERT_TRUE(SetupGetInfInformationW(L"ver.inf", INFINFO_DEFAULT_SEARCH, nullptr, 0, &size));
  std::vector<BYTE> block(size);
  auto* info = reinterpret_cast<PSP_INF_INFORMATION>(block.data());
  ASSERT_TRUE(SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, info, size, &size));
  DWORD need = 0;
  ASSERT_TRUE(SetupQueryInfVersionInformationW(info, 0, nullptr, nullptr, 0, &need));
  std::vector<WCHAR> list(need);
  ASSERT_TRUE(SetupQueryInfVersionInformationW(info, 0, nullptr, list.data(), need, &need));
  const wchar_t want[] = L"Signature\0$Windows NT$\0class\0Ports\0DriverVer\0" L"07/15/2008,1.0.0.3\0Provider\0Vexa\0";
  EXPECT_EQ(std::wstring(list.data(), list.size()), std::wstring(want, ARRAYSIZE(want)));
  EXPECT_FALSE(SetupQueryInfVersionInformationW(info, 0, nullptr, list.data(), need - 1, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(SetupQueryInfVersionInformationW(info, 1, nullptr, nullptr, 0, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  DWORD pathSize = 0;
  ASSERT_TRUE(SetupQueryInfFileInformationW(info, 0, nullptr, 0, &pathSize));
  std::vector<WCHAR> path(pathSize);
  ASSERT_TRUE(SetupQueryInfFileInformationW(info, 0, path.data(), pathSize, &pathSize));
  EXPECT_EQ(std::wstring(path.data()), L"C:\\WINDOWS\\inf\\VER.INF");
  SetupCloseInfFile(h);
}

// Line continuation at the end of the file, a last line without a line break, lines ended by a
// lone CR and a Ctrl-Z at the end.
TEST(InfReader, LineEndings) {
  testsupport::TempMachine machine;
  WriteFile(winsim::HostPath(L"C:\\WINDOWS\\inf\\ends.inf"),
            "[Version]\rSignature=\"$Windows NT$\"\n[A]\r\na=1,\\\nb=2\rc=3 \\\x1a" "d=4");
  HINF h = SetupOpenInfFileW(L"ends.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  INFCONTEXT c;
  ASSERT_TRUE(SetupFindFirstLineW(h, L"A", nullptr, &c));
  EXPECT_EQ(FieldOf(&c, 0), L"a");
  EXPECT_EQ(FieldOf(&c, 2), L"b=2");  // continued: the '=' of the next line is text
  ASSERT_TRUE(SetupFindNextLine(&c, &c));
  EXPECT_EQ(FieldOf(&c, 1), L"3 \\");
  EXPECT_FALSE(SetupFindNextLine(&c, &c));
  SetupCloseInfFile(h);
}

TEST(InfReader, HandlesAndFaults) {
  testsupport::TempMachine machine;
  HINF h = SetupOpenInfFileW(L"oem3.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(winsim::OpenHandles()["HINF"], 1);
  SetupCloseInfFile(h);
  EXPECT_TRUE(winsim::OpenHandles().empty());
  INFCONTEXT c;
  EXPECT_FALSE(SetupFindFirstLineW(h, L"Version", nullptr, &c));  // closed
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  winsim::InjectFault("SetupOpenInfFileW", 2, ERROR_ACCESS_DENIED);
  winsim::InjectFault("SetupGetInfFileListW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(SetupGetInfFileListW(nullptr, INF_STYLE_WIN4, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(SetupOpenInfFileW(L"oem3.inf", nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(winsim::OpenHandles().empty());
}

// Staging takes the lowest number that neither a file nor a record uses, and records the names.
TEST(InfStaging, NextFreeNumberAndOriginalNames) {
  testsupport::TempMachine machine;
  TempDir src;
  std::string inf = src / "vexaq52drv.inf";
  WriteFile(inf, ReadFile(kExamples + "/infs/2008-07/vexaq52drv.inf"));
  WriteFile(src / "signed.cat", "catalog");
  WriteFile(winsim::HostPath(L"C:\\WINDOWS\\inf\\OEM1.INF"), "[Version]\r\nSignature=\"$Windows NT$\"\r\n");

  EXPECT_EQ(winsim::StageInfHere(inf), "oem0.inf");
  EXPECT_EQ(winsim::StageInfHere(inf, src / "signed.cat"), "oem2.inf");  // oem1 taken by a file, oem3 by the image
  EXPECT_EQ(winsim::StageInfHere(inf), "oem4.inf");
  EXPECT_EQ(ReadFile(winsim::HostPath(L"C:\\WINDOWS\\inf\\oem4.inf")), ReadFile(inf));

  struct Row {
    const wchar_t* name;
    std::wstring original, catalog;
  } rows[] = {{L"oem0.inf", L"vexaq52drv.inf", L"vexaq52drv.cat"},
              {L"oem2.inf", L"vexaq52drv.inf", L"signed.cat"},
              {L"oem1.inf", L"oem1.inf", L""}};  // not staged: its own name
  for (auto& r : rows) {
    InfSummary s = Summarise(r.name);
    EXPECT_EQ(s.originalName, r.original);
    EXPECT_EQ(s.originalCatalog, r.catalog);
  }

  WriteFile(src / "broken.inf", "[Version\r\n");
  EXPECT_THROW(winsim::StageInfHere(src / "broken.inf"), std::runtime_error);
  EXPECT_THROW(winsim::StageInfHere(src / "missing.inf"), std::runtime_error);
  EXPECT_THROW(winsim::StageInfHere(inf, src / "missing.cat"), std::runtime_error);
  EXPECT_EQ(InfList(), (std::vector<std::wstring>{L"oem0.inf", L"OEM1.INF", L"oem2.inf", L"oem3.inf", L"oem4.inf"}));

  // A record staged after the others were looked up is found too, by any case of its name.
  EXPECT_EQ(winsim::StageInfHere(inf, src / "signed.cat"), "oem5.inf");
  InfSummary late = Summarise(L"OEM5.INF");
  EXPECT_EQ(late.originalName, L"vexaq52drv.inf");
  EXPECT_EQ(late.originalCatalog, L"signed.cat");
}

}  // namespace
