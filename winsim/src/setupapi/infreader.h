// The INF reader inside winsim: what SetupAPI's INF calls and the Plug and Play driver lists read.
//
// A file is parsed once into sections of lines. Each line has its key (empty when the line has
// none) and its fields, with quotes removed and %strkey% already replaced from [Strings], so
// callers see the text SetupGetStringFieldW returns. Sections are found without regard to case;
// several sections of the same name read as one, their lines in file order.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winsim/model_infs.h"

namespace winsim {

class Machine;

namespace inf {

// The machine's INF directory, where bare INF names are looked up and staged files go.
inline constexpr wchar_t kInfDirectory[] = L"C:\\WINDOWS\\inf";

struct Line {
  std::wstring key;                  // empty when the line has no '='
  bool hasKey = false;
  std::vector<std::wstring> fields;  // fields 1..n
  unsigned number = 0;               // line of the file on which this line begins

  // Field N as SetupGetStringFieldW numbers them: 0 is the key, 1.. the fields; null past the end.
  const std::wstring* Field(size_t n) const;
  // The fields joined by commas, as the value of a [Version] key is reported.
  std::wstring Text() const;
};

struct Section {
  std::wstring name;         // as first written
  std::vector<Line> lines;   // of every section of this name, in file order
};

struct File {
  std::vector<Section> sections;  // in order of first appearance

  const Section* Find(std::wstring_view name) const;  // without regard to case; null when absent
  // Index into sections, or -1.
  int IndexOf(std::wstring_view name) const;
  // The first line of SECTION whose key is KEY (without regard to case); null when none.
  const Line* FindLine(std::wstring_view section, std::wstring_view key) const;
  // Text of a [Version] key, or nothing when the key is absent.
  std::optional<std::wstring> Version(std::wstring_view key) const;
  // INF_STYLE_WIN4 for a file whose [Version] Signature is "$Windows NT$", "$Chicago$" or
  // "$Windows 95$"; INF_STYLE_OLDNT otherwise.
  DWORD Style() const;
};

struct ParseError {
  DWORD code = 0;     // ERROR_EXPECTED_SECTION_NAME, ERROR_BAD_SECTION_NAME_LINE, ...
  unsigned line = 0;  // 1-based
};

// Parses the bytes of an INF file: UTF-16LE when they begin with its byte-order mark, else the
// machine's ANSI code page. False with ERR filled when the file is malformed; OUT then holds the
// sections read before the fault. WINDOWS_PATH is where the file lives, for the directory id 1.
bool Parse(const std::string& bytes, File& out, ParseError* err, const std::wstring& windowsPath = std::wstring());

// Reads and parses a file of the host. False with ERR: ERROR_FILE_NOT_FOUND (line 0) when it
// cannot be read, or the parse error.
bool Load(const std::filesystem::path& hostPath, File& out, ParseError* err,
          const std::wstring& windowsPath = std::wstring());

// The Windows path SetupOpenInfFileW opens for NAME: a name without a path separator is looked
// up in the INF directory; anything else is taken as it is.
std::wstring ResolveInfPath(const std::wstring& name);

// Case-insensitive comparison of names, as INF sections, keys and file names compare.
bool SameName(std::wstring_view a, std::wstring_view b);

// The records of machine.json `infs`, read on first use.
std::vector<model::Inf>& StagedInfs(Machine& m);
// The record of a staged file (matched by its name in the INF directory); null when none.
const model::Inf* FindStaged(Machine& m, std::wstring_view fileName);

}  // namespace inf
}  // namespace winsim
