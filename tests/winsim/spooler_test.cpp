// The simulated spooler on the Vexa Q52 image: what the uninstaller's listings read, the
// refusals of objects still in use, the stopped spooler, long names, queued jobs, message boxes.
#include <gtest/gtest.h>
#include <windows.h>
#include <winspool.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/model_spooler.h"
#include "winsim/print.h"
#include "winsim/services.h"

namespace {

using nlohmann::json;
using testsupport::TempMachine;

const wchar_t kPrinter[] = L"Vexa Q52";
const wchar_t kMonitor[] = L"Vexa Q52 Language/Port Monitor";

// Edits machine.json of the current machine between two loads.
template <typename Edit>
void EditMachineJson(const TempMachine& machine, Edit edit) {
  winsim::ReleaseMachine();
  std::string path = machine.dir() + "/machine.json";
  json doc = json::parse(testsupport::ReadFile(path));
  edit(doc);
  testsupport::WriteFile(path, doc.dump(2));
  winsim::UseMachine(machine.dir());
}

void SetSpoolerState(const char* state) {
  winsim::ServiceConfig spooler;
  ASSERT_TRUE(winsim::GetService("Spooler", spooler));
  spooler.state = state;
  winsim::SetService(spooler);
}

// Lists with the two calls the tools make and checks the protocol on the way: the size query
// fails with ERROR_INSUFFICIENT_BUFFER, one byte short fails the same, the exact size succeeds
// and every string lies inside the buffer.
template <typename Call>
std::vector<BYTE> List(Call call, DWORD& count) {
  DWORD needed = 0, returned = 99;
  EXPECT_FALSE(call(nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(returned, 0u);
  EXPECT_GT(needed, 0u);
  std::vector<BYTE> buf(needed + 1, 0xCC);
  DWORD again = 0;
  EXPECT_FALSE(call(buf.data(), needed - 1, &again, &returned));
  EXPECT_EQ(again, needed);
  EXPECT_TRUE(call(buf.data(), needed, &again, &count)) << GetLastError();
  EXPECT_EQ(buf[needed], 0xCC) << "wrote past the size it asked for";
  buf.resize(needed);
  return buf;
}

bool Inside(const std::vector<BYTE>& buf, const void* p) {
  auto b = static_cast<const BYTE*>(p);
  return b >= buf.data() && b < buf.data() + buf.size();
}

TEST(Spooler, ListingsOfTheImage) {
  TempMachine machine;
  DWORD n = 0;
  auto printers = List([](LPBYTE b, DWORD c, LPDWORD nd, LPDWORD r) { return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, b, c, nd, r); }, n);
  ASSERT_EQ(n, 1u);
  auto* p2 = reinterpret_cast<PRINTER_INFO_2W*>(printers.data());
  EXPECT_STREQ(p2->pPrinterName, kPrinter);
  EXPECT_STREQ(p2->pDriverName, L"Vexa Q52");
  EXPECT_STREQ(p2->pPortName, L"Q52USB001:");
  EXPECT_STREQ(p2->pPrintProcessor, L"winprint");
  EXPECT_EQ(p2->cJobs, 0u);
  EXPECT_EQ(p2->pServerName, nullptr);
  EXPECT_TRUE(Inside(printers, p2->pPrinterName) && Inside(printers, p2->pDatatype));
  EXPECT_GE(reinterpret_cast<BYTE*>(p2->pPrinterName), printers.data() + sizeof(PRINTER_INFO_2W));

  for (DWORD level : {1u, 4u}) {
    auto buf = List([level](LPBYTE b, DWORD c, LPDWORD nd, LPDWORD r) { return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, b, c, nd, r); }, n);
    LPWSTR name = level == 1 ? reinterpret_cast<PRINTER_INFO_1W*>(buf.data())->pName
                             : reinterpret_cast<PRINTER_INFO_4W*>(buf.data())->pPrinterName;
    EXPECT_STREQ(name, kPrinter) << "level " << level;
  }

  auto drivers = List([](LPBYTE b, DWORD c, LPDWORD nd, LPDWORD r) { return EnumPrinterDriversW(nullptr, nullptr, 3, b, c, nd, r); }, n);
  ASSERT_EQ(n, 1u);
  auto* d3 = reinterpret_cast<DRIVER_INFO_3W*>(drivers.data());
  EXPECT_STREQ(d3->pName, L"Vexa Q52");
  EXPECT_EQ(d3->cVersion, 3u);
  EXPECT_STREQ(d3->pDriverPath, L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\3\\vexaktwxp.dll");
  EXPECT_STREQ(d3->pMonitorName, kMonitor);
  EXPECT_STREQ(d3->pDependentFiles, L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86\\3\\vexaktxps.dll");
  const wchar_t* last = d3->pDependentFiles;
  for (int i = 0; i < 3; ++i) last += wcslen(last) + 1;
  EXPECT_EQ(*last, L'\0');  // three names, then the empty one that ends the list

  auto ports = List([](LPBYTE b, DWORD c, LPDWORD nd, LPDWORD r) { return EnumPortsW(nullptr, 2, b, c, nd, r); }, n);
  ASSERT_EQ(n, 5u);
  auto* pi = reinterpret_cast<PORT_INFO_2W*>(ports.data());
  EXPECT_STREQ(pi[3].pPortName, L"Q52USB001:");
  EXPECT_STREQ(pi[4].pPortName, L"Q52USB002:");
  EXPECT_STREQ(pi[4].pMonitorName, kMonitor);
  EXPECT_STREQ(pi[0].pMonitorName, L"Local Port");

  auto monitors = List([](LPBYTE b, DWORD c, LPDWORD nd, LPDWORD r) { return EnumMonitorsW(nullptr, 2, b, c, nd, r); }, n);
  ASSERT_EQ(n, 3u);
  auto* mi = reinterpret_cast<MONITOR_INFO_2W*>(monitors.data());
  EXPECT_STREQ(mi[2].pName, kMonitor);
  EXPECT_STREQ(mi[2].pDLLName, L"vexaktmon.dll");
  EXPECT_STREQ(mi[2].pEnvironment, L"Windows NT x86");

  DWORD needed = 0;
  EXPECT_FALSE(EnumPortsW(nullptr, 3, nullptr, 0, &needed, &n));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_TRUE(winsim::OpenHandles().empty());
}

// While the Spooler service is not running every call fails with 1722 and a listing reports a
// needed size of 0, so a caller that allocates what the first call asked for gets nothing.
TEST(Spooler, EveryCallFailsWhileTheSpoolerIsStopped) {
  TempMachine machine;
  for (const char* state : {"stopped", "stop-pending", "start-pending", "paused"}) {
    SetSpoolerState(state);
    DWORD needed = 77, count = 77;
    std::vector<std::pair<const char*, BOOL>> calls;
    calls.emplace_back("EnumPrintersW", EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(count, 0u);
    needed = 77;
    calls.emplace_back("EnumPrinterDriversW", EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &count));
    EXPECT_EQ(needed, 0u);
    calls.emplace_back("EnumMonitorsW", EnumMonitorsW(nullptr, 1, nullptr, 0, &needed, &count));
    BYTE empty[1];
    calls.emplace_back("EnumPortsW", EnumPortsW(nullptr, 2, empty, 0, &needed, &count));
    HANDLE h = nullptr;
    calls.emplace_back("OpenPrinterW", OpenPrinterW(const_cast<LPWSTR>(kPrinter), &h, nullptr));
    EXPECT_EQ(h, nullptr);
    calls.emplace_back("DeletePrinterDriverW", DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(kPrinter)));
    calls.emplace_back("DeletePortW", DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"Q52USB002:")));
    calls.emplace_back("DeleteMonitorW", DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(kMonitor)));
    WCHAR dir[MAX_PATH];
    calls.emplace_back("GetPrinterDriverDirectoryW",
                       GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(dir), sizeof dir, &needed));
    for (auto& [name, ok] : calls) {
      EXPECT_FALSE(ok) << name << " while " << state;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE)) << state;
  }
  EXPECT_TRUE(winsim::Changes().empty());
  SetSpoolerState("running");
  EXPECT_EQ(winsim::PrintJobs(kPrinter), 0);  // nothing was lost on the way
}

