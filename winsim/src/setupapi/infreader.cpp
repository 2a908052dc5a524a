// The INF reader: sections, lines, keys and fields as SetupAPI reports them.
#include "setupapi/infreader.h"

#include <algorithm>
#include <cwctype>
#include <fstream>
#include <map>
#include <sstream>

#include "core/machine.h"
#include "core/registry.h"

namespace winsim::inf {

namespace {

constexpr size_t kMaxSectionName = 255;

wchar_t Upper(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\f' || c == L'\v'; }

std::wstring Decode(const std::string& bytes) {
  std::wstring text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
    text = Utf16BytesToWide(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, (bytes.size() - 2) & ~size_t(1));
  else
    text = AnsiToWide(bytes);
  // A Ctrl-Z ends the file, as editors of old left one behind.
  size_t eof = text.find(L'\x1a');
  if (eof != std::wstring::npos) text.resize(eof);
  return text;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
  std::vector<std::wstring> lines;
  std::wstring cur;
  for (size_t i = 0; i < text.size(); ++i) {
    wchar_t c = text[i];
    if (c == L'\r' || c == L'\n') {
      lines.push_back(cur);
      cur.clear();
      if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  return lines;
}

// Whether a backslash at POS of LINE continues the line: only blanks or a comment follow it.
bool ContinuesAt(const std::wstring& line, size_t pos) {
  for (size_t i = pos + 1; i < line.size(); ++i) {
    if (line[i] == L';') return true;
    if (!IsBlank(line[i])) return false;
  }
  return true;
}

// One field being read: unquoted blanks at its end are dropped, quoted text is kept as it is.
struct FieldText {
  std::wstring text;
  size_t keep = 0;
  void Add(wchar_t c, bool quoted) {
    if (!quoted && IsBlank(c)) {
      if (text.empty()) return;
      text.push_back(c);
      return;
    }
    text.push_back(c);
    keep = text.size();
  }
  void QuoteSeen() { keep = text.size(); }
  std::wstring Take() {
    text.resize(keep);
    std::wstring out;
    out.swap(text);
    keep = 0;
    return out;
  }
};

// Reads the entries of a line that starts at LINES[*index]; a line continued with a backslash
// takes the following lines too, and *index is left on the last line used.
Line ReadLine(const std::vector<std::wstring>& lines, size_t* index) {
  Line out;
  out.number = static_cast<unsigned>(*index + 1);
  FieldText field;
  bool quoted = false, any = false;
  size_t li = *index;
  const std::wstring* line = &lines[li];
  size_t i = 0;
  for (;;) {
    if (i >= line->size()) break;
    wchar_t c = (*line)[i];
    if (quoted) {
      if (c == L'"') {
        if (i + 1 < line->size() && (*line)[i + 1] == L'"') {
          field.Add(L'"', true);
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field.Add(c, true);
      }
      ++i;
      continue;
    }
    if (c == L'"') {
      quoted = true;
      any = true;
      field.QuoteSeen();
    } else if (c == L';') {
      break;
    } else if (c == L',') {
      out.fields.push_back(field.Take());
      any = true;
    } else if (c == L'=' && !out.hasKey && out.fields.empty()) {
      out.key = field.Take();
      out.hasKey = true;
      any = true;
    } else if (c == L'\\' && ContinuesAt(*line, i) && li + 1 < lines.size()) {
      line = &lines[++li];
      i = 0;
      continue;
    } else {
      if (!IsBlank(c)) any = true;
      field.Add(c, false);
    }
    ++i;
  }
  *index = li;
  std::wstring last = field.Take();
  if (any || out.hasKey) out.fields.push_back(last);
  return out;
}

using StringTable = std::map<std::wstring, std::wstring, NoCaseLess>;

std::wstring DirectoryId(const std::wstring& id, const std::wstring& infDir, bool* known) {
  *known = true;
  unsigned long n = std::wcstoul(id.c_str(), nullptr, 10);
  switch (n) {
    case 1: return infDir.empty() ? std::wstring() : infDir + L"\\";
    case 10: return L"C:\\WINDOWS";
    case 11: return L"C:\\WINDOWS\\system32";
    case 12: return L"C:\\WINDOWS\\system32\\drivers";
    case 17: return kInfDirectory;
    case 18: return L"C:\\WINDOWS\\help";
    case 20: return L"C:\\WINDOWS\\Fonts";
    default: *known = false; return std::wstring();
  }
}

// Replaces %strkey% from [Strings] and %dirid% with its directory; %% is a percent sign and an
// unknown %name% stays as written.
std::wstring Substitute(const std::wstring& text, const StringTable& strings, const std::wstring& infDir) {
  if (text.find(L'%') == std::wstring::npos) return text;
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find(L'%', i);
    if (open == std::wstring::npos) break;
    size_t close = text.find(L'%', open + 1);
    if (close == std::wstring::npos) break;
    out.append(text, i, open - i);
    std::wstring name = text.substr(open + 1, close - open - 1);
    i = close + 1;
    if (name.empty()) {
      out.push_back(L'%');
      continue;
    }
    if (auto it = strings.find(name); it != strings.end()) {
      out += it->second;
      continue;
    }
    if (std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
      bool known = false;
      std::wstring dir = DirectoryId(name, infDir, &known);
      if (known) {
        out += dir;
        continue;
      }
    }
    out += L"%" + name + L"%";
  }
  out.append(text, i, std::wstring::npos);
  return out;
}

}  // namespace

const std::wstring* Line::Field(size_t n) const {
  if (n == 0) {
    if (hasKey) return &key;
    // A line of one value and no key answers that value as its key too.
    return fields.size() == 1 ? &fields[0] : nullptr;
  }
  return n <= fields.size() ? &fields[n - 1] : nullptr;
}

std::wstring Line::Text() const {
  std::wstring out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) out.push_back(L',');
    out += fields[i];
  }
  return out;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return Upper(x) == Upper(y);
         });
}

