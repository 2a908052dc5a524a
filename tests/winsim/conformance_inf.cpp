// SetupAPI's INF calls: how lines of an INF file read, the size protocols, and the failures of
// opening. The INF files are written to the current directory and opened by absolute path.
#include <windows.h>
#include <setupapi.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "check.h"
#include "conformance.h"

#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

void WriteBytes(const std::string& name, const std::string& bytes) {
  FILE* f = fopen(name.c_str(), "wb");
  if (!f) return;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

void MakeDir(const char* name) {
#ifdef _WIN32
  _mkdir(name);
#else
  mkdir(name, 0755);
#endif
}

void RemoveDir(const char* name) {
#ifdef _WIN32
  _rmdir(name);
#else
  rmdir(name);
#endif
}

// The absolute Windows path of a name in the current directory (drive Z: on winsim, as Wine
// maps the host's root).
std::wstring Absolute(const std::string& name) {
#ifdef _WIN32
  wchar_t buf[MAX_PATH];
  std::wstring rel(name.begin(), name.end());
  DWORD n = GetFullPathNameW(rel.c_str(), MAX_PATH, buf, NULL);
  return std::wstring(buf, n);
#else
  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd)) return std::wstring();
  std::string p = "Z:" + std::string(cwd) + "/" + name;
  std::wstring w(p.begin(), p.end());
  for (auto& c : w)
    if (c == L'/') c = L'\\';
  return w;
#endif
}

HINF Open(const std::string& name, DWORD style = INF_STYLE_WIN4, UINT* line = NULL) {
  return SetupOpenInfFileW(Absolute(name).c_str(), NULL, style, line);
}

std::wstring Field(INFCONTEXT* c, DWORD i, bool* ok) {
  WCHAR buf[512];
  DWORD need = 0;
  *ok = SetupGetStringFieldW(c, i, buf, ARRAYSIZE(buf), &need) != FALSE;
  return *ok ? std::wstring(buf) : std::wstring();
}

const char kTricky[] =
    "; a comment before the first section\r\n"
    "[Version]\r\n"
    "Signature=\"$Windows NT$\"\r\n"
    "Class=Ports\r\n"
    "DriverVer=07/15/2008, 1.0.0.3\r\n"
    "Provider=%Maker%\r\n"
    "CatalogFile=tricky.cat\r\n"
    "[Lines]\r\n"
    "k1 = a , \"b;c\" , d ; comment\r\n"
    "k2=\"quoted\"\"inner\"\r\n"
    "k3=a\"b\"c\r\n"
    "k4=%s1%,%undefined%,%%,\"%s1%\",100%%\r\n"
    "k5=a, \\\r\n"
    "  b\r\n"
    "single.sys\r\n"
    "x,y\r\n"
    "k7=\r\n"
    "k8 = a   b , c \r\n"
    "%Maker%=Models\r\n"
    "\"q=k\"=v\r\n"
    "k9=a\\b,\"a\" \"b\",a,,b,\r\n"
    "k10=a\\ ; comment after the backslash\r\n"
    "z\r\n"
    "k11=%S1%,%12%\\q52.sys\r\n"
    "[ Spaced ]\r\n"
    "s=1\r\n"
    "[lines]\r\n"
    "again=1\r\n"
    "[Empty]\r\n"
    "[Strings]\r\n"
    "Maker=\"Vexa\"\r\n"
    "s1=\"one;two\"\r\n";

}  // namespace

