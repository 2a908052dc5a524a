// regedit's file format: what an import stores, what it refuses, and that an export reads back.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "testsupport.h"
#include "winsim/control.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempMachine;

const char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Q52RegTest";
const wchar_t kSubKey[] = L"SOFTWARE\\Q52RegTest";

struct Value {
  LSTATUS rc = ERROR_FILE_NOT_FOUND;
  DWORD type = 0;
  std::vector<uint8_t> bytes;  // as RegQueryValueExW returns them (wide strings in the host's width)
};

Value Query(const wchar_t* subKey, const wchar_t* name) {
  Value v;
  HKEY key = nullptr;
  v.rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &key);
  if (v.rc != ERROR_SUCCESS) return v;
  DWORD size = 0;
  v.rc = RegQueryValueExW(key, name, nullptr, &v.type, nullptr, &size);
  if (v.rc == ERROR_SUCCESS) {
    v.bytes.resize(size);
    v.rc = RegQueryValueExW(key, name, nullptr, &v.type, v.bytes.data(), &size);
  }
  RegCloseKey(key);
  return v;
}

std::vector<uint8_t> WideBytes(const std::wstring& s) {
  std::vector<uint8_t> out(s.size() * sizeof(wchar_t));
  std::memcpy(out.data(), s.data(), out.size());
  return out;
}

