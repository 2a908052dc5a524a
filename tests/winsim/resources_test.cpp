// The resource-script reader, the dialogs nobody sees, and the runtime's wide-string extras.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/resources.h"

namespace {

const std::string kBulkRc = std::string(Q52_SOURCE_DIR) + "/bulksetup/bulksetup.rc";

TEST(ResourceScript, BulksetupScriptReadWhole) {
  winsim::ResourceScript r = winsim::ReadResourceScriptFile(kBulkRc);
  EXPECT_EQ(r.strings, (std::map<unsigned, std::wstring>{{103, L"bulksetup"}, {109, L"BULKSETUP"}}));
  EXPECT_EQ(r.icons, (std::set<int>{107, 108}));
  EXPECT_EQ(r.dialogs, (std::map<int, std::wstring>{{103, L"About"}}));
  // Character keys with Alt, not virtual keys.
  const std::vector<ACCEL>& keys = r.accelerators.at(109);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].fVirt, FALT);
  EXPECT_EQ(keys[0].key, '?');
  EXPECT_EQ(keys[1].fVirt, FALT);
  EXPECT_EQ(keys[1].key, '/');
  EXPECT_EQ(keys[0].cmd, 104);
  EXPECT_EQ(keys[1].cmd, 104);
}

winsim::ResourceScript Parse(const std::string& script, std::map<std::string, std::string> more = {}) {
  more["test.rc"] = script;
  return winsim::ParseResourceScript("test.rc", [&](const std::string& name) -> std::optional<std::string> {
    auto it = more.find(name);
    if (it == more.end()) return std::nullopt;
    return it->second;
  });
}

TEST(ResourceScript, TrickyLines) {
  std::map<std::string, std::string> files = {
      {"ids.h", "#ifndef IDS_H\n#define IDS_H\n#define BASE 100\n#define IDS_A BASE\n"
                "#define IDC_STATIC (-1)\n#define F(x) x\nint not_a_resource;\n#endif\n"},
      {"i.ico", "icon"},
  };
  winsim::ResourceScript r = Parse(
      "#include <windows.h>\n#include \"ids.h\"\n"
      "/* a comment\n   over lines */ STRINGTABLE\n"
      "{\n"
      "  IDS_A, \"has // no comment\" // but this is one\n"
      "  102 \"say \"\"hi\"\"\\tand\\\\ \\\"q\\\"\"\r\n"
      "  0x67 \"two\\nlines\"\n"
      "}\n"
      "#define PICK\n"
      "#ifdef PICK\n1 ICON \"i.ico\"\n#else\n1 ICON \"missing.ico\"\n#endif\n"
      "#ifndef PICK\n2 ICON \"missing.ico\"\n#else\n"
      "#ifdef NOPE\n3 ICON \"missing.ico\"\n#endif\n2 ICON \"i.ico\"\n#endif\n"
      "5 DIALOGEX 0, 0, 50, 20\nSTYLE WS_POPUP | NOT WS_VISIBLE\nCAPTION \"Box\"\nFONT 9, \"Tahoma\", 400, 0, 1\n"
      "{\n  CONTROL \"x\", IDC_STATIC, \"Static\", SS_LEFT, 1, 2, 3, 4\n}\n"
      "6 MENU\nBEGIN\n  POPUP \"&File\"\n  BEGIN\n    MENUITEM \"END\", 1\n  END\nEND\n"
      "7 DIALOG 0, 0, 1, 1 { }\n",
      files);
  EXPECT_EQ(r.strings, (std::map<unsigned, std::wstring>{
                           {100, L"has // no comment"}, {102, L"say \"hi\"\tand\\ \"q\""}, {103, L"two\nlines"}}));
  EXPECT_EQ(r.icons, (std::set<int>{1, 2})) << "#else after a branch taken, #ifdef inside a branch";
  // The menu's nested block and the string END inside it are passed whole.
  EXPECT_EQ(r.dialogs, (std::map<int, std::wstring>{{5, L"Box"}, {7, L""}}));
}

