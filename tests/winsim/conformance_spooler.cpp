// The print spooler calls: the size protocol of the listings, the record layout the uninstaller
// reads, and the refusals. A machine's spooler holds what it holds, so the cases read what is
// there, and create what they delete (only where a mistake cannot harm a real machine's spooler).
#include <windows.h>
#include <winspool.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"

namespace {

std::string Num(DWORD v) { return std::to_string(static_cast<unsigned long>(v)); }

struct Listing {
  std::vector<BYTE> buf;
  DWORD count = 0;
  bool ok = false;
};

bool Inside(const Listing& l, const void* p) {
  const BYTE* b = static_cast<const BYTE*>(p);
  return b >= l.buf.data() && b < l.buf.data() + l.buf.size();
}

// The two calls of the tools' listings, checking the protocol: an empty list succeeds at once
// with a size of 0; otherwise the query fails with ERROR_INSUFFICIENT_BUFFER and the count 0, a
// buffer one byte short fails the same way, and the exact size succeeds.
template <typename Call>
Listing ListWith(Call call, const std::string& what) {
  Listing l;
  DWORD needed = 0, returned = 77;
  SetLastError(0);
  if (call(NULL, 0, &needed, &returned)) {
    CHECK_EQ_AT(needed, 0u, what);
    CHECK_EQ_AT(returned, 0u, what);
    l.ok = true;
    return l;
  }
  CHECK_EQ_AT(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), what);
  if (!WineDiffers("a spooler listing into no buffer still reports the number of records "
                   "(Windows: 0)"))
    CHECK_EQ_AT(returned, 0u, what);
  CHECK_AT(needed > 0, what);
  if (needed == 0) return l;
  l.buf.assign(needed, 0);
  DWORD again = 0;
  CHECK_AT(!call(l.buf.data(), needed - 1, &again, &returned), what + ", one byte short");
  CHECK_EQ_AT(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), what + ", one byte short");
  CHECK_EQ_AT(again, needed, what + ", one byte short");
  l.ok = call(l.buf.data(), needed, &again, &l.count) != FALSE;
  CHECK_AT(l.ok, what + ", error " + Num(GetLastError()));
  CHECK_AT(l.count > 0, what);
  return l;
}

// Every string of a record lies in the buffer, after the fixed records.
void CheckString(const Listing& l, size_t fixedBytes, LPCWSTR s, const std::string& what) {
  if (!s) return;
  CHECK_AT(Inside(l, s), what);
  CHECK_AT(reinterpret_cast<const BYTE*>(s) >= l.buf.data() + fixedBytes, what);
}

Listing Printers(DWORD level) {
  return ListWith([level](LPBYTE b, DWORD c, LPDWORD n, LPDWORD r) {
    return EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, level, b, c, n, r);
  }, "EnumPrintersW level " + Num(level));
}

Listing Drivers(DWORD level) {
  return ListWith([level](LPBYTE b, DWORD c, LPDWORD n, LPDWORD r) {
    return EnumPrinterDriversW(NULL, NULL, level, b, c, n, r);
  }, "EnumPrinterDriversW level " + Num(level));
}

Listing Ports(DWORD level) {
  return ListWith([level](LPBYTE b, DWORD c, LPDWORD n, LPDWORD r) { return EnumPortsW(NULL, level, b, c, n, r); },
                  "EnumPortsW level " + Num(level));
}

Listing Monitors(DWORD level) {
  return ListWith([level](LPBYTE b, DWORD c, LPDWORD n, LPDWORD r) { return EnumMonitorsW(NULL, level, b, c, n, r); },
                  "EnumMonitorsW level " + Num(level));
}