// Text as regedit writes it in version 5.00: UTF-16LE with a byte-order mark.
std::string Utf16File(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

struct ImportCase {
  const char* name;
  std::string file;
  const wchar_t* value;  // L"" is the default value
  DWORD type;
  std::vector<uint8_t> bytes;
  friend void PrintTo(const ImportCase& c, std::ostream* os) { *os << c.name; }
};

class RegImport : public ::testing::TestWithParam<ImportCase> {};

TEST_P(RegImport, StoresValue) {
  TempMachine machine;
  const ImportCase& c = GetParam();
  winsim::ImportRegText(c.file, "case.reg");
  Value v = Query(kSubKey, c.value);
  ASSERT_EQ(v.rc, ERROR_SUCCESS);
  EXPECT_EQ(v.type, c.type);
  EXPECT_EQ(v.bytes, c.bytes);
}

std::string V5(const std::string& body) {
  return "Windows Registry Editor Version 5.00\r\n\r\n[" + std::string(kKey) + "]\r\n" + body + "\r\n";
}
std::string V4(const std::string& body) { return "REGEDIT4\r\n\r\n[" + std::string(kKey) + "]\r\n" + body + "\r\n"; }

INSTANTIATE_TEST_SUITE_P(
    Formats, RegImport,
    ::testing::Values(
        ImportCase{"Escapes", V5(R"("v"="C:\\Q52 \"x\"")"), L"v", REG_SZ, WideBytes(std::wstring(L"C:\\Q52 \"x\"", 11))},
        ImportCase{"Regedit4", V4(R"("v"="plain")"), L"v", REG_SZ, WideBytes(std::wstring(L"plain", 6))},
        ImportCase{"Dword", V5("\"v\"=dword:0000002A"), L"v", REG_DWORD, {0x2a, 0, 0, 0}},
        ImportCase{"Binary", V5("\"v\"=hex:01,02,ff"), L"v", REG_BINARY, {1, 2, 0xff}},
        ImportCase{"BinaryContinued", V5("\"v\"=hex:01,02,\\\r\n  03,\\\r\n  04"), L"v", REG_BINARY, {1, 2, 3, 4}},
        ImportCase{"ExpandSz", V5("\"v\"=hex(2):25,00,41,00,25,00,00,00"), L"v", REG_EXPAND_SZ,
                   WideBytes(std::wstring(L"%A%", 4))},
        ImportCase{"MultiSzContinued", V5("\"v\"=hex(7):61,00,00,00,\\\r\n  62,00,00,00,00,00"), L"v", REG_MULTI_SZ,
                   WideBytes(std::wstring(L"a\0b\0\0", 5))},
        ImportCase{"Regedit4ExpandSzIsAnsi", V4("\"v\"=hex(2):25,41,e9,00"), L"v", REG_EXPAND_SZ,
                   WideBytes(std::wstring(L"%A\x00e9", 4))},
        ImportCase{"DefaultValue", V5("@=\"dflt\""), L"", REG_SZ, WideBytes(std::wstring(L"dflt", 5))},
        ImportCase{"Comments", V5("; a comment\r\n\"v\"=dword:00000001\r\n;\"v\"=dword:00000002"), L"v", REG_DWORD,
                   {1, 0, 0, 0}},
        ImportCase{"Utf16WithBom", Utf16File(V5("\"v\"=\"wide\"")), L"v", REG_SZ, WideBytes(std::wstring(L"wide", 5))},
        ImportCase{"LfLineEnds", "Windows Registry Editor Version 5.00\n[" + std::string(kKey) + "]\n\"v\"=dword:7\n",
                   L"v", REG_DWORD, {7, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegImportDelete, KeyTreeAndValue) {
  TempMachine machine;
  winsim::ImportRegText(V5("\"keep\"=\"1\"\r\n\"drop\"=\"2\"\r\n\r\n[" + std::string(kKey) + "\\Sub\\Deeper]\r\n\"x\"=\"3\""));
  winsim::ImportRegText("Windows Registry Editor Version 5.00\r\n\r\n[-" + std::string(kKey) + "\\Sub]\r\n\r\n[" +
                        kKey + "]\r\n\"drop\"=-\r\n");
  EXPECT_EQ(Query(kSubKey, L"keep").rc, ERROR_SUCCESS);
  EXPECT_EQ(Query(kSubKey, L"drop").rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(L"SOFTWARE\\Q52RegTest\\Sub\\Deeper", L"x").rc, ERROR_FILE_NOT_FOUND);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Q52RegTest\\Sub", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

struct BadCase {
  const char* name;
  std::string file;
  int line;
  const char* says;
  friend void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }
};

class RegImportRefuses : public ::testing::TestWithParam<BadCase> {};

// A malformed file names its line and changes nothing, not even the keys before the fault.
TEST_P(RegImportRefuses, NamesLineAndChangesNothing) {
  TempMachine machine;
  const BadCase& c = GetParam();
  try {
    winsim::ImportRegText(c.file, "bad.reg");
    FAIL() << "imported";
  } catch (const std::runtime_error& e) {
    std::string what = e.what();
    EXPECT_NE(what.find("bad.reg:" + std::to_string(c.line) + ":"), std::string::npos) << what;
    EXPECT_NE(what.find(c.says), std::string::npos) << what;
  }
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSubKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, RegImportRefuses,
    ::testing::Values(BadCase{"NoHeader", "[" + std::string(kKey) + "]\r\n", 1, "Windows Registry Editor"},
                      BadCase{"BadDword", V5("\"a\"=dword:1\r\n\"v\"=dword:xyz"), 5, "dword"},
                      BadCase{"LongDword", V5("\"v\"=dword:123456789"), 4, "dword"},
                      BadCase{"Unterminated", V5("\"v\"=\"open"), 4, "unterminated"},
                      BadCase{"UnknownRoot", "REGEDIT4\r\n[" + std::string(kKey) + "]\r\n[HKEY_NOWHERE\\X]\r\n", 3,
                              "HKEY_NOWHERE"},
                      BadCase{"ValueOutsideKey", "REGEDIT4\r\n\"v\"=\"x\"\r\n", 2, "outside"},
                      BadCase{"HexPastEnd", V5("\"v\"=hex:01,\\"), 4, "end of the file"},
                      BadCase{"BadHexByte", V5("\"v\"=hex:01,2g3"), 4, "hex"},
                      BadCase{"NoEquals", V5("\"v\" \"x\""), 4, "'='"},
                      BadCase{"KeyNotClosed", V5("[HKEY_LOCAL_MACHINE\\X"), 4, "]"}),
    [](const auto& info) { return std::string(info.param.name); });

// What winsim writes back reads back the same, and writing it again gives the same bytes.
TEST(RegExport, RoundTrip) {
  std::string first, second;
  testsupport::TempDir dir;
  const std::string file = V5(
      "@=\"default\"\r\n\"s\"=\"a \\\"q\\\" \\\\ b\"\r\n\"d\"=dword:fffffffe\r\n\"b\"=hex:00,ff\r\n"
      "\"e\"=hex(2):25,00,00,00\r\n\"m\"=hex(7):61,00,00,00,00,00\r\n\"n\"=hex(0):\r\n"
      "\"crlf\"=hex(1):61,00,0a,00,00,00\r\n\r\n[" + std::string(kKey) + "\\Empty]");
  {
    TempMachine machine;
    winsim::ImportRegText(file);
    winsim::ReleaseMachine();
    first = ReadFile(machine.dir() + "/system.reg");
    winsim::UseMachine(machine.dir());
    EXPECT_EQ(Query(kSubKey, L"s").bytes, WideBytes(std::wstring(L"a \"q\" \\ b", 10)));
    EXPECT_EQ(Query(kSubKey, L"d").bytes, (std::vector<uint8_t>{0xfe, 0xff, 0xff, 0xff}));
    EXPECT_EQ(Query(kSubKey, L"").bytes, WideBytes(std::wstring(L"default", 8)));
    EXPECT_EQ(Query(kSubKey, L"n").type, static_cast<DWORD>(REG_NONE));
    EXPECT_EQ(Query(kSubKey, L"crlf").bytes, WideBytes(std::wstring(L"a\n", 3)));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Q52RegTest\\Empty", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    winsim::ReleaseMachine();
    winsim::UseMachine(machine.dir());
  }
  {
    TempMachine machine;
    winsim::ImportRegText(first, "first.reg");
    winsim::ReleaseMachine();
    second = ReadFile(machine.dir() + "/system.reg");
    winsim::UseMachine(machine.dir());
  }
  EXPECT_EQ(first, second);
}

}  // namespace
