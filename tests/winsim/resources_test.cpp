// The resource-script reader, the dialogs nobody sees, and the runtime's wide-string extras.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"
#include "winsim/resources.h"

namespace {

using winsim::ResId;

const std::string kBulkRc = std::string(Q52_SOURCE_DIR) + "/bulksetup/bulksetup.rc";

TEST(ResourceScript, BulksetupScriptReadWhole) {
  winsim::ResourceScript r = winsim::ReadResourceScriptFile(kBulkRc);
  EXPECT_EQ(r.defines.at("IDD_ABOUTBOX"), 103);

  ASSERT_EQ(r.strings.size(), 2u);
  EXPECT_EQ(r.strings.at(103).text, L"bulksetup");
  EXPECT_EQ(r.strings.at(109).text, L"BULKSETUP");
  EXPECT_EQ(r.strings.at(103).language, 0x0409);

  const winsim::Menu& menu = r.menus.at(ResId(109));
  ASSERT_EQ(menu.items.size(), 2u);
  EXPECT_TRUE(menu.items[0].popup);
  EXPECT_EQ(menu.items[0].text, L"&File");
  ASSERT_EQ(menu.items[0].items.size(), 1u);
  EXPECT_EQ(menu.items[0].items[0].text, L"E&xit");
  EXPECT_EQ(menu.items[0].items[0].id, 105);
  EXPECT_EQ(menu.items[1].text, L"&Help");
  ASSERT_EQ(menu.items[1].items.size(), 1u);
  EXPECT_EQ(menu.items[1].items[0].text, L"&About ...");
  EXPECT_EQ(menu.items[1].items[0].id, 104);

  // Character keys with Alt, not virtual keys.
  const std::vector<ACCEL>& keys = r.accelerators.at(ResId(109)).entries;
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].fVirt, FALT);
  EXPECT_EQ(keys[0].key, '?');
  EXPECT_EQ(keys[1].fVirt, FALT);
  EXPECT_EQ(keys[1].key, '/');
  EXPECT_EQ(keys[0].cmd, 104);
  EXPECT_EQ(keys[1].cmd, 104);

  const winsim::Dialog& about = r.dialogs.at(ResId(103));
  EXPECT_EQ(about.caption, L"About");
  EXPECT_EQ(about.style, 0xC800C0u);  // modal frame, caption, system menu, and the font's flag
  EXPECT_EQ(about.fontSize, 8);
  EXPECT_EQ(about.fontName, L"System");
  EXPECT_EQ(std::vector<int>({about.x, about.y, about.cx, about.cy}), std::vector<int>({22, 17, 230, 82}));
  EXPECT_EQ(about.language, 0x0409);
  struct Want {
    const char* statement;
    int id;
    std::vector<int> rect;
    uint32_t style;
  } want[] = {
      {"ICON", 2, {14, 9, 20, 20}, 0x50000003},
      {"LTEXT", -1, {49, 14, 119, 25}, 0x50000080},  // no prefix processing
      {"LTEXT", -1, {48, 46, 130, 27}, 0x50020000},
      {"DEFPUSHBUTTON", IDOK, {195, 6, 30, 11}, 0x50010001},  // a tab stop
  };
  ASSERT_EQ(about.controls.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const winsim::DialogControl& c = about.controls[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(c.statement, want[i].statement);
    EXPECT_EQ(c.id, want[i].id);
    EXPECT_EQ(std::vector<int>({c.x, c.y, c.cx, c.cy}), want[i].rect);
    EXPECT_EQ(c.style, want[i].style);
  }
  EXPECT_EQ(about.controls[0].textId, 107);
  EXPECT_EQ(about.controls[1].text,
            L"Vexa Q52 USB Bulk Driver Install Tool for Windows  \nbulksetup Version 1.0.0");
  EXPECT_EQ(std::count(about.controls[2].text.begin(), about.controls[2].text.end(), L'\n'), 2);
  EXPECT_EQ(about.controls[3].text, L"OK");

  ASSERT_EQ(r.icons.size(), 2u);
  const winsim::Icon& big = r.icons.at(ResId(107));
  ASSERT_EQ(big.images.size(), 2u);
  EXPECT_EQ(big.images[0].width, 32);
  EXPECT_EQ(big.images[1].width, 16);
  const winsim::Icon& small = r.icons.at(ResId(108));
  ASSERT_EQ(small.images.size(), 1u);
  EXPECT_EQ(small.images[0].width, 16);
  EXPECT_EQ(small.images[0].bitCount, 32);
}

