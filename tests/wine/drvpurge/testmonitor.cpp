// A small language/port monitor for seeding a spooler: ports are added and deleted through the
// monitor's transceiver ("AddPort", "DeletePort") or DeletePortW, kept in the registry so that
// every process that loads the monitor sees the same list, and accept
// print data without sending it anywhere. Each port is a sub-key of the monitor's "Ports" key,
// which is where the spooler looks to find the monitor that owns a port.
#include <windows.h>
#include <winspool.h>
#include <winsplp.h>

#include <cwchar>
#include <new>

namespace {

const wchar_t kMonitorName[] = L"Vexa Q52 Language/Port Monitor";
const wchar_t kPortsKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Vexa Q52 Language/Port Monitor\\Ports";
const wchar_t kDescription[] = L"Vexa Q52 test port";

struct Port {
  wchar_t name[MAX_PATH];
};

struct Xcv {
  ACCESS_MASK access;
};

// The monitor handle is only compared against null by the spooler.
int g_monitorTag;

HKEY OpenPorts(bool create) {
  HKEY key = nullptr;
  LONG rc = create ? RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                     nullptr, &key, nullptr)
                   : RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, KEY_ALL_ACCESS, &key);
  return rc == ERROR_SUCCESS ? key : nullptr;
}

bool PortExists(const wchar_t* name) {
  HKEY key = OpenPorts(false);
  if (key == nullptr) return false;
  HKEY port = nullptr;
  bool found = RegOpenKeyExW(key, name, 0, KEY_READ, &port) == ERROR_SUCCESS;
  if (found) RegCloseKey(port);
  RegCloseKey(key);
  return found;
}

// Port names come from the caller's buffer; refuse anything without a terminator in it or that
// would not fit a port name.
bool ValidName(const BYTE* data, DWORD bytes, const wchar_t** name) {
  if (data == nullptr || bytes < sizeof(wchar_t)) return false;
  const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
  size_t chars = bytes / sizeof(wchar_t);
  size_t len = wcsnlen(text, chars);
  if (len == chars || len == 0 || len >= MAX_PATH || wcschr(text, L'\\') != nullptr) return false;
  *name = text;
  return true;
}

DWORD AddPortByName(const wchar_t* name) {
  if (PortExists(name)) return ERROR_ALREADY_EXISTS;
  HKEY key = OpenPorts(true);
  if (key == nullptr) return ERROR_ACCESS_DENIED;
  HKEY port = nullptr;
  LONG rc = RegCreateKeyExW(key, name, 0, nullptr, 0, KEY_READ, nullptr, &port, nullptr);
  if (rc == ERROR_SUCCESS) RegCloseKey(port);
  RegCloseKey(key);
  return static_cast<DWORD>(rc);
}

DWORD DeletePortByName(const wchar_t* name) {
  HKEY key = OpenPorts(false);
  if (key == nullptr) return ERROR_UNKNOWN_PORT;
  LONG rc = RegDeleteKeyW(key, name);
  RegCloseKey(key);
  return rc == ERROR_FILE_NOT_FOUND ? ERROR_UNKNOWN_PORT : static_cast<DWORD>(rc);
}

