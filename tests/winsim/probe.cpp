// A program that makes the platform calls the process tests ask for, one command after another:
//   open KEY         RegOpenKeyExA under HKLM and close again; prints the result code
//   leak KEY         opens the key and never closes it
//   close-at-exit KEY  opens the key; a static object closes it when the program ends
//   set NAME VALUE   stores VALUE as a REG_SZ in HKLM\SOFTWARE\Q52Probe
//   get NAME         prints that value, or the result code
//   version          prints what GetVersionExW reports
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Constructed before any platform call, destroyed after main: its close must still count.
struct KeyClosedAtExit {
  HKEY key = NULL;
  ~KeyClosedAtExit() {
    if (key) RegCloseKey(key);
  }
} g_closedAtExit;

const wchar_t kProbeKey[] = L"SOFTWARE\\Q52Probe";

std::wstring Widen(const char* s) {
  std::wstring w;
  for (; *s; ++s) w.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*s)));
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string cmd = argv[i];
    auto arg = [&]() -> const char* {
      if (i + 1 >= argc) {
        fprintf(stderr, "probe: %s needs an argument\n", cmd.c_str());
        exit(2);
      }
      return argv[++i];
    };
    if (cmd == "open" || cmd == "leak" || cmd == "close-at-exit") {
      HKEY key = NULL;
      LSTATUS rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, arg(), 0, KEY_QUERY_VALUE, &key);
      printf("%d\n", static_cast<int>(rc));
      if (rc != ERROR_SUCCESS) continue;
      if (cmd == "open") RegCloseKey(key);
      if (cmd == "close-at-exit") g_closedAtExit.key = key;
    } else if (cmd == "set") {
      std::wstring name = Widen(arg()), value = Widen(arg());
      HKEY key = NULL;
      LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProbeKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
      if (rc == ERROR_SUCCESS) {
        rc = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
        RegCloseKey(key);
      }
      printf("%d\n", static_cast<int>(rc));
    } else if (cmd == "get") {
      std::wstring name = Widen(arg());
      HKEY key = NULL;
      WCHAR data[MAX_PATH] = {0};
      DWORD size = sizeof(data) - sizeof(WCHAR);
      LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProbeKey, 0, KEY_QUERY_VALUE, &key);
      if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExW(key, name.c_str(), NULL, NULL, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
      }
      if (rc == ERROR_SUCCESS) printf("%ls\n", data);
      else printf("%d\n", static_cast<int>(rc));
    } else if (cmd == "version") {
      OSVERSIONINFOW info;
      memset(&info, 0, sizeof info);
      info.dwOSVersionInfoSize = sizeof info;
      if (!GetVersionExW(&info)) {
        printf("failed %u\n", static_cast<unsigned>(GetLastError()));
        continue;
      }
      printf("%u.%u.%u %u %ls\n", static_cast<unsigned>(info.dwMajorVersion), static_cast<unsigned>(info.dwMinorVersion),
             static_cast<unsigned>(info.dwBuildNumber), static_cast<unsigned>(info.dwPlatformId), info.szCSDVersion);
    } else {
      fprintf(stderr, "probe: unknown command %s\n", cmd.c_str());
      return 2;
    }
  }
  return 0;
}