int File::IndexOf(std::wstring_view name) const {
  for (size_t i = 0; i < sections.size(); ++i)
    if (SameName(sections[i].name, name)) return static_cast<int>(i);
  return -1;
}

const Section* File::Find(std::wstring_view name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : &sections[static_cast<size_t>(i)];
}

const Line* File::FindLine(std::wstring_view section, std::wstring_view key) const {
  const Section* s = Find(section);
  if (!s) return nullptr;
  for (const Line& l : s->lines) {
    const std::wstring* k = l.Field(0);
    if (k && SameName(*k, key)) return &l;
  }
  return nullptr;
}

std::optional<std::wstring> File::Version(std::wstring_view key) const {
  const Section* s = Find(L"Version");
  if (!s) return std::nullopt;
  for (const Line& l : s->lines)
    if (l.hasKey && SameName(l.key, key)) return l.Text();
  return std::nullopt;
}

DWORD File::Style() const {
  auto sig = Version(L"Signature");
  if (sig && (SameName(*sig, L"$Windows NT$") || SameName(*sig, L"$Chicago$") || SameName(*sig, L"$Windows 95$")))
    return INF_STYLE_WIN4;
  return INF_STYLE_OLDNT;
}

bool Parse(const std::string& bytes, File& out, ParseError* err, const std::wstring& windowsPath) {
  out.sections.clear();
  std::vector<std::wstring> lines = SplitLines(Decode(bytes));
  int current = -1;
  auto fail = [&](DWORD code, size_t index) {
    if (err) *err = {code, static_cast<unsigned>(index + 1)};
    return false;
  };
  for (size_t li = 0; li < lines.size(); ++li) {
    const std::wstring& raw = lines[li];
    size_t start = 0;
    while (start < raw.size() && IsBlank(raw[start])) ++start;
    if (start == raw.size() || raw[start] == L';') continue;
    if (raw[start] == L'[') {
      size_t close = raw.find(L']', start + 1);
      if (close == std::wstring::npos) return fail(ERROR_BAD_SECTION_NAME_LINE, li);
      std::wstring name = raw.substr(start + 1, close - start - 1);
      if (name.size() > kMaxSectionName) return fail(ERROR_SECTION_NAME_TOO_LONG, li);
      current = out.IndexOf(name);
      if (current < 0) {
        out.sections.push_back(Section{name, {}});
        current = static_cast<int>(out.sections.size() - 1);
      }
      continue;
    }
    if (current < 0) return fail(ERROR_EXPECTED_SECTION_NAME, li);
    Line line = ReadLine(lines, &li);
    out.sections[static_cast<size_t>(current)].lines.push_back(std::move(line));
  }

  // Substitution needs the whole [Strings] section, which usually comes last. The strings
  // themselves are taken as written.
  std::wstring infDir;
  size_t slash = windowsPath.find_last_of(L"\\/");
  if (slash != std::wstring::npos) infDir = windowsPath.substr(0, slash);
  StringTable strings;
  // A locale's strings win over the plain [Strings] section; this machine is US English.
  for (const wchar_t* name : {L"Strings", L"Strings.0409"})
    if (const Section* sec = out.Find(name))
      for (const Line& l : sec->lines)
        if (l.hasKey) strings[l.key] = l.Text();
  for (Section& sec : out.sections) {
    if (SameName(sec.name, L"Strings") || SameName(sec.name, L"Strings.0409")) continue;
    for (Line& l : sec.lines) {
      if (l.hasKey) l.key = Substitute(l.key, strings, infDir);
      for (auto& f : l.fields) f = Substitute(f, strings, infDir);
    }
  }
  return true;
}