BOOL WINAPI EnumPorts(HANDLE, LPWSTR, DWORD level, LPBYTE out, DWORD outBytes, LPDWORD needed,
                      LPDWORD returned) {
  if (level != 1 && level != 2) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  *needed = 0;
  *returned = 0;
  wchar_t names[16][MAX_PATH];
  DWORD count = 0;
  if (HKEY key = OpenPorts(false)) {
    for (DWORD i = 0; count < ARRAYSIZE(names); ++i) {
      DWORD chars = MAX_PATH;
      if (RegEnumKeyExW(key, i, names[count], &chars, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        break;
      ++count;
    }
    RegCloseKey(key);
  }
  // Records first, their strings packed behind them, as the spooler does.
  DWORD fixed = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
  DWORD total = 0;
  for (DWORD i = 0; i < count; ++i) {
    total += fixed + static_cast<DWORD>((wcslen(names[i]) + 1) * sizeof(wchar_t));
    if (level == 2) total += sizeof(kMonitorName) + sizeof(kDescription);
  }
  *needed = total;
  if (total > outBytes || (total > 0 && out == nullptr)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  BYTE* strings = out + fixed * count;
  auto put = [&strings](const wchar_t* text) {
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    memcpy(strings, text, bytes);
    wchar_t* placed = reinterpret_cast<wchar_t*>(strings);
    strings += bytes;
    return placed;
  };
  for (DWORD i = 0; i < count; ++i) {
    if (level == 1) {
      reinterpret_cast<PORT_INFO_1W*>(out)[i].pName = put(names[i]);
    } else {
      PORT_INFO_2W& info = reinterpret_cast<PORT_INFO_2W*>(out)[i];
      info.pPortName = put(names[i]);
      info.pMonitorName = put(kMonitorName);
      info.pDescription = put(kDescription);
      info.fPortType = PORT_TYPE_WRITE;
      info.Reserved = 0;
    }
  }
  *returned = count;
  return TRUE;
}

BOOL WINAPI OpenPort(HANDLE, LPWSTR name, PHANDLE handle) {
  if (name == nullptr || !PortExists(name)) {
    SetLastError(ERROR_UNKNOWN_PORT);
    return FALSE;
  }
  Port* port = new (std::nothrow) Port{};
  if (port == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  wcsncpy(port->name, name, MAX_PATH - 1);
  *handle = port;
  return TRUE;
}

BOOL WINAPI StartDocPort(HANDLE, LPWSTR, DWORD, DWORD, LPBYTE) { return TRUE; }

BOOL WINAPI WritePort(HANDLE, LPBYTE, DWORD bytes, LPDWORD written) {
  *written = bytes;
  return TRUE;
}

BOOL WINAPI ReadPort(HANDLE, LPBYTE, DWORD, LPDWORD read) {
  *read = 0;
  return TRUE;
}

BOOL WINAPI EndDocPort(HANDLE) { return TRUE; }

BOOL WINAPI ClosePort(HANDLE handle) {
  delete static_cast<Port*>(handle);
  return TRUE;
}

BOOL WINAPI DeletePort(HANDLE, LPWSTR, HWND, LPWSTR name) {
  DWORD rc = name == nullptr ? ERROR_INVALID_PARAMETER : DeletePortByName(name);
  SetLastError(rc);
  return rc == ERROR_SUCCESS;
}

BOOL WINAPI XcvOpenPort(HANDLE, LPCWSTR, ACCESS_MASK access, PHANDLE handle) {
  Xcv* xcv = new (std::nothrow) Xcv{access};
  if (xcv == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *handle = xcv;
  return TRUE;
}

DWORD WINAPI XcvDataPort(HANDLE handle, LPCWSTR what, PBYTE in, DWORD inBytes, PBYTE, DWORD,
                         PDWORD outNeeded) {
  if (outNeeded != nullptr) *outNeeded = 0;
  const wchar_t* name = nullptr;
  bool adds = lstrcmpiW(what, L"AddPort") == 0;
  bool deletes = lstrcmpiW(what, L"DeletePort") == 0;
  if (!adds && !deletes) return ERROR_INVALID_PARAMETER;
  if ((static_cast<Xcv*>(handle)->access & SERVER_ACCESS_ADMINISTER) == 0)
    return ERROR_ACCESS_DENIED;
  if (!ValidName(in, inBytes, &name)) return ERROR_INVALID_PARAMETER;
  return adds ? AddPortByName(name) : DeletePortByName(name);
}

BOOL WINAPI XcvClosePort(HANDLE handle) {
  delete static_cast<Xcv*>(handle);
  return TRUE;
}

VOID WINAPI Shutdown(HANDLE) {}

MONITOR2 MakeMonitor() {
  MONITOR2 m{};
  m.cbSize = sizeof(MONITOR2);
  m.pfnEnumPorts = EnumPorts;
  m.pfnOpenPort = OpenPort;
  m.pfnStartDocPort = StartDocPort;
  m.pfnWritePort = WritePort;
  m.pfnReadPort = ReadPort;
  m.pfnEndDocPort = EndDocPort;
  m.pfnClosePort = ClosePort;
  m.pfnDeletePort = DeletePort;
  m.pfnXcvOpenPort = XcvOpenPort;
  m.pfnXcvDataPort = XcvDataPort;
  m.pfnXcvClosePort = XcvClosePort;
  m.pfnShutdown = Shutdown;
  return m;
}

}  // namespace

extern "C" __declspec(dllexport) LPMONITOR2 WINAPI InitializePrintMonitor2(PMONITORINIT,
                                                                           PHANDLE monitor) {
  static MONITOR2 table = MakeMonitor();
  *monitor = &g_monitorTag;
  return &table;
}
