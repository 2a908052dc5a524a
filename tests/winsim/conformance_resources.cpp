// Resources: the program's own strings, icons and accelerators (conformance_resources.rc, built
// into this program), the system's icons and cursors, and what an accelerator sends its window.
#include <windows.h>

#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"
#include "conformance_resources.h"

namespace {

std::string Num(long v) { return std::to_string(v); }

// The program's module: what its entry point would receive.
HINSTANCE Self() {
#ifdef _WIN32
  return GetModuleHandleW(NULL);
#else
  return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
#endif
}

CONFORMANCE(LoadStringSizeProtocol) {
  const std::wstring greeting = L"Hello, resources";  // 16 characters
  struct Row {
    UINT id;
    int bufferSize;
    int result;
    const wchar_t* text;  // what the buffer holds afterwards
  } rows[] = {
      {IDS_GREETING, 64, 16, L"Hello, resources"},
      {IDS_GREETING, 17, 16, L"Hello, resources"},  // exact fit with the terminator
      {IDS_GREETING, 16, 15, L"Hello, resource"},   // cut to the buffer, terminated
      {IDS_GREETING, 2, 1, L"H"},
      {IDS_GREETING, 1, 0, L""},
      {IDS_OTHER_BLOCK, 64, 18, L"Seventeen \"quoted\""},
  };
  for (const Row& r : rows) {
    std::string at = "string " + Num(r.id) + " into " + Num(r.bufferSize);
    WCHAR buf[80];
    for (WCHAR& c : buf) c = L'#';
    int n = LoadStringW(Self(), r.id, buf, r.bufferSize);
    CHECK_EQ_AT(n, r.result, at);
    // Into one character there is room for the terminator only.
    if (r.bufferSize == 1 && WineDiffers("LoadStringW into one character leaves the buffer as it was "
                                         "(Windows: an empty string)"))
      continue;
    CHECK_EQ_AT(std::wstring(buf), std::wstring(r.text), at);
    CHECK_EQ_AT(buf[r.bufferSize], static_cast<WCHAR>(L'#'), at);  // nothing past the buffer
  }
  CHECK_EQ(greeting.size(), static_cast<size_t>(16));

  // With no buffer size, a read-only pointer to the string and its length; the string is not
  // terminated there, so the length is what counts.
  const WCHAR* direct = NULL;
  int n = LoadStringW(Self(), IDS_GREETING, reinterpret_cast<LPWSTR>(&direct), 0);
  CHECK_EQ(n, 16);
  CHECK(direct != NULL);
  if (direct) CHECK_EQ(std::wstring(direct, static_cast<size_t>(n)), greeting);
}

CONFORMANCE(LoadStringMissing) {
  // Strings are kept in blocks of sixteen. Within a block that exists, a missing string is an
  // empty one: the buffer is emptied and no error is set. Without the block, the resource itself
  // is missing and the buffer is left alone.
  struct Row {
    UINT id;
    const char* what;
    WCHAR first;
    DWORD error;
  } rows[] = {
      {IDS_EMPTY, "an empty string", 0, 0xDEAD},
      {3, "no string, in a block that has others", 0, 0xDEAD},
      {40, "a block that does not exist", L'#', ERROR_RESOURCE_NAME_NOT_FOUND},
  };
  for (const Row& r : rows) {
    WCHAR buf[8];
    for (WCHAR& c : buf) c = L'#';
    SetLastError(0xDEAD);
    CHECK_EQ_AT(LoadStringW(Self(), r.id, buf, 8), 0, r.what);
    CHECK_EQ_AT(GetLastError(), r.error, r.what);
    CHECK_EQ_AT(buf[0], r.first, r.what);
    const WCHAR* direct = NULL;
    CHECK_EQ_AT(LoadStringW(Self(), r.id, reinterpret_cast<LPWSTR>(&direct), 0), 0, r.what);
  }
}

CONFORMANCE(LoadIconsOfProgramAndSystem) {
  HICON big = LoadIconW(Self(), MAKEINTRESOURCEW(IDI_PRINTER));
  CHECK(big != NULL);
  CHECK(LoadIconW(Self(), MAKEINTRESOURCEW(IDI_PRINTER)) == big);  // shared: the same handle
  CHECK(LoadIconW(Self(), L"#107") == big);

  SetLastError(0);
  CHECK(LoadIconW(Self(), MAKEINTRESOURCEW(999)) == NULL);
  // Wine (8.0) names the type, not the name, for an icon the program lacks.
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));

  const LPCWSTR system[] = {IDI_APPLICATION, IDI_HAND, IDI_QUESTION, IDI_EXCLAMATION, IDI_ASTERISK, IDI_WINLOGO};
  for (LPCWSTR id : system) {
    std::string at = "system icon " + Num(static_cast<long>(reinterpret_cast<ULONG_PTR>(id)));
    HICON h = LoadIconW(NULL, id);
    CHECK_AT(h != NULL, at);
    CHECK_AT(LoadIconW(NULL, id) == h, at);
    CHECK_AT(h != big, at);
  }
  // A null module offers the system's icons only.
  CHECK(LoadIconW(NULL, MAKEINTRESOURCEW(IDI_PRINTER)) == NULL);
}