// The order the uninstaller deletes in is the only one the spooler accepts.
TEST(Spooler, ObjectsInUseAreRefused) {
  TempMachine machine;
  auto refused = [](BOOL ok, DWORD error, const char* what) {
    EXPECT_FALSE(ok) << what;
    EXPECT_EQ(GetLastError(), error) << what;
  };
  LPWSTR driver = const_cast<LPWSTR>(L"vexa q52");  // names ignore case
  LPWSTR monitor = const_cast<LPWSTR>(kMonitor);
  refused(DeletePrinterDriverW(nullptr, nullptr, driver), ERROR_PRINTER_DRIVER_IN_USE, "driver of a printer");
  refused(DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(L"Vexa Q99")), ERROR_UNKNOWN_PRINTER_DRIVER, "unknown driver");
  refused(DeletePrinterDriverW(nullptr, const_cast<LPWSTR>(L"Windows 9x"), driver), ERROR_INVALID_ENVIRONMENT, "bad environment");
  refused(DeleteMonitorW(nullptr, nullptr, monitor), ERROR_PRINT_MONITOR_IN_USE, "monitor of a printer's port");
  refused(DeleteMonitorW(nullptr, nullptr, const_cast<LPWSTR>(L"No Such Monitor")), ERROR_UNKNOWN_PRINT_MONITOR, "unknown monitor");
  refused(DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"q52usb001:")), ERROR_BUSY, "port of a printer");
  refused(DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"Q52USB009:")), ERROR_UNKNOWN_PORT, "unknown port");

  HANDLE h = nullptr;
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(L"VEXA q52"), &h, nullptr));
  refused(DeletePrinter(h), ERROR_ACCESS_DENIED, "printer opened for use only");
  EXPECT_TRUE(ClosePrinter(h));
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &h, &all));
  EXPECT_TRUE(DeletePrinter(h));
  DWORD needed = 0;
  refused(GetPrinterW(h, 2, nullptr, 0, &needed), ERROR_PRINTER_DELETED, "deleted printer");
  EXPECT_TRUE(ClosePrinter(h));
  refused(ClosePrinter(h), ERROR_INVALID_HANDLE, "closed twice");
  refused(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &h, nullptr), ERROR_INVALID_PRINTER_NAME, "deleted printer");

  EXPECT_TRUE(DeletePrinterDriverW(nullptr, nullptr, driver));
  EXPECT_TRUE(DeletePortW(nullptr, nullptr, const_cast<LPWSTR>(L"Q52USB001:")));
  EXPECT_TRUE(DeleteMonitorW(nullptr, nullptr, monitor));  // takes its other port along
  DWORD count = 0;
  EXPECT_FALSE(EnumPortsW(nullptr, 1, nullptr, 0, &needed, &count));
  std::vector<BYTE> buf(needed);
  ASSERT_TRUE(EnumPortsW(nullptr, 1, buf.data(), needed, &needed, &count));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(winsim::Changes(), (std::vector<std::string>{"DeletePrinter Vexa Q52", "DeletePrinterDriver Vexa Q52",
                                                        "DeletePort Q52USB001:",
                                                        "DeleteMonitor Vexa Q52 Language/Port Monitor"}));
  EXPECT_TRUE(winsim::OpenHandles().empty());

  // Written back with the machine, and listed in the run's report.
  winsim::ReleaseMachine();
  json doc = json::parse(testsupport::ReadFile(machine.dir() + "/machine.json"));
  EXPECT_TRUE(winsim::model::SpoolerOf(doc).printers.empty());
  EXPECT_TRUE(winsim::model::SpoolerOf(doc).drivers.empty());
  json report = json::parse(testsupport::ReadFile(machine.dir() + "/last-run.json"));
  EXPECT_EQ(report["changes"].size(), 4u);
  winsim::UseMachine(machine.dir());
}