// Each line of [Lines] as SetupGetStringFieldW returns its fields (0 is the key); a missing
// field is NULL. The same-named sections [Lines] and [lines] read as one.
CONFORMANCE(InfLinesReadAsWindowsReadsThem) {
  WriteBytes("q52-tricky.inf", kTricky);
  HINF h = Open("q52-tricky.inf");
  CHECK(h != INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return;
  struct Row {
    const wchar_t* fields[8];
  } rows[] = {
      {{L"k1", L"a", L"b;c", L"d"}},
      {{L"k2", L"quoted\"inner"}},
      {{L"k3", L"abc"}},
      {{L"k4", L"one;two", L"%undefined%", L"%", L"one;two", L"100%"}},
      {{L"k5", L"a", L"b"}},
      {{L"single.sys", L"single.sys"}},  // one value and no key: the value is the key too
      {{NULL, L"x", L"y"}},              // several values and no key: there is no field 0
      {{L"k7", L""}},
      {{L"k8", L"a   b", L"c"}},
      {{L"Vexa", L"Models"}},
      {{L"q=k", L"v"}},
      {{L"k9", L"a\\b", L"a b", L"a", L"", L"b", L""}},
      {{L"k10", L"az"}},
      {{L"k11", L"one;two", L"C:\\WINDOWS\\system32\\drivers\\q52.sys"}},
      {{L"again", L"1"}},
  };
  INFCONTEXT c;
  bool more = SetupFindFirstLineW(h, L"LINES", NULL, &c) != FALSE;
  for (const Row& r : rows) {
    std::string at = "line " + std::to_string(c.Line);
    CHECK_AT(more, at);
    if (!more) break;
    size_t count = 0;
    while (count + 1 < 8 && r.fields[count + 1]) ++count;
    CHECK_EQ_AT(SetupGetFieldCount(&c), static_cast<DWORD>(count), at);
    for (size_t i = 0; i <= count + 1; ++i) {
      bool ok = false;
      std::wstring got = Field(&c, static_cast<DWORD>(i), &ok);
      bool want = i <= count && r.fields[i] != NULL;
      CHECK_EQ_AT(ok, want, at + " field " + std::to_string(i));
      if (ok && want &&
          !(wcschr(r.fields[i], L':') && WineDiffers("an INF field that expands to the Windows "
                                                     "directory has it in lower case")))
        CHECK_EQ_AT(got, std::wstring(r.fields[i]), at);
    }
    more = SetupFindNextLine(&c, &c) != FALSE;
  }
  CHECK(!more);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));

  CHECK(SetupFindFirstLineW(h, L" Spaced ", NULL, &c));  // blanks inside the brackets belong to the name
  CHECK(!SetupFindFirstLineW(h, L"Spaced", NULL, &c));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
  CHECK(!SetupFindFirstLineW(h, L"Empty", NULL, &c));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
  CHECK(!SetupFindFirstLineW(h, L"NoSuchSection", NULL, &c));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
  CHECK(SetupFindFirstLineW(h, L"lines", L"K3", &c));
  CHECK_EQ(c.Line, 2u);
  CHECK(!SetupFindFirstLineW(h, L"lines", L"nokey", &c));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
  SetupCloseInfFile(h);
  remove("q52-tricky.inf");
}