CONFORMANCE(LoadCursors) {
  const LPCWSTR system[] = {IDC_ARROW, IDC_IBEAM, IDC_WAIT, IDC_CROSS, IDC_SIZEALL, IDC_NO, IDC_HAND, IDC_HELP};
  for (LPCWSTR id : system) {
    std::string at = "system cursor " + Num(static_cast<long>(reinterpret_cast<ULONG_PTR>(id)));
    HCURSOR h = LoadCursorW(NULL, id);
    CHECK_AT(h != NULL, at);
    CHECK_AT(LoadCursorW(NULL, id) == h, at);
  }
  CHECK(LoadCursorW(NULL, IDC_ARROW) != LoadCursorW(NULL, IDC_WAIT));
  // The program has no cursors of its own.
  SetLastError(0);
  CHECK(LoadCursorW(Self(), IDC_ARROW) == NULL);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

CONFORMANCE(AcceleratorTableAsCompiled) {
  HACCEL table = LoadAcceleratorsW(Self(), MAKEINTRESOURCEW(IDA_KEYS));
  CHECK(table != NULL);
  // Each load makes a table of its own (Wine 8.0); they are freed with the program.
  CHECK(LoadAcceleratorsW(Self(), MAKEINTRESOURCEW(IDA_KEYS)) != NULL);
  ACCEL entries[8];
  memset(entries, 0, sizeof entries);
  CHECK_EQ(CopyAcceleratorTableW(table, NULL, 0), 6);
  CHECK_EQ(CopyAcceleratorTableW(table, entries, 8), 6);
  CHECK_EQ(CopyAcceleratorTableW(table, entries, 2), 2);
  struct Want {
    BYTE fVirt;
    WORD key, cmd;
  } want[] = {
      {FALT, '?', 104}, {FALT, '/', 104}, {0, 'a', 201},
      {FVIRTKEY | FCONTROL, 'B', 202},  // "^B" is Control+B as a virtual key
      {FVIRTKEY, 0x70, 203}, {FVIRTKEY | FCONTROL, 'X', 204},
  };
  CHECK_EQ(CopyAcceleratorTableW(table, entries, 8), 6);
  for (int i = 0; i < 6; ++i) {
    std::string at = "entry " + Num(i);
    CHECK_EQ_AT(static_cast<int>(entries[i].fVirt), static_cast<int>(want[i].fVirt), at);
    CHECK_EQ_AT(entries[i].key, want[i].key, at);
    CHECK_EQ_AT(entries[i].cmd, want[i].cmd, at);
  }
  SetLastError(0);
  CHECK(LoadAcceleratorsW(Self(), MAKEINTRESOURCEW(555)) == NULL);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

// The commands a window received.
std::vector<WPARAM>& Received() {
  static std::vector<WPARAM> commands;
  return commands;
}

LRESULT CALLBACK Recorder(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_COMMAND) {
    Received().push_back(wParam);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

CONFORMANCE(TranslateAcceleratorSendsCommand) {
  WNDCLASSW wc;
  memset(&wc, 0, sizeof wc);
  wc.lpfnWndProc = Recorder;
  wc.hInstance = Self();
  wc.lpszClassName = L"Q52ConformanceAccel";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, L"Q52ConformanceAccel", L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, NULL, NULL,
                                Self(), NULL);
  if (!window) SKIP("no window can be created here");
  HACCEL table = LoadAcceleratorsW(Self(), MAKEINTRESOURCEW(IDA_KEYS));
  const LPARAM kAlt = 0x20000000;  // the context code: Alt is down
  struct Row {
    UINT message;
    WPARAM key;
    LPARAM lParam;
    int translated;
    WPARAM command;  // MAKEWPARAM(command, 1) when translated
  } rows[] = {
      // A character entry with Alt answers the key going down with Alt, not the character.
      {WM_SYSKEYDOWN, '?', kAlt, 1, 104},
      {WM_KEYDOWN, '/', kAlt, 1, 104},
      {WM_SYSCHAR, '?', kAlt, 0, 0},
      {WM_SYSKEYDOWN, '?', 0, 0, 0},
      // Without Alt it answers the character, whatever the context code says.
      {WM_CHAR, 'a', 0, 1, 201},
      {WM_SYSCHAR, 'a', kAlt, 1, 201},
      {WM_CHAR, 'A', 0, 0, 0},  // characters match exactly
      {WM_KEYDOWN, 'a', 0, 0, 0},
      // A virtual key answers its key going down; Shift, Control and Alt come from the
      // keyboard's state, and no key is held here.
      {WM_KEYDOWN, 0x70, 0, 1, 203},
      {WM_SYSKEYDOWN, 0x70, kAlt, 1, 203},
      {WM_CHAR, 0x70, 0, 0, 0},
      {WM_KEYUP, 0x70, 0, 0, 0},
      {WM_KEYDOWN, 'X', 0, 0, 0},
      {WM_KEYDOWN, 'B', 0, 0, 0},
  };
  for (const Row& r : rows) {
    std::string at = "message " + Num(static_cast<long>(r.message)) + " key " + Num(static_cast<long>(r.key));
    Received().clear();
    MSG msg;
    memset(&msg, 0, sizeof msg);
    msg.hwnd = window;
    msg.message = r.message;
    msg.wParam = r.key;
    msg.lParam = r.lParam;
    CHECK_EQ_AT(TranslateAcceleratorW(window, table, &msg) != 0, r.translated != 0, at);
    // Sent, not posted: the window has its command before the call returns.
    CHECK_EQ_AT(Received().size(), static_cast<size_t>(r.translated), at);
    if (r.translated && Received().size() == 1)
      CHECK_EQ_AT(Received()[0], static_cast<WPARAM>(r.command | (1u << 16)), at);
  }
  MSG msg;
  memset(&msg, 0, sizeof msg);
  msg.message = WM_SYSCHAR;
  msg.wParam = '?';
  msg.lParam = kAlt;
  CHECK_EQ(TranslateAcceleratorW(window, NULL, &msg), 0);
  DestroyWindow(window);
#ifdef _WIN32
  UnregisterClassW(L"Q52ConformanceAccel", Self());  // the simulation keeps a class for the process
#endif
}

// Ends its box as soon as it opens, so that the box ends on Windows as it does here.
INT_PTR CALLBACK EndAtOnce(HWND dlg, UINT msg, WPARAM, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    EndDialog(dlg, lParam);
    return TRUE;
  }
  return FALSE;
}

CONFORMANCE(DialogBoxResultIsEndDialogs) {
  CHECK_EQ(DialogBoxParamW(Self(), MAKEINTRESOURCEW(IDD_BOX), NULL, EndAtOnce, 42), static_cast<INT_PTR>(42));
  SetLastError(0);
  CHECK_EQ(DialogBoxParamW(Self(), MAKEINTRESOURCEW(777), NULL, EndAtOnce, 42), static_cast<INT_PTR>(-1));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
}

}  // namespace