// Queued jobs show in cJobs; a printer deleted with jobs queued is only marked, and stays (with
// its driver in use) until they are printed.
TEST(Spooler, QueuedJobs) {
  TempMachine machine;
  ASSERT_TRUE(winsim::SetPrintJobs(L"vexa Q52", 3));
  EXPECT_FALSE(winsim::SetPrintJobs(L"Nobody", 1));
  HANDLE h = nullptr;
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  ASSERT_TRUE(OpenPrinterW(const_cast<LPWSTR>(kPrinter), &h, &all));
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterW(h, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buf(needed);
  ASSERT_TRUE(GetPrinterW(h, 2, buf.data(), needed, &needed));
  EXPECT_EQ(reinterpret_cast<PRINTER_INFO_2W*>(buf.data())->cJobs, 3u);

  EXPECT_TRUE(DeletePrinter(h));
  ASSERT_TRUE(GetPrinterW(h, 2, buf.data(), needed, &needed));
  EXPECT_EQ(reinterpret_cast<PRINTER_INFO_2W*>(buf.data())->Status & PRINTER_STATUS_PENDING_DELETION,
            static_cast<DWORD>(PRINTER_STATUS_PENDING_DELETION));
  EXPECT_TRUE(ClosePrinter(h));
  EXPECT_FALSE(DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(kPrinter)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_EQ(winsim::PrintJobs(kPrinter), 3);
  EXPECT_EQ(winsim::Changes(), std::vector<std::string>{"DeletePrinter Vexa Q52 (pending: 3 jobs queued)"});
}

// Names longer than the tools' 260-character buffers can exist; the records carry them whole,
// and the caller has to cut them.
TEST(Spooler, LongNamesArePackedWhole) {
  TempMachine machine;
  const std::string longPrinter(300, 'P'), longPort = std::string(290, 'q') + ":";
  EditMachineJson(machine, [&](json& doc) {
    winsim::model::Spooler spooler = winsim::model::SpoolerOf(doc);
    winsim::model::Port& port = spooler.ports.emplace_back();
    port.name = longPort;
    port.monitor = "Vexa Q52 Language/Port Monitor";
    winsim::model::Printer& printer = spooler.printers.emplace_back();
    printer.name = longPrinter;
    printer.driver = "Vexa Q52";
    printer.port = longPort;
    printer.jobs = 1;
    winsim::model::SetSpooler(doc, spooler);
  });
  DWORD needed = 0, count = 0;
  EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count));
  EXPECT_GT(needed, (300 + 291) * sizeof(WCHAR));
  std::vector<BYTE> buf(needed);
  ASSERT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buf.data(), needed, &needed, &count));
  ASSERT_EQ(count, 2u);
  auto* p = reinterpret_cast<PRINTER_INFO_2W*>(buf.data());
  EXPECT_EQ(wcslen(p[1].pPrinterName), 300u);
  EXPECT_EQ(wcslen(p[1].pPortName), 291u);
  EXPECT_EQ(p[1].cJobs, 1u);
  EXPECT_STREQ(p[0].pPrinterName, kPrinter);  // the earlier record's strings were not overwritten

  HANDLE h = nullptr;
  ASSERT_TRUE(OpenPrinterW(p[1].pPrinterName, &h, nullptr));
  EXPECT_TRUE(ClosePrinter(h));
  EXPECT_FALSE(DeletePortW(nullptr, nullptr, p[1].pPortName));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
}

