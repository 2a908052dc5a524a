// Seeds a machine with the Vexa Q52 package as its installer leaves it: the port monitor and two
// of its ports, the printer driver, the printer on the first port, the package's files and its
// Add/Remove Programs entry. Then it checks the spooler's listings for what it added.
//   q52seed          seed, check, exit 0 when everything is in place
//   q52seed --list   print the spooler's printers, drivers, monitors and ports, one a line
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kMonitor[] = L"Vexa Q52 Language/Port Monitor";
const wchar_t kDriver[] = L"Vexa Q52";
const wchar_t kPrinter[] = L"Vexa Q52";
const wchar_t* const kPorts[] = {L"Q52USB001:", L"Q52USB002:"};
const wchar_t kInstallDir[] = L"C:\\Q52PLX";
const wchar_t kStagingDir[] = L"C:\\q52seed-staging";
const wchar_t kUninstallKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexa Q52 Plexline Drivers";

std::string Utf8(const wchar_t* text) {
  if (text == nullptr) return "(null)";
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return "?";
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes) - 1);
  return out;
}

bool Fail(const char* what, DWORD error) {
  printf("q52seed: %s failed, error %lu\n", what, static_cast<unsigned long>(error));
  return false;
}

std::wstring Join(const std::wstring& dir, const wchar_t* name) { return dir + L"\\" + name; }

bool WriteSmallFile(const std::wstring& path, const char* content) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Fail(Utf8(path.c_str()).c_str(), GetLastError());
  DWORD written = 0;
  DWORD length = static_cast<DWORD>(strlen(content));
  BOOL ok = WriteFile(file, content, length, &written, nullptr);
  DWORD error = GetLastError();
  CloseHandle(file);
  if (!ok || written != length) return Fail(Utf8(path.c_str()).c_str(), error);
  return true;
}

bool Copy(const std::wstring& from, const std::wstring& to) {
  if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) return Fail(Utf8(to.c_str()).c_str(), GetLastError());
  return true;
}

bool MakeDirectory(const std::wstring& path) {
  if (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
    return Fail(Utf8(path.c_str()).c_str(), GetLastError());
  return true;
}

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
  if (length == 0 || length >= ARRAYSIZE(path)) return L".";
  wchar_t* slash = wcsrchr(path, L'\\');
  if (slash != nullptr) *slash = L'\0';
  return path;
}

std::wstring SystemDirectory() {
  wchar_t path[MAX_PATH] = {};
  UINT length = GetSystemDirectoryW(path, ARRAYSIZE(path));
  return length > 0 && length < ARRAYSIZE(path) ? path : L"";
}

std::wstring DriverDirectoryX86() {
  wchar_t path[MAX_PATH] = {};
  DWORD needed = 0;
  wchar_t environment[] = L"Windows NT x86";
  if (!GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<BYTE*>(path),
                                  sizeof(path), &needed))
    return L"";
  return path;
}

// Size-then-fetch listing into a byte buffer; false when the second call fails.
template <typename Call>
bool Enumerate(Call call, std::vector<BYTE>& buffer, DWORD& count) {
  DWORD needed = 0;
  count = 0;
  call(nullptr, 0, &needed, &count);
  buffer.assign(needed == 0 ? 1 : needed, 0);
  return call(buffer.data(), needed, &needed, &count) != FALSE;
}

struct Listing {
  std::vector<std::string> lines;
  bool complete = true;
};

Listing ListSpooler() {
  Listing out;
  std::vector<BYTE> buffer;
  DWORD count = 0;
  if (Enumerate([](BYTE* b, DWORD n, DWORD* need, DWORD* got) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, b, n, need, got);
      }, buffer, count)) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
      out.lines.push_back("printer \"" + Utf8(info[i].pPrinterName) + "\" driver \"" +
                          Utf8(info[i].pDriverName) + "\" port \"" + Utf8(info[i].pPortName) +
                          "\" jobs " + std::to_string(info[i].cJobs));
  } else {
    out.complete = Fail("EnumPrintersW", GetLastError());
  }
  if (Enumerate([](BYTE* b, DWORD n, DWORD* need, DWORD* got) {
        return EnumPrinterDriversW(nullptr, nullptr, 1, b, n, need, got);
      }, buffer, count)) {
    auto* info = reinterpret_cast<DRIVER_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) out.lines.push_back("driver \"" + Utf8(info[i].pName) + "\"");
  } else {
    out.complete = Fail("EnumPrinterDriversW", GetLastError());
  }
  if (Enumerate([](BYTE* b, DWORD n, DWORD* need, DWORD* got) {
        return EnumMonitorsW(nullptr, 1, b, n, need, got);
      }, buffer, count)) {
    auto* info = reinterpret_cast<MONITOR_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) out.lines.push_back("monitor \"" + Utf8(info[i].pName) + "\"");
  } else {
    out.complete = Fail("EnumMonitorsW", GetLastError());
  }
  if (Enumerate([](BYTE* b, DWORD n, DWORD* need, DWORD* got) {
        return EnumPortsW(nullptr, 2, b, n, need, got);
      }, buffer, count)) {
    auto* info = reinterpret_cast<PORT_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i)
      out.lines.push_back("port \"" + Utf8(info[i].pPortName) + "\" monitor \"" +
                          Utf8(info[i].pMonitorName) + "\"");
  } else {
    out.complete = Fail("EnumPortsW", GetLastError());
  }
  return out;
}