// Sizes are in characters with the terminator; a buffer too small gets nothing and
// ERROR_INSUFFICIENT_BUFFER; no buffer only reports the size.
CONFORMANCE(InfSizeProtocols) {
  WriteBytes("q52-sizes.inf", kTricky);
  HINF h = Open("q52-sizes.inf");
  CHECK(h != INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return;
  INFCONTEXT c;
  CHECK(SetupFindFirstLineW(h, L"Lines", L"k1", &c));
  WCHAR small[4] = {L'x', L'x', L'x', L'x'};
  DWORD need = 0;
  CHECK(SetupGetStringFieldW(&c, 2, NULL, 0, &need));
  CHECK_EQ(need, 4u);  // "b;c"
  SetLastError(0);
  CHECK(!SetupGetStringFieldW(&c, 2, small, 3, &need));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK_EQ(need, 4u);
  CHECK(SetupGetStringFieldW(&c, 2, small, 4, &need));
  CHECK_EQ(std::wstring(small), std::wstring(L"b;c"));
  need = 77;
  CHECK(!SetupGetStringFieldW(&c, 9, small, 4, &need));
  CHECK_EQ(need, 77u);

  DWORD infoSize = 0;
  CHECK(SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, NULL, 0, &infoSize));
  CHECK(infoSize > sizeof(SP_INF_INFORMATION));
  std::vector<BYTE> block(infoSize);
  PSP_INF_INFORMATION info = reinterpret_cast<PSP_INF_INFORMATION>(block.data());
  SetLastError(0);
  CHECK(!SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, info, infoSize - 1, &infoSize));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK(SetupGetInfInformationW(h, INFINFO_INF_SPEC_IS_HINF, info, infoSize, &infoSize));
  CHECK_EQ(info->InfCount, 1u);
  CHECK_EQ(info->InfStyle, static_cast<DWORD>(INF_STYLE_WIN4));

  std::wstring path = Absolute("q52-sizes.inf");
  DWORD pathSize = 0;
  CHECK(SetupQueryInfFileInformationW(info, 0, NULL, 0, &pathSize));
  CHECK_EQ(pathSize, static_cast<DWORD>(path.size() + 1));
  std::vector<WCHAR> pathBuf(pathSize);
  if (!WineDiffers("SetupQueryInfFileInformationW takes a buffer one short, without room for "
                   "the terminator")) {
    SetLastError(0);
    CHECK(!SetupQueryInfFileInformationW(info, 0, pathBuf.data(), pathSize - 1, &pathSize));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  }
  SetLastError(0);
  CHECK(!SetupQueryInfFileInformationW(info, 0, pathBuf.data(), 3, &pathSize));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  CHECK(SetupQueryInfFileInformationW(info, 0, pathBuf.data(), pathSize, &pathSize));
  CHECK_EQ(std::wstring(pathBuf.data()), path);

  // An INF that was not staged: its own name, and the catalog its [Version] names.
  SP_ORIGINAL_FILE_INFO_W original;
  memset(&original, 0, sizeof original);
  original.cbSize = sizeof original;
  CHECK(SetupQueryInfOriginalFileInformationW(info, 0, NULL, &original));
  CHECK_EQ(std::wstring(original.OriginalInfName), std::wstring(L"q52-sizes.inf"));
  CHECK_EQ(std::wstring(original.OriginalCatalogName), std::wstring(L"tricky.cat"));
  original.cbSize = 4;
  CHECK(!SetupQueryInfOriginalFileInformationW(info, 0, NULL, &original));
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

  if (!WineDiffers("SetupQueryInfVersionInformationW is not implemented (fails with 120)")) {
    DWORD n = 0;
    CHECK(SetupQueryInfVersionInformationW(info, 0, L"driverver", NULL, 0, &n));
    std::vector<WCHAR> v(n);
    CHECK(SetupQueryInfVersionInformationW(info, 0, L"driverver", v.data(), n, &n));
    CHECK_EQ(std::wstring(v.data()), std::wstring(L"07/15/2008,1.0.0.3"));
  }
  SetupCloseInfFile(h);
  remove("q52-sizes.inf");
}