// The install side: what AddPrinterW, AddPrinterDriverExW and AddMonitorW need to succeed.
TEST(Spooler, AddsNeedWhatTheyReferTo) {
  TempMachine machine;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<LPWSTR>(L"Counter 2");
  info.pPortName = const_cast<LPWSTR>(L"Q52USB002:");
  info.pDriverName = const_cast<LPWSTR>(L"Vexa Q52");
  info.pPrintProcessor = const_cast<LPWSTR>(L"winprint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");
  struct Row {
    const wchar_t* name;
    const wchar_t* port;
    const wchar_t* driver;
    DWORD error;
  } rows[] = {
      {L"Counter 2", L"Q52USB002:", L"Vexa Q99", ERROR_UNKNOWN_PRINTER_DRIVER},
      {L"Counter 2", L"Q52USB009:", L"Vexa Q52", ERROR_UNKNOWN_PORT},
      {L"vexa q52", L"Q52USB002:", L"Vexa Q52", ERROR_PRINTER_ALREADY_EXISTS},
      {L"", L"Q52USB002:", L"Vexa Q52", ERROR_INVALID_PRINTER_NAME},
  };
  for (auto& r : rows) {
    PRINTER_INFO_2W bad = info;
    bad.pPrinterName = const_cast<LPWSTR>(r.name);
    bad.pPortName = const_cast<LPWSTR>(r.port);
    bad.pDriverName = const_cast<LPWSTR>(r.driver);
    EXPECT_EQ(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&bad)), nullptr);
    EXPECT_EQ(GetLastError(), r.error);
  }
  HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(winsim::OpenHandles(), (std::map<std::string, int>{{"printer", 1}}));
  EXPECT_TRUE(ClosePrinter(h));
  EXPECT_EQ(winsim::PrintJobs(L"counter 2"), 0);

  // The driver's files must be in the driver directory before the call.
  WCHAR dir[MAX_PATH];
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(dir), 8, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, (wcslen(L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86") + 1) * sizeof(WCHAR));
  ASSERT_TRUE(GetPrinterDriverDirectoryW(nullptr, const_cast<LPWSTR>(L"Windows NT x86"), 1,
                                         reinterpret_cast<LPBYTE>(dir), sizeof dir, &needed));
  EXPECT_STREQ(dir, L"C:\\WINDOWS\\system32\\spool\\drivers\\w32x86");
  WCHAR deps[] = L"vexaktxps.dll\0vexaktenu.cnt\0vexaktenu.dll\0";
  DRIVER_INFO_3W d = {};
  d.cVersion = 3;
  d.pName = const_cast<LPWSTR>(L"Vexa Q52 Copy");
  d.pDriverPath = const_cast<LPWSTR>(L"vexaktwxp.dll");
  d.pDataFile = const_cast<LPWSTR>(L"vexaktq52.pdf");
  d.pConfigFile = const_cast<LPWSTR>(L"vexaktgui.dll");
  d.pHelpFile = const_cast<LPWSTR>(L"vexaktenu.hlp");
  d.pDependentFiles = deps;
  d.pMonitorName = const_cast<LPWSTR>(kMonitor);
  std::string w32x86 = machine.dir() + "/drive_c/WINDOWS/system32/spool/drivers/w32x86/";
  std::string moved = w32x86 + "vexaktenu.dll.away";
  ASSERT_EQ(std::rename((w32x86 + "vexaktenu.dll").c_str(), moved.c_str()), 0);
  EXPECT_FALSE(AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&d), APD_COPY_ALL_FILES));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_EQ(std::rename(moved.c_str(), (w32x86 + "vexaktenu.dll").c_str()), 0);
  std::remove((w32x86 + "3/vexaktenu.dll").c_str());
  EXPECT_TRUE(AddPrinterDriverExW(nullptr, 3, reinterpret_cast<LPBYTE>(&d), APD_COPY_ALL_FILES));
  EXPECT_TRUE(testsupport::Exists(w32x86 + "3/vexaktenu.dll"));  // copied into the version directory

  MONITOR_INFO_2W mon = {const_cast<LPWSTR>(kMonitor), nullptr, const_cast<LPWSTR>(L"vexaktmon.dll")};
  EXPECT_FALSE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&mon)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
  mon.pName = const_cast<LPWSTR>(L"Second Monitor");
  mon.pDLLName = const_cast<LPWSTR>(L"missing.dll");
  EXPECT_FALSE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&mon)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  mon.pDLLName = const_cast<LPWSTR>(L"tcpmon.dll");
  EXPECT_TRUE(AddMonitorW(nullptr, 2, reinterpret_cast<LPBYTE>(&mon)));
  EXPECT_EQ(winsim::Changes(), (std::vector<std::string>{"AddPrinter Counter 2", "AddPrinterDriver Vexa Q52 Copy",
                                                        "AddMonitor Second Monitor"}));
}

TEST(MessageBox, RecordedAnsweredAndWrittenToStderr) {
  TempMachine machine;
  testsupport::FdCapture capture;
  EXPECT_EQ(MessageBoxW(nullptr, L"Two\nlines", L"Caption", MB_OK | MB_ICONEXCLAMATION), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, L"Go on?", nullptr, MB_YESNO), IDYES);
  std::string err = capture.Stop();
  EXPECT_NE(err.find("\"Caption\" (type 0x30): Two\nlines"), std::string::npos) << err;
  auto boxes = winsim::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, L"Two\nlines");
  EXPECT_EQ(boxes[0].caption, L"Caption");
  EXPECT_EQ(boxes[0].type, 0x30u);
  EXPECT_EQ(boxes[1].caption, L"Error");
  winsim::ReleaseMachine();
  json report = json::parse(testsupport::ReadFile(machine.dir() + "/last-run.json"));
  EXPECT_EQ(report["messageBoxes"][0]["text"], "Two\nlines");
  winsim::UseMachine(machine.dir());
}

}  // namespace
