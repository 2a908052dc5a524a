#include "main.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "log.h"
#include "unique_resource.h"

bool g_bRunUninstall = false;

namespace {

const char kTitle[] = "\nVexa Q52 PLX Uninstaller for Windows";
const char kVersion[] = "v0.0.002";
const char kNoticeLine[] = "\nCopyright (c) 2004-2008 Vexa Corporation. All rights reserved.";
const char kNoticeBody[] =
    "\nThis program is proprietary to Vexa Corporation and is licensed only for use with\n"
    "Vexa Q52 printers. Copying, modifying or distributing it without the written\n"
    "permission of Vexa Corporation is prohibited.\n\n";
const char kLaterReleaseMessage[] =
    "\nA version of PLX that is later than PLX 2.5.0 is installed.\nThis Uninstaller will not execute. \n"
    "Use Add/Remove Programs to remove Post PLX 2.5.0 versions from your system.\n\n";
const wchar_t kLaterReleaseKey[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{5D0C7A21-8E34-4B9F-A1C6-72E0B5F3D914}";

}  // namespace

void ParseArguments(int argc, char* argv[]) {
  if (argc <= 1) g_bRunUninstall = true;
  for (int i = 1; i < argc; ++i) {
    WCHAR arg[MAX_PATH];
    memset(arg, 0, sizeof(arg));
    if (MultiByteToWideChar(CP_ACP, 0, argv[i], -1, arg, MAX_PATH) == 0) {
      // A failed conversion may have written part of the buffer: the argument counts as empty.
      memset(arg, 0, sizeof(arg));
    }
    if (arg[0] != L'/') continue;
    if (arg[1] == L'?') {
      g_bRunUninstall = false;
      PrintBanner();
    } else {
      g_bRunUninstall = true;
    }
  }
}

void PrintBanner() {
  printf("%s %s\n", kTitle, kVersion);
  printf("%s\n", kNoticeLine);
  printf("%s", kNoticeBody);
}

bool CheckOSVersion() {
  OSVERSIONINFOW osvi;
  memset(&osvi, 0, sizeof(osvi));
  // 276 on Windows; sizeof keeps it right where wchar_t is wider.
  osvi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
  if (!GetVersionExW(&osvi)) {
    Log(LOG_ERROR, "GetVersionEx failed. GetLastError():%d", static_cast<int>(GetLastError()));
    return false;
  }
  Log(LOG_TRACE, "dwOSVersionInfoSize: %d", static_cast<int>(osvi.dwOSVersionInfoSize));
  Log(LOG_TRACE, "dwMajorVersion: %d", static_cast<int>(osvi.dwMajorVersion));
  Log(LOG_TRACE, "dwMinorVersion: %d", static_cast<int>(osvi.dwMinorVersion));
  Log(LOG_TRACE, "dwBuildNumber: %d", static_cast<int>(osvi.dwBuildNumber));
  Log(LOG_TRACE, "dwPlatformId: %d", static_cast<int>(osvi.dwPlatformId));
  Log(LOG_TRACE, "szCSDVersion: '%ws'", osvi.szCSDVersion);
  if (osvi.dwPlatformId == VER_PLATFORM_WIN32_NT && osvi.dwMajorVersion == 5) return true;
  Log(LOG_ERROR, "Operating System not supported!");
  return false;
}

bool CheckLaterVersion() {
  UniqueKey key;
  LSTATUS rc = RegOpenKeyW(HKEY_LOCAL_MACHINE, kLaterReleaseKey, key.put());
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) {
    // Only a key that opens stops the run. Anything else lets it go on, but a person reading the
    // log should see that the question went unanswered.
    Log(LOG_ERROR, "CheckLaterVersion - RegOpenKey Failed. rc=0x%x", static_cast<unsigned>(rc));
    return true;
  }
  key.reset();
  printf("%s\n", kLaterReleaseMessage);
  return false;
}