CONFORMANCE(InfOpenFailures) {
  struct Row {
    const char* text;
    DWORD style;
    DWORD error;  // 0: opens
    UINT line;
  } rows[] = {
      {"[Version]\r\nSignature=\"$Windows NT$\"\r\n[Unclosed\r\nx=1\r\n", INF_STYLE_WIN4, ERROR_BAD_SECTION_NAME_LINE, 3},
      {"x=1\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\n", INF_STYLE_WIN4, ERROR_EXPECTED_SECTION_NAME, 1},
      {"[Version]\r\nSignature=\"$Something$\"\r\n[A]\r\nx=1\r\n", INF_STYLE_WIN4, ERROR_WRONG_INF_STYLE, 0},
      {"[Version]\r\nSignature=\"$Something$\"\r\n[A]\r\nx=1\r\n", INF_STYLE_OLDNT, 0, 0},
      {"[A]\r\nx=1\r\n", INF_STYLE_WIN4, ERROR_WRONG_INF_STYLE, 0},
      {"[Version]\r\nSignature=\"$CHICAGO$\"\r\n", INF_STYLE_WIN4, 0, 0},
  };
  for (const Row& r : rows) {
    WriteBytes("q52-bad.inf", r.text);
    UINT line = 99;
    SetLastError(0);
    HINF h = Open("q52-bad.inf", r.style, &line);
    std::string at = r.text;
    CHECK_EQ_AT(h != INVALID_HANDLE_VALUE, r.error == 0, at);
    if (h != INVALID_HANDLE_VALUE) {
      SetupCloseInfFile(h);
      continue;
    }
    CHECK_EQ_AT(GetLastError(), r.error, at);
    CHECK_EQ_AT(line, r.line, at);
  }
  remove("q52-bad.inf");
  SetLastError(0);
  CHECK(Open("q52-no-such.inf") == INVALID_HANDLE_VALUE);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  CHECK(SetupOpenInfFileW(L"q52-no-such-bare.inf", NULL, INF_STYLE_WIN4, NULL) == INVALID_HANDLE_VALUE);
  CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// UTF-16 with a byte-order mark, and ANSI (Windows-1252) text.
CONFORMANCE(InfEncodings) {
  const wchar_t* text = L"\xfeff[Version]\r\nSignature=\"$Chicago$\"\r\n[A]\r\nk=\x00e9t\x00e9,\x4e2d\r\n";
  std::string bytes;
  for (const wchar_t* p = text; *p; ++p) {
    bytes.push_back(static_cast<char>(*p & 0xff));
    bytes.push_back(static_cast<char>((*p >> 8) & 0xff));
  }
  WriteBytes("q52-utf16.inf", bytes);
  WriteBytes("q52-ansi.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n[A]\r\nk=\xe9t\xe9\r\n");
  struct Row {
    const char* file;
    const wchar_t* field1;
    const wchar_t* field2;
  } rows[] = {{"q52-utf16.inf", L"\x00e9t\x00e9", L"\x4e2d"}, {"q52-ansi.inf", L"\x00e9t\x00e9", NULL}};
  for (const Row& r : rows) {
    HINF h = Open(r.file);
    CHECK_AT(h != INVALID_HANDLE_VALUE, r.file);
    if (h == INVALID_HANDLE_VALUE) continue;
    INFCONTEXT c;
    CHECK_AT(SetupFindFirstLineW(h, L"a", L"k", &c), r.file);
    bool ok = false;
    CHECK_EQ_AT(Field(&c, 1, &ok), std::wstring(r.field1), r.file);
    std::wstring second = Field(&c, 2, &ok);
    CHECK_EQ_AT(ok, r.field2 != NULL, r.file);
    if (r.field2) CHECK_EQ_AT(second, std::wstring(r.field2), r.file);
    SetupCloseInfFile(h);
    remove(r.file);
  }
}

// The list of a directory: names only, filtered by style, in name order without regard to case.
CONFORMANCE(InfFileListStyles) {
  MakeDir("q52-infdir");
  MakeDir("q52-emptydir");
  const char* win4 = "[Version]\r\nSignature=\"$Windows NT$\"\r\n";
  const char* oldnt = "[Version]\r\nSignature=\"$Something$\"\r\n";
  WriteBytes("q52-infdir/b.inf", win4);
  WriteBytes("q52-infdir/A.INF", oldnt);
  WriteBytes("q52-infdir/oem10.inf", win4);
  WriteBytes("q52-infdir/oem3.inf", win4);
  WriteBytes("q52-infdir/notes.txt", win4);
  struct Row {
    DWORD style;
    std::wstring list;
  } rows[] = {
      {INF_STYLE_WIN4, std::wstring(L"b.inf\0oem10.inf\0oem3.inf\0\0", 26)},
      {INF_STYLE_OLDNT, std::wstring(L"A.INF\0\0", 7)},
      {INF_STYLE_WIN4 | INF_STYLE_OLDNT, std::wstring(L"A.INF\0b.inf\0oem10.inf\0oem3.inf\0\0", 32)},
  };
  std::wstring dir = Absolute("q52-infdir");
  for (const Row& r : rows) {
    std::string at = "style " + std::to_string(r.style);
    DWORD need = 0;
    CHECK_AT(SetupGetInfFileListW(dir.c_str(), r.style, NULL, 0, &need), at);
    CHECK_EQ_AT(need, static_cast<DWORD>(r.list.size()), at);
    std::vector<WCHAR> buf(need + 4, L'#');
    CHECK_AT(SetupGetInfFileListW(dir.c_str(), r.style, buf.data(), need, &need), at);
    CHECK_EQ_AT(std::wstring(buf.data(), r.list.size()), r.list, at);
    if (!WineDiffers("SetupGetInfFileListW fills what fits of a short buffer and reports "
                     "success (Windows: ERROR_INSUFFICIENT_BUFFER)")) {
      SetLastError(0);
      CHECK_AT(!SetupGetInfFileListW(dir.c_str(), r.style, buf.data(), need - 1, &need), at);
      CHECK_EQ_AT(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), at);
    }
  }
  DWORD need = 0;
  CHECK(SetupGetInfFileListW(Absolute("q52-emptydir").c_str(), INF_STYLE_WIN4, NULL, 0, &need));
  CHECK_EQ(need, 1u);
  for (const char* f : {"q52-infdir/b.inf", "q52-infdir/A.INF", "q52-infdir/oem10.inf", "q52-infdir/oem3.inf",
                        "q52-infdir/notes.txt"})
    remove(f);
  RemoveDir("q52-infdir");
  RemoveDir("q52-emptydir");
}