bool SeedMonitor(const std::wstring& systemDir) {
  if (!Copy(Join(ProgramDirectory(), L"q52testmon.dll"), Join(systemDir, L"vexaktmon.dll")))
    return false;
  MONITOR_INFO_2W info = {};
  info.pName = const_cast<wchar_t*>(kMonitor);
  info.pDLLName = const_cast<wchar_t*>(L"vexaktmon.dll");
  if (!AddMonitorW(nullptr, 2, reinterpret_cast<BYTE*>(&info)))
    return Fail("AddMonitorW", GetLastError());
  return true;
}

bool SeedPorts() {
  std::wstring object = std::wstring(L",XcvMonitor ") + kMonitor;
  for (const wchar_t* port : kPorts) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    HANDLE xcv = nullptr;
    if (!OpenPrinterW(const_cast<wchar_t*>(object.c_str()), &xcv, &defaults))
      return Fail("OpenPrinterW(XcvMonitor)", GetLastError());
    DWORD needed = 0;
    DWORD status = ERROR_GEN_FAILURE;
    BOOL ok = XcvDataW(xcv, L"AddPort", reinterpret_cast<BYTE*>(const_cast<wchar_t*>(port)),
                       static_cast<DWORD>((wcslen(port) + 1) * sizeof(wchar_t)), nullptr, 0,
                       &needed, &status);
    DWORD error = GetLastError();
    ClosePrinter(xcv);
    if (!ok) return Fail("XcvDataW(AddPort)", error);
    if (status != ERROR_SUCCESS) return Fail("AddPort", status);
  }
  return true;
}

// The spooler copies the driver's files from a staging folder into its own driver directory.
bool SeedDriver() {
  std::wstring stage = kStagingDir;
  if (!MakeDirectory(stage)) return false;
  std::wstring ui = Join(ProgramDirectory(), L"q52testdrvui.dll");
  if (!Copy(ui, Join(stage, L"vexaktgui.dll")) || !Copy(ui, Join(stage, L"vexaktwxp.dll")))
    return false;
  const wchar_t* const data[] = {L"vexaktq52.pdf", L"vexaktenu.hlp", L"vexaktxps.dll",
                                 L"vexaktenu.cnt", L"vexaktenu.dll"};
  for (const wchar_t* name : data)
    if (!WriteSmallFile(Join(stage, name), "Vexa Q52 test driver file\r\n")) return false;

  std::wstring driverPath = Join(stage, L"vexaktwxp.dll");
  std::wstring dataFile = Join(stage, L"vexaktq52.pdf");
  std::wstring configFile = Join(stage, L"vexaktgui.dll");
  std::wstring helpFile = Join(stage, L"vexaktenu.hlp");
  std::wstring dependent;
  for (const wchar_t* name : {L"vexaktxps.dll", L"vexaktenu.cnt", L"vexaktenu.dll"}) {
    dependent += Join(stage, name);
    dependent.push_back(L'\0');
  }
  dependent.push_back(L'\0');

  DRIVER_INFO_3W info = {};
  info.cVersion = 3;
  info.pName = const_cast<wchar_t*>(kDriver);
  info.pDriverPath = &driverPath[0];
  info.pDataFile = &dataFile[0];
  info.pConfigFile = &configFile[0];
  info.pHelpFile = &helpFile[0];
  info.pDependentFiles = &dependent[0];
  info.pMonitorName = const_cast<wchar_t*>(kMonitor);
  info.pDefaultDataType = const_cast<wchar_t*>(L"RAW");
  BOOL ok = AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_ALL_FILES);
  DWORD error = GetLastError();

  for (const wchar_t* name : data) DeleteFileW(Join(stage, name).c_str());
  DeleteFileW(configFile.c_str());
  DeleteFileW(driverPath.c_str());
  RemoveDirectoryW(stage.c_str());
  if (!ok) return Fail("AddPrinterDriverExW", error);
  return true;
}