bool Load(const std::filesystem::path& hostPath, File& out, ParseError* err, const std::wstring& windowsPath) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(hostPath, ec)) {
    if (err) *err = {ERROR_FILE_NOT_FOUND, 0};
    return false;
  }
  std::ifstream in(hostPath, std::ios::binary);
  if (!in) {
    if (err) *err = {ERROR_ACCESS_DENIED, 0};
    return false;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return Parse(ss.str(), out, err, windowsPath);
}

std::wstring ResolveInfPath(const std::wstring& name) {
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return name;
  return std::wstring(kInfDirectory) + L"\\" + name;
}

namespace {

// The staged records by name, so that a scan of the INF directory doesn't read the whole list
// once per file. Records are added and removed, never renamed: the index holds until the list's
// size changes.
struct StagedIndex {
  const std::vector<model::Inf>* list = nullptr;
  size_t size = 0;
  std::map<std::wstring, size_t> byName;  // upper-cased name -> the first record with it
};

std::wstring Folded(std::wstring_view name) {
  std::wstring out(name);
  for (wchar_t& c : out) c = Upper(c);
  return out;
}

}  // namespace

std::vector<model::Inf>& StagedInfs(Machine& m) {
  if (!m.infs) m.infs = model::InfsOf(m.doc);
  return *m.infs;
}

const model::Inf* FindStaged(Machine& m, std::wstring_view fileName) {
  const std::vector<model::Inf>& all = StagedInfs(m);
  auto index = std::static_pointer_cast<StagedIndex>(m.stagedIndex);
  if (!index || index->list != &all || index->size != all.size()) {
    index = std::make_shared<StagedIndex>();
    index->list = &all;
    index->size = all.size();
    for (size_t i = 0; i < all.size(); ++i) index->byName.emplace(Folded(Utf8ToWide(all[i].name)), i);
    m.stagedIndex = index;
  }
  auto it = index->byName.find(Folded(fileName));
  return it == index->byName.end() ? nullptr : &all[it->second];
}

}  // namespace winsim::inf