// Scripts that cannot be read say where and why, rather than giving partial resources.
TEST(ResourceScript, RefusedScripts) {
  struct Row {
    const char* script;
    const char* error;
  } rows[] = {
      {"STRINGTABLE\nBEGIN\n  NOSUCH \"x\"\nEND\n", "test.rc:3: undefined symbol NOSUCH"},
      {"STRINGTABLE\nBEGIN\n  1 \"x\"\n  1 \"y\"\nEND\n", "test.rc:4: duplicate string 1"},
      {"STRINGTABLE\nBEGIN\n  1 \"open\nEND\n", "test.rc:3: string not closed"},
      {"STRINGTABLE\nBEGIN\n  1 \"\\x41\"\nEND\n", "test.rc:3: unsupported escape \\x"},
      {"1 ICON \"none.ico\"\n", "test.rc:1: cannot find icon file \"none.ico\""},
      {"1 ICON \"i.ico\"\n1 ICON \"i.ico\"\n", "test.rc:2: duplicate ICON resource"},
      {"1 RCDATA { 1 }\n", "resource type RCDATA is not supported"},
      {"ABOUT DIALOG 0, 0, 1, 1 { }\n", "test.rc:1: undefined symbol ABOUT"},  // named resources
      {"\n#if 1\n#endif\n", "test.rc:2: #if is not supported"},
      {"#ifdef NOPE\n#if 1\n#endif\n#endif\n", "test.rc:2: #if is not supported"},
      {"\n#ifdef X\n1 MENU { }\n", "test.rc:2: #ifdef without #endif"},
      {"#include \"test.rc\"\n", "test.rc:1: #include nested too deeply"},
      {"#include \"gone.h\"\n", "test.rc:1: cannot find \"gone.h\""},
      {"#define A B\n#define B A\n1 MENU { }\nA MENU { }\n", "test.rc:2: #define nested too deeply"},
      {"#define A (1)\nA MENU { }\n", "test.rc:1: expression expected, found '('"},
      {"1 ACCELERATORS { \"ab\", 1 }\n", "one character"},
      {"1 ACCELERATORS { \"a\" 1 }\n", "test.rc:1: ',' expected"},
      {"1 ACCELERATORS { \"a\", 1, ALTT }\n", "accelerator option expected, found 'ALTT'"},
      {"1 MENU\nBEGIN\n", "test.rc:2: at the end: unexpected end of script"},
      {"1 MENU\nBEGIN\nEND\n1\n", "test.rc:4: at the end: "},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.script);
    try {
      Parse(r.script, {{"i.ico", "icon"}});
      ADD_FAILURE() << "read without error";
    } catch (const winsim::ResourceError& e) {
      EXPECT_NE(std::string(e.what()).find(r.error), std::string::npos) << e.what();
    }
  }
}

const char kDialogScript[] =
    "#include \"ids.h\"\n"
    "LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US\n"
    "STRINGTABLE { 5 \"five\" }\n"
    "IDD_BOX DIALOG 1, 2, 30, 40\nCAPTION \"Box\"\nBEGIN\n  DEFPUSHBUTTON \"OK\", IDOK, 1, 1, 10, 10\nEND\n";
const char kDialogIds[] = "#define IDD_BOX 103\n";

class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    const winsim::ResourceFile files[] = {
        {"box.rc", reinterpret_cast<const unsigned char*>(kDialogScript), sizeof kDialogScript - 1},
        {"ids.h", reinterpret_cast<const unsigned char*>(kDialogIds), sizeof kDialogIds - 1},
    };
    winsim::RegisterResources("box.rc", files, 2);
  }
  void TearDown() override { winsim::RegisterResources("", nullptr, 0); }

  nlohmann::json Report() {
    winsim::ReleaseMachine();
    nlohmann::json report = nlohmann::json::parse(testsupport::ReadFile(machine_.dir() + "/last-run.json"));
    winsim::UseMachine(machine_.dir());
    return report;
  }

  testsupport::TempMachine machine_;
};

const HINSTANCE kSelf = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));