// A valid one-image icon file.
std::string TinyIcon() {
  std::string d("\0\0\1\0\1\0", 6);
  const unsigned char entry[16] = {16, 16, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 22, 0, 0, 0};
  d.append(reinterpret_cast<const char*>(entry), 16);
  return d + "DATA";
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
      {"ids.h", "#ifndef IDS_H\n#define IDS_H\n#define BASE 100\n#define IDS_A (BASE + 1)\n"
                "#define IDC_STATIC (-1)\nint not_a_resource;\n#endif\n"},
      {"i.ico", TinyIcon()},
  };
  winsim::ResourceScript r = Parse(
      "#include <windows.h>\n#include \"ids.h\"\n"
      "/* a comment\n   over lines */ STRINGTABLE\n"
      "{\n"
      "  IDS_A, \"has // no comment\" // but this is one\n"
      "  102 \"say \"\"hi\"\"\\tand\\\\ \\x41\"\n"
      "}\n"
      "#define PICK 1\n"
      "#if defined(PICK) && !defined(NOPE)\n"
      "1 ICON \"i.ico\"\n"
      "#else\n"
      "1 ICON \"missing.ico\"\n"
      "#endif\n"
      "#ifdef NOPE\n#error not taken\n#elif PICK\n2 ICON \"i.ico\"\n#else\n3 ICON \"i.ico\"\n#endif\n"
      "ABOUT DIALOGEX 0, 0, 50, 20, 0\n"
      "STYLE WS_POPUP | \\\n  WS_VISIBLE\n"
      "EXSTYLE WS_EX_TOOLWINDOW\n"
      "FONT 9, \"Tahoma\", 400, 0, 1\n"
      "{\n"
      "  CONTROL \"x\", IDC_STATIC, \"Static\", SS_LEFT | NOT WS_VISIBLE, 1, 2, 3, 4, WS_EX_STATICEDGE\n"
      "  CTEXT L\"wide\", 7, 1, 2, 3, 4, NOT WS_GROUP\n"
      "  ICON NAMED, 8, 0, 0\n"
      "}\n",
      files);
  EXPECT_EQ(r.strings.at(101).text, L"has // no comment");
  EXPECT_EQ(r.strings.at(102).text, L"say \"hi\"\tand\\ A");
  EXPECT_EQ(r.strings.at(101).language, 0);  // no LANGUAGE statement
  EXPECT_EQ(r.defines.at("IDC_STATIC"), -1);
  EXPECT_EQ(r.icons.at(ResId(1)).file, "i.ico");
  EXPECT_EQ(r.icons.count(ResId(2)), 1u) << "#elif after a branch not taken";
  EXPECT_EQ(r.icons.count(ResId(3)), 0u) << "#else after a branch taken";
  const winsim::Dialog& d = r.dialogs.at(winsim::ResourceName{-1, L"ABOUT"});
  EXPECT_TRUE(d.extended);
  EXPECT_EQ(d.style, 0x90000040u);  // the given style and the font's flag; no caption
  EXPECT_EQ(d.exStyle, 0x80u);
  EXPECT_EQ(d.fontName, L"Tahoma");
  ASSERT_EQ(d.controls.size(), 3u);
  EXPECT_EQ(d.controls[0].className, L"Static");
  EXPECT_EQ(d.controls[0].id, -1);
  EXPECT_EQ(d.controls[0].style, 0x40000000u);  // a child, not visible
  EXPECT_EQ(d.controls[0].exStyle, 0x20000u);
  EXPECT_EQ(d.controls[1].text, L"wide");
  EXPECT_EQ(d.controls[1].style, 0x50000001u);  // centred; NOT took the group flag away
  EXPECT_EQ(d.controls[2].text, L"NAMED");
  EXPECT_EQ(d.controls[2].textId, -1);
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
      {"1 ICON \"none.ico\"\n", "test.rc:1: cannot find icon file \"none.ico\""},
      {"1 ICON \"bad.ico\"\n", "test.rc:1: \"bad.ico\" is not an icon file"},
      {"1 ICON \"short.ico\"\n", "lies outside the file"},
      {"1 RCDATA { 1 }\n", "resource type RCDATA is not supported"},
      {"\n#if 1\n1 MENU { }\n", "test.rc:2: #if without #endif"},
      {"\n#if\n#endif\n", "test.rc:2: #if without an expression"},
      {"#include \"test.rc\"\n", "test.rc:1: #include nested too deeply"},
      {"#include \"gone.h\"\n", "test.rc:1: cannot find \"gone.h\""},
      {"1 ACCELERATORS { \"ab\", 1 }\n", "one character"},
      {"1 ACCELERATORS { \"a\", 1, ASCII, SHIFT }\n", "need a VIRTKEY"},
      {"1 MENU\nBEGIN\n  MENUITEM \"x\" 5\nEND\n", "test.rc:3: ',' expected"},
      {"1 DIALOG 0, 0, 1, 1\nBEGIN\n  LISTBOX 1, 0, 0, 1, 1\nEND\n", "control LISTBOX is not supported"},
      {"1 MENU\nBEGIN\n", "test.rc:2: at the end: unexpected end of script"},
      {"1 MENU\nBEGIN\nEND\n1\n", "test.rc:4: at the end: "},
  };
  std::string shortIcon = TinyIcon().substr(0, 24);
  for (const Row& r : rows) {
    SCOPED_TRACE(r.script);
    try {
      Parse(r.script, {{"bad.ico", "not an icon"}, {"short.ico", shortIcon}});
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
  EXPECT_EQ(boxes[0]["language"], 0x409);
  EXPECT_EQ(boxes[0]["owned"], true);
  EXPECT_EQ(boxes[0]["controls"][0]["text"], "OK");
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
  // The script has no icons, menus or accelerators.
  EXPECT_EQ(LoadIconW(kSelf, MAKEINTRESOURCEW(107)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(LoadMenuW(kSelf, MAKEINTRESOURCEW(109)), nullptr);
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