CONFORMANCE(EnumPrintersRecords) {
  for (DWORD level : {1u, 2u, 4u}) {
    Listing l = Printers(level);
    for (DWORD i = 0; l.ok && i < l.count; ++i) {
      std::string what = "printer " + Num(i) + " level " + Num(level);
      if (level == 2) {
        const PRINTER_INFO_2W& p = reinterpret_cast<const PRINTER_INFO_2W*>(l.buf.data())[i];
        CHECK_AT(p.pPrinterName && p.pDriverName && p.pPortName, what);
        CheckString(l, l.count * sizeof p, p.pPrinterName, what);
        CheckString(l, l.count * sizeof p, p.pDriverName, what);
        CheckString(l, l.count * sizeof p, p.pPortName, what);
      } else if (level == 1) {
        const PRINTER_INFO_1W& p = reinterpret_cast<const PRINTER_INFO_1W*>(l.buf.data())[i];
        CHECK_AT(p.pName != NULL, what);
        CheckString(l, l.count * sizeof p, p.pName, what);
      } else {
        const PRINTER_INFO_4W& p = reinterpret_cast<const PRINTER_INFO_4W*>(l.buf.data())[i];
        CHECK_AT(p.pPrinterName != NULL, what);
        CheckString(l, l.count * sizeof p, p.pPrinterName, what);
      }
    }
  }
  DWORD needed = 0, count = 0;
  CHECK(!EnumPrintersW(PRINTER_ENUM_LOCAL, NULL, 99, NULL, 0, &needed, &count));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

CONFORMANCE(EnumPrinterDriversRecords) {
  for (DWORD level : {1u, 2u, 3u}) {
    Listing l = Drivers(level);
    for (DWORD i = 0; l.ok && i < l.count; ++i) {
      std::string what = "driver " + Num(i) + " level " + Num(level);
      if (level == 1) {
        const DRIVER_INFO_1W& d = reinterpret_cast<const DRIVER_INFO_1W*>(l.buf.data())[i];
        CHECK_AT(d.pName != NULL, what);
        CheckString(l, l.count * sizeof d, d.pName, what);
      } else if (level == 3) {
        const DRIVER_INFO_3W& d = reinterpret_cast<const DRIVER_INFO_3W*>(l.buf.data())[i];
        CHECK_AT(d.pName && d.pDriverPath, what);
        CheckString(l, l.count * sizeof d, d.pDriverPath, what);
        CheckString(l, l.count * sizeof d, d.pDependentFiles, what);
        // The driver's files are given with their directory.
        CHECK_AT(!d.pDriverPath || wcschr(d.pDriverPath, L'\\') != NULL, what);
      }
    }
  }
}

CONFORMANCE(EnumMonitorsAndPortsRecords) {
  Listing mons = Monitors(1);
  CHECK(mons.ok && mons.count > 0);  // every spooler has its local port monitor
  for (DWORD i = 0; mons.ok && i < mons.count; ++i) {
    const MONITOR_INFO_1W& m = reinterpret_cast<const MONITOR_INFO_1W*>(mons.buf.data())[i];
    CHECK_AT(m.pName != NULL, "monitor " + Num(i));
    CheckString(mons, mons.count * sizeof m, m.pName, "monitor " + Num(i));
  }
  Listing mons2 = Monitors(2);
  for (DWORD i = 0; mons2.ok && i < mons2.count; ++i) {
    const MONITOR_INFO_2W& m = reinterpret_cast<const MONITOR_INFO_2W*>(mons2.buf.data())[i];
    CHECK_AT(m.pName && m.pDLLName, "monitor " + Num(i));
  }
  Listing ports = Ports(2);
  CHECK(ports.ok && ports.count > 0);
  for (DWORD i = 0; ports.ok && i < ports.count; ++i) {
    const PORT_INFO_2W& p = reinterpret_cast<const PORT_INFO_2W*>(ports.buf.data())[i];
    CHECK_AT(p.pPortName != NULL, "port " + Num(i));
    CheckString(ports, ports.count * sizeof p, p.pPortName, "port " + Num(i));
    CheckString(ports, ports.count * sizeof p, p.pMonitorName, "port " + Num(i));
  }
  Listing ports1 = Ports(1);
  CHECK_EQ(ports1.count, ports.count);
  DWORD needed = 0, count = 0;
  CHECK(!EnumPortsW(NULL, 3, NULL, 0, &needed, &count));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  CHECK(!EnumMonitorsW(NULL, 3, NULL, 0, &needed, &count));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

CONFORMANCE(PrinterDriverDirectorySizeProtocol) {
  WCHAR dir[MAX_PATH];
  DWORD needed = 0;
  LPWSTR x86 = const_cast<LPWSTR>(L"Windows NT x86");
  CHECK(!GetPrinterDriverDirectoryW(NULL, x86, 1, NULL, 0, &needed));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK(needed > sizeof(WCHAR));
  CHECK(GetPrinterDriverDirectoryW(NULL, x86, 1, reinterpret_cast<LPBYTE>(dir), sizeof dir, &needed));
  CHECK_EQ(needed, static_cast<DWORD>((wcslen(dir) + 1) * sizeof(WCHAR)));
  std::wstring d(dir);
  CHECK_AT(d.size() > 7 && d.compare(d.size() - 7, 7, L"\\w32x86") == 0, check::Show(d));
  CHECK(!GetPrinterDriverDirectoryW(NULL, x86, 1, reinterpret_cast<LPBYTE>(dir), needed - 1, &needed));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK(!GetPrinterDriverDirectoryW(NULL, const_cast<LPWSTR>(L"Windows 9x"), 1, reinterpret_cast<LPBYTE>(dir),
                                    sizeof dir, &needed));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
}

// Objects that don't exist: the codes the tools log.
CONFORMANCE(UnknownObjectsAreRefused) {
  HANDLE h = NULL;
  CHECK(!OpenPrinterW(const_cast<LPWSTR>(L"Q52 Conformance No Such Printer"), &h, NULL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  CHECK(!DeletePrinterDriverW(NULL, NULL, const_cast<LPWSTR>(L"Q52 Conformance No Such Driver")));
  DWORD error = GetLastError();
  CHECK_AT(error == ERROR_UNKNOWN_PRINTER_DRIVER ||
               (error == ERROR_INVALID_PRINTER_NAME &&
                WineDiffers("DeletePrinterDriverW of a missing driver fails with "
                            "ERROR_INVALID_PRINTER_NAME (Windows: ERROR_UNKNOWN_PRINTER_DRIVER)")),
           Num(error));
  CHECK(!DeleteMonitorW(NULL, NULL, const_cast<LPWSTR>(L"Q52 Conformance No Such Monitor")));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINT_MONITOR));
  CHECK(!DeletePortW(NULL, NULL, const_cast<LPWSTR>(L"Q52NOSUCHPORT:")));
  error = GetLastError();
  CHECK_AT(error == ERROR_UNKNOWN_PORT ||
               (error == ERROR_NOT_SUPPORTED &&
                WineDiffers("DeletePortW of a missing port fails with ERROR_NOT_SUPPORTED "
                            "(Windows: ERROR_UNKNOWN_PORT)")),
           Num(error));
  MONITOR_INFO_2W mon = {const_cast<LPWSTR>(L"Q52 Conformance Monitor"), NULL,
                         const_cast<LPWSTR>(L"q52-no-such-monitor.dll")};
  CHECK(!AddMonitorW(NULL, 2, reinterpret_cast<LPBYTE>(&mon)));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

// A monitor that is there: adding it again is refused with its own code.
CONFORMANCE(AddMonitorTwiceIsRefused) {
  Listing mons = Monitors(2);
  if (!mons.ok || mons.count == 0) SKIP("no monitor installed");
  const MONITOR_INFO_2W& first = reinterpret_cast<const MONITOR_INFO_2W*>(mons.buf.data())[0];
  MONITOR_INFO_2W again = {first.pName, NULL, first.pDLLName};
  CHECK(!AddMonitorW(NULL, 2, reinterpret_cast<LPBYTE>(&again)));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINT_MONITOR_ALREADY_INSTALLED));
}

#ifdef _WIN32
const wchar_t kScratchDriver[] = L"Q52 Conformance Driver";

// Wine's spooler starts without drivers: one made of empty files in the driver directory, where
// the real call wants them. (Wine also takes a driver whose files are missing, so the refusal of
// that is pinned in winsim's own tests only.)
void AddScratchDriver() {
  WCHAR dir[MAX_PATH];
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(NULL, NULL, 1, reinterpret_cast<LPBYTE>(dir), sizeof dir, &needed)) return;
  DRIVER_INFO_3W d;
  memset(&d, 0, sizeof d);
  d.cVersion = 3;
  d.pName = const_cast<LPWSTR>(kScratchDriver);
  d.pDriverPath = const_cast<LPWSTR>(L"q52conf-drv.dll");
  d.pDataFile = const_cast<LPWSTR>(L"q52conf-data.pdf");
  d.pConfigFile = const_cast<LPWSTR>(L"q52conf-ui.dll");
  for (LPCWSTR f : {d.pDriverPath, d.pDataFile, d.pConfigFile}) {
    std::wstring path = std::wstring(dir) + L"\\" + f;
    FILE* out = _wfopen(path.c_str(), L"wb");
    if (out) fclose(out);
  }
  CHECK_AT(AddPrinterDriverExW(NULL, 3, reinterpret_cast<LPBYTE>(&d), APD_COPY_ALL_FILES),
           "AddPrinterDriverExW, error " + Num(GetLastError()));
}
#endif