bool SeedPrinter() {
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<wchar_t*>(kPrinter);
  info.pPortName = const_cast<wchar_t*>(kPorts[0]);
  info.pDriverName = const_cast<wchar_t*>(kDriver);
  info.pPrintProcessor = const_cast<wchar_t*>(L"winprint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
  if (printer == nullptr) return Fail("AddPrinterW", GetLastError());
  ClosePrinter(printer);
  return true;
}

bool WritePackageFiles(const std::wstring& systemDir, const std::wstring& driverDir) {
  const char* content = "Vexa Q52 package file\r\n";
  for (const wchar_t* name : {L"vexaq52api.dll", L"vexaq52setup.exe", L"vexaktmonui.dll",
                              L"vexaktmon.cnt", L"vexaktmon.hlp"})
    if (!WriteSmallFile(Join(systemDir, name), content)) return false;
  // The uninstaller looks for the driver's files in the 32-bit driver directory, which a
  // 64-bit prefix may not have made yet.
  std::wstring parent = driverDir.substr(0, driverDir.rfind(L'\\'));
  if (!MakeDirectory(parent) || !MakeDirectory(driverDir)) return false;
  for (const wchar_t* name : {L"vexaktxps.dll", L"vexaktenu.cnt", L"vexaktenu.dll", L"vexaktgui.dll",
                              L"vexaktwxp.dll", L"vexaktenu.hlp", L"vexaktq52.pdf"})
    if (!WriteSmallFile(Join(driverDir, name), content)) return false;

  std::wstring install = kInstallDir;
  std::wstring config = Join(install, L"PlxConfig");
  std::wstring samples = Join(config, L"Samples");
  if (!MakeDirectory(install) || !MakeDirectory(config) || !MakeDirectory(samples)) return false;
  for (const wchar_t* name : {L"vexaq52api.dll", L"vexaq52setup.exe", L"Q52Config.ini",
                              L"license.txt", L"readme.txt", L"drvpurge.exe"})
    if (!WriteSmallFile(Join(install, name), content)) return false;
  for (const wchar_t* name : {L"xda7701.dat", L"xda77012.dat"})
    if (!WriteSmallFile(Join(config, name), content)) return false;
  return WriteSmallFile(Join(samples, L"vexaq52api.h"), content) &&
         WriteSmallFile(Join(samples, L"vexaq52api.lib"), content);
}

bool SetString(HKEY key, const wchar_t* name, const wchar_t* value) {
  LONG rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  return rc == ERROR_SUCCESS || Fail("RegSetValueExW", static_cast<DWORD>(rc));
}

bool WriteUninstallKey() {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return Fail("RegCreateKeyExW", static_cast<DWORD>(rc));
  bool ok = SetString(key, L"DisplayName", L"Vexa Q52 Plexline Drivers") &&
            SetString(key, L"DisplayVersion", L"2.4.1") &&
            SetString(key, L"UninstallString", L"C:\\Q52PLX\\drvpurge.exe");
  HKEY sub = nullptr;
  rc = RegCreateKeyExW(key, L"Components", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr);
  if (rc == ERROR_SUCCESS) {
    ok = SetString(sub, L"Monitor", kMonitor) && ok;
    RegCloseKey(sub);
  } else {
    ok = Fail("RegCreateKeyExW(Components)", static_cast<DWORD>(rc));
  }
  RegCloseKey(key);
  return ok;
}

bool Has(const Listing& listing, const std::string& line) {
  for (const std::string& l : listing.lines)
    if (l == line) return true;
  return Fail(("looking for: " + line).c_str(), ERROR_NOT_FOUND);
}

int Seed() {
  std::wstring systemDir = SystemDirectory();
  std::wstring driverDir = DriverDirectoryX86();
  if (systemDir.empty()) return Fail("GetSystemDirectoryW", GetLastError()), 1;
  if (driverDir.empty()) return Fail("GetPrinterDriverDirectoryW", GetLastError()), 1;
  if (!SeedMonitor(systemDir) || !SeedPorts() || !SeedDriver() || !SeedPrinter() ||
      !WritePackageFiles(systemDir, driverDir) || !WriteUninstallKey())
    return 1;

  Listing listing = ListSpooler();
  bool ok = listing.complete;
  ok = Has(listing, "printer \"Vexa Q52\" driver \"Vexa Q52\" port \"Q52USB001:\" jobs 0") && ok;
  ok = Has(listing, "driver \"Vexa Q52\"") && ok;
  ok = Has(listing, "monitor \"Vexa Q52 Language/Port Monitor\"") && ok;
  for (const wchar_t* port : kPorts)
    ok = Has(listing, "port \"" + Utf8(port) + "\" monitor \"Vexa Q52 Language/Port Monitor\"") && ok;
  printf("q52seed: %s\n", ok ? "seeded" : "seeding incomplete");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--list") == 0) {
    Listing listing = ListSpooler();
    for (const std::string& line : listing.lines) printf("%s\n", line.c_str());
    return listing.complete ? 0 : 1;
  }
  if (argc != 1) {
    printf("usage: q52seed [--list]\n");
    return 2;
  }
  return Seed();
}