// Ends on OK with the value WM_INITDIALOG brought, as an About box ends with its button.
INT_PTR CALLBACK EndsOnOk(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  static LPARAM init = 0;
  if (msg == WM_INITDIALOG) init = lParam;
  if (msg == WM_COMMAND && LOWORD(wParam) == IDOK) EndDialog(dlg, init);
  return msg == WM_INITDIALOG || msg == WM_COMMAND;
}
INT_PTR CALLBACK EndsOnCancel(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_COMMAND && LOWORD(wParam) == IDCANCEL) EndDialog(dlg, IDCANCEL);
  return FALSE;
}
INT_PTR CALLBACK NeverEnds(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

TEST_F(Dialogs, AnsweredAtOnceAndRecorded) {
  struct Row {
    DLGPROC proc;
    INT_PTR result;
    bool recordedResult;
  } rows[] = {
      {EndsOnOk, 77, true},
      {EndsOnCancel, IDCANCEL, true},
      {NeverEnds, 0, false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(DialogBoxParamW(kSelf, MAKEINTRESOURCEW(103), reinterpret_cast<HWND>(1), r.proc, 77), r.result);
  }
  // The box handle dies with its box.
  EXPECT_FALSE(EndDialog(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7E000010)), 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(DialogBoxParamW(kSelf, MAKEINTRESOURCEW(104), NULL, EndsOnOk, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(DialogBoxParamW(kSelf, MAKEINTRESOURCEW(103), NULL, NULL, 0), -1);

  nlohmann::json boxes = Report()["dialogs"];
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0]["template"], "#103");
  EXPECT_EQ(boxes[0]["caption"], "Box");
  EXPECT_EQ(boxes[0]["owned"], true);
  EXPECT_EQ(boxes[0]["result"], 77);
  EXPECT_EQ(boxes[1]["result"], IDCANCEL);
  EXPECT_TRUE(boxes[2]["result"].is_null());
}

TEST_F(Dialogs, LoadsFromTheProgramOnly) {
  WCHAR buf[8];
  EXPECT_EQ(LoadStringW(kSelf, 5, buf, 8), 4);
  EXPECT_EQ(std::wstring(buf), L"five");
  // A loaded library's resources are not the program's.
  HMODULE newdev = LoadLibraryW(L"newdev.dll");
  ASSERT_TRUE(newdev);
  buf[0] = L'x';
  EXPECT_EQ(LoadStringW(newdev, 5, buf, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
  EXPECT_EQ(buf[0], L'x');  // nothing found, nothing written
  EXPECT_TRUE(FreeLibrary(newdev));
  EXPECT_EQ(LoadStringW(kSelf, 5, NULL, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // The script has no icons or accelerators.
  EXPECT_EQ(LoadIconW(kSelf, MAKEINTRESOURCEW(107)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(LoadAcceleratorsW(kSelf, MAKEINTRESOURCEW(109)), nullptr);
  // Injected faults reach every call.
  winsim::InjectFault("LoadStringW", winsim::CallCount("LoadStringW") + 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(LoadStringW(kSelf, 5, buf, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  winsim::ClearFaults();
  EXPECT_TRUE(winsim::OpenHandles().empty());

  // Without a script at all nothing is found.
  winsim::RegisterResources("", nullptr, 0);
  EXPECT_EQ(LoadStringW(kSelf, 5, buf, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
}

TEST(CrtExtras, CaseInsensitiveComparisons) {
  struct Row {
    const wchar_t *a, *b;
    size_t count;  // 0: _wcsicmp
    int sign;
  } rows[] = {
      {L"USB\\VID_0DD4", L"usb\\vid_0dd4", 0, 0},
      {L"abc", L"ABD", 0, -1},
      {L"abd", L"ABC", 0, 1},
      {L"ab", L"abc", 0, -1},
      {L"a_", L"aB", 0, -1},  // folded to lower case: '_' sorts before 'b'
      {L"\u00c4", L"\u00e4", 0, -1},  // only ASCII letters fold
      {L"USB\\VID_0DD4&REV_0100", L"usb\\vid_0dd4", 12, 0},
      {L"abc", L"abd", 2, 0},
      {L"ab", L"abc", 3, -1},
      {L"x", L"y", 0 + 1, -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.a)) + " " + testing::PrintToString(std::wstring(r.b)));
    int v = r.count ? _wcsnicmp(r.a, r.b, r.count) : _wcsicmp(r.a, r.b);
    EXPECT_EQ((v > 0) - (v < 0), r.sign);
  }
  EXPECT_EQ(_wcsnicmp(L"abc", L"xyz", 0), 0);
}

}  // namespace