// A printer added on an existing driver and port: the record reads back, the driver and the port
// are in use while it exists, and only a handle with delete access deletes it. Changes a
// spooler, so it runs only where that does no harm.
CONFORMANCE(PrinterKeepsItsDriverAndPortInUse) {
  if (!kOnWinsim && !UnderWine()) SKIP("changes the spooler: run against winsim or under Wine");
#ifdef _WIN32
  if (UnderWine()) AddScratchDriver();
#endif
  Listing drivers = Drivers(1);
  Listing ports = Ports(2);
  if (!drivers.ok || drivers.count == 0 || !ports.ok || ports.count == 0) SKIP("no driver or no port to use");
  LPWSTR driver = reinterpret_cast<const DRIVER_INFO_1W*>(drivers.buf.data())[0].pName;
  LPWSTR port = reinterpret_cast<const PORT_INFO_2W*>(ports.buf.data())[0].pPortName;
  PRINTER_INFO_2W info;
  memset(&info, 0, sizeof info);
  info.pPrinterName = const_cast<LPWSTR>(L"Q52 Conformance Printer");
  info.pPortName = port;
  info.pDriverName = driver;
  info.pPrintProcessor = const_cast<LPWSTR>(L"winprint");
  info.pDatatype = const_cast<LPWSTR>(L"RAW");

  PRINTER_INFO_2W bad = info;
  bad.pDriverName = const_cast<LPWSTR>(L"Q52 Conformance No Such Driver");
  CHECK(AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&bad)) == NULL);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  bad = info;
  bad.pPortName = const_cast<LPWSTR>(L"Q52NOSUCHPORT:");
  HANDLE stray = AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&bad));
  if (kOnWinsim || stray == NULL) {
    CHECK(stray == NULL);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  } else {  // Wine accepts a port it doesn't know
    PRINTER_DEFAULTSW all = {NULL, NULL, PRINTER_ALL_ACCESS};
    ClosePrinter(stray);
    if (OpenPrinterW(info.pPrinterName, &stray, &all)) {
      DeletePrinter(stray);
      ClosePrinter(stray);
    }
  }

  HANDLE added = AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&info));
  CHECK_AT(added != NULL, "AddPrinterW, error " + Num(GetLastError()));
  if (!added) return;
  CHECK(ClosePrinter(added));
  const bool refuses = !WineDiffers("the spooler adds a second printer of the same name, deletes a "
                                    "printer through a handle opened for use only and deletes a "
                                    "driver in use (Windows refuses each)");
  if (refuses) {
    CHECK(AddPrinterW(NULL, 2, reinterpret_cast<LPBYTE>(&info)) == NULL);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_ALREADY_EXISTS));
  }

  HANDLE h = NULL;
  // The start of a name names no printer: a caller that cut a long name to its buffer opens
  // nothing rather than this one.
  CHECK(!OpenPrinterW(const_cast<LPWSTR>(L"Q52 Conformance Print"), &h, NULL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  CHECK(OpenPrinterW(const_cast<LPWSTR>(L"q52 conformance printer"), &h, NULL));  // names ignore case
  DWORD needed = 0;
  CHECK(!GetPrinterW(h, 2, NULL, 0, &needed));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buf(needed ? needed : 1);
  CHECK(GetPrinterW(h, 2, buf.data(), needed, &needed));
  const PRINTER_INFO_2W* p = reinterpret_cast<const PRINTER_INFO_2W*>(buf.data());
  CHECK_EQ(std::wstring(p->pPrinterName), std::wstring(L"Q52 Conformance Printer"));
  CHECK_EQ(p->cJobs, 0u);
  CHECK(lstrcmpiW(p->pDriverName, driver) == 0);
  if (refuses) {
    CHECK(!DeletePrinter(h));  // opened for use only
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  CHECK(ClosePrinter(h));

  if (refuses) {
    CHECK(!DeletePrinterDriverW(NULL, NULL, driver));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  }

  PRINTER_DEFAULTSW all = {NULL, NULL, PRINTER_ALL_ACCESS};
  CHECK(OpenPrinterW(info.pPrinterName, &h, &all));
  CHECK(DeletePrinter(h));
  CHECK(ClosePrinter(h));
  CHECK(!OpenPrinterW(info.pPrinterName, &h, NULL));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
#ifdef _WIN32
  if (UnderWine()) CHECK(DeletePrinterDriverW(NULL, NULL, const_cast<LPWSTR>(kScratchDriver)));
#endif
}

}  // namespace
