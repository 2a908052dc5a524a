#include "core/registry.h"

#include <algorithm>
#include <cwctype>
#include <sstream>

#include "core/machine.h"

namespace winsim {

bool NoCaseLess::operator()(const std::wstring& a, const std::wstring& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
    return std::towupper(static_cast<wint_t>(x)) < std::towupper(static_cast<wint_t>(y));
  });
}

// ---------------------------------------------------------------- text

std::wstring Utf8ToWide(const std::string& s) {
  std::wstring out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) { cp = c; n = 1; }
    else if ((c >> 5) == 6) { cp = c & 0x1F; n = 2; }
    else if ((c >> 4) == 14) { cp = c & 0x0F; n = 3; }
    else if ((c >> 3) == 30) { cp = c & 0x07; n = 4; }
    else { out.push_back(L'\xFFFD'); ++i; continue; }
    if (i + n > s.size()) { out.push_back(L'\xFFFD'); break; }
    bool ok = true;
    for (size_t k = 1; k < n; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc >> 6) != 2) { ok = false; break; }
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (!ok) { out.push_back(L'\xFFFD'); ++i; continue; }
    out.push_back(static_cast<wchar_t>(cp));
    i += n;
  }
  return out;
}

std::string WideToUtf8(const std::wstring& s) {
  std::string out;
  for (wchar_t wc : s) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp < 0x80) out.push_back(static_cast<char>(cp));
    else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::vector<uint8_t> WideToUtf16Bytes(const std::wstring& s, bool terminate) {
  std::vector<uint8_t> out;
  auto put = [&out](uint32_t u) {
    out.push_back(static_cast<uint8_t>(u & 0xFF));
    out.push_back(static_cast<uint8_t>(u >> 8));
  };
  for (wchar_t wc : s) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 | (cp >> 10));
      put(0xDC00 | (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  if (terminate) put(0);
  return out;
}

std::wstring Utf16BytesToWide(const uint8_t* p, size_t bytes) {
  std::wstring out;
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    uint32_t u = p[i] | (p[i + 1] << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes) {
      uint32_t lo = p[i + 2] | (p[i + 3] << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
        i += 2;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(u));
  }
  return out;
}

// Windows-1252 bytes 0x80..0x9F; the five undefined ones map to the same C1 code point, as
// MultiByteToWideChar does.
static const uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::wstring AnsiToWide(const std::string& s) {
  std::wstring out;
  out.reserve(s.size());
  for (char ch : s) {
    unsigned char c = static_cast<unsigned char>(ch);
    out.push_back(static_cast<wchar_t>(c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c));
  }
  return out;
}

std::string WideToAnsi(const std::wstring& s, bool* lossy) {
  std::string out;
  out.reserve(s.size());
  if (lossy) *lossy = false;
  for (wchar_t wc : s) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp < 0x80 || (cp >= 0xA0 && cp < 0x100)) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    const uint16_t* hit = std::find(kCp1252High, kCp1252High + 32, cp);
    if (hit != kCp1252High + 32) {
      out.push_back(static_cast<char>(0x80 + (hit - kCp1252High)));
    } else {
      out.push_back('?');
      if (lossy) *lossy = true;
    }
  }
  return out;
}

// ---------------------------------------------------------------- tree

namespace {
const wchar_t* kRootNames[][2] = {{L"HKEY_CLASSES_ROOT", L"HKCR"},
                                  {L"HKEY_CURRENT_USER", L"HKCU"},
                                  {L"HKEY_LOCAL_MACHINE", L"HKLM"},
                                  {L"HKEY_USERS", L"HKU"},
                                  {L"HKEY_CURRENT_CONFIG", L"HKCC"}};

std::vector<std::wstring> SplitPath(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring cur;
  for (wchar_t c : path) {
    if (c == L'\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}
}  // namespace

Registry::Registry() {
  for (auto& r : kRootNames) {
    auto k = std::make_shared<RegKey>();
    k->name = r[0];
    roots_[r[0]] = k;
  }
}

std::shared_ptr<RegKey> Registry::Root(const std::wstring& name) const {
  for (auto& r : kRootNames) {
    if (!NoCaseLess()(name, r[0]) && !NoCaseLess()(r[0], name)) return roots_.at(r[0]);
    if (!NoCaseLess()(name, r[1]) && !NoCaseLess()(r[1], name)) return roots_.at(r[0]);
  }
  return nullptr;
}

std::shared_ptr<RegKey> Registry::RootForHandle(uintptr_t h) const {
  switch (static_cast<uint32_t>(h)) {
    case 0x80000000u: return roots_.at(L"HKEY_CLASSES_ROOT");
    case 0x80000001u: return roots_.at(L"HKEY_CURRENT_USER");
    case 0x80000002u: return roots_.at(L"HKEY_LOCAL_MACHINE");
    case 0x80000003u: return roots_.at(L"HKEY_USERS");
    case 0x80000005u: return roots_.at(L"HKEY_CURRENT_CONFIG");
    default: return nullptr;
  }
}

std::shared_ptr<RegKey> Registry::Find(const std::shared_ptr<RegKey>& from, const std::wstring& path) {
  std::shared_ptr<RegKey> k = from;
  for (auto& part : SplitPath(path)) {
    auto it = k->subkeys.find(part);
    if (it == k->subkeys.end()) return nullptr;
    k = it->second;
  }
  return k;
}

std::shared_ptr<RegKey> Registry::Create(const std::shared_ptr<RegKey>& from, const std::wstring& path) {
  std::shared_ptr<RegKey> k = from;
  for (auto& part : SplitPath(path)) {
    auto& slot = k->subkeys[part];
    if (!slot) {
      slot = std::make_shared<RegKey>();
      slot->name = part;
    }
    k = slot;
  }
  return k;
}

static void MarkDeleted(RegKey& k) {
  k.deleted = true;
  for (auto& [name, sub] : k.subkeys) MarkDeleted(*sub);
}

bool Registry::Delete(const std::shared_ptr<RegKey>& from, const std::wstring& path) {
  auto parts = SplitPath(path);
  if (parts.empty()) return false;
  std::wstring last = parts.back();
  parts.pop_back();
  std::shared_ptr<RegKey> parent = from;
  for (auto& part : parts) {
    auto it = parent->subkeys.find(part);
    if (it == parent->subkeys.end()) return false;
    parent = it->second;
  }
  auto it = parent->subkeys.find(last);
  if (it == parent->subkeys.end()) return false;
  MarkDeleted(*it->second);
  parent->subkeys.erase(it);
  return true;
}

// ---------------------------------------------------------------- .reg files

namespace {

std::wstring DecodeRegBytes(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE)
    return Utf16BytesToWide(reinterpret_cast<const uint8_t*>(bytes.data()) + 2, bytes.size() - 2);
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return Utf8ToWide(bytes.substr(3));
  std::wstring w = Utf8ToWide(bytes);
  if (w.find(L'\xFFFD') != std::wstring::npos) return AnsiToWide(bytes);  // not UTF-8: ANSI
  return w;
}

std::wstring Trim(const std::wstring& s) {
  size_t b = s.find_first_not_of(L" \t");
  if (b == std::wstring::npos) return L"";
  size_t e = s.find_last_not_of(L" \t\r");
  return s.substr(b, e - b + 1);
}

struct Parser {
  const std::string& source;
  int line = 0;
  [[noreturn]] void Fail(const std::string& what) const { throw MachineError(source, line, what); }

  // Reads a quoted string at s[i] (which is '"'); advances i past the closing quote.
  std::wstring Quoted(const std::wstring& s, size_t& i) const {
    std::wstring out;
    ++i;
    while (i < s.size()) {
      wchar_t c = s[i++];
      if (c == L'"') return out;
      if (c == L'\\') {
        if (i >= s.size()) break;
        wchar_t n = s[i++];
        if (n == L'\\' || n == L'"') out.push_back(n);
        else if (n == L'n') out.push_back(L'\n');
        else if (n == L'r') out.push_back(L'\r');
        else if (n == L't') out.push_back(L'\t');
        else if (n == L'0') out.push_back(L'\0');
        else { out.push_back(L'\\'); out.push_back(n); }
      } else {
        out.push_back(c);
      }
    }
    Fail("unterminated quoted string");
  }

  std::vector<uint8_t> HexBytes(const std::wstring& s) const {
    std::vector<uint8_t> out;
    std::wstring cur;
    auto flush = [&]() {
      std::wstring t = Trim(cur);
      cur.clear();
      if (t.empty()) return false;
      if (t.size() > 2 || !std::all_of(t.begin(), t.end(), [](wchar_t c) { return std::iswxdigit(static_cast<wint_t>(c)) != 0; }))
        Fail("bad hex byte '" + WideToUtf8(t) + "'");
      out.push_back(static_cast<uint8_t>(std::stoul(t, nullptr, 16)));
      return true;
    };
    for (wchar_t c : s) {
      if (c == L',') {
        if (!flush()) Fail("empty hex byte");
      } else {
        cur.push_back(c);
      }
    }
    flush();
    return out;
  }
};

}  // namespace

void Registry::Import(const std::string& bytes, const std::string& source) {
  std::wstring text = DecodeRegBytes(bytes);
  std::vector<std::wstring> lines;
  {
    std::wstring cur;
    for (wchar_t c : text) {
      if (c == L'\n') {
        if (!cur.empty() && cur.back() == L'\r') cur.pop_back();
        lines.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(c);
      }
    }
    if (!cur.empty()) lines.push_back(cur);
  }

  Parser p{source};
  size_t i = 0;
  for (; i < lines.size() && Trim(lines[i]).empty(); ++i) {}
  p.line = static_cast<int>(i + 1);
  if (i == lines.size()) p.Fail("empty file: expected \"Windows Registry Editor Version 5.00\"");
  std::wstring header = Trim(lines[i]);
  bool unicode;
  if (header == L"Windows Registry Editor Version 5.00") unicode = true;
  else if (header == L"REGEDIT4") unicode = false;
  else p.Fail("expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");

  // Parse everything first, apply afterwards: a malformed file changes nothing.
  struct Op {
    enum Kind { kKey, kDeleteKey, kValue, kDeleteValue } kind;
    std::shared_ptr<RegKey> root;
    std::wstring path, name;
    RegValue value;
  };
  std::vector<Op> ops;
  std::shared_ptr<RegKey> root;
  std::wstring keyPath;
  bool inKey = false;

  for (++i; i < lines.size(); ++i) {
    p.line = static_cast<int>(i + 1);
    std::wstring l = Trim(lines[i]);
    if (l.empty() || l[0] == L';') continue;
    if (l[0] == L'[') {
      if (l.back() != L']') p.Fail("key line without closing ']'");
      std::wstring inner = l.substr(1, l.size() - 2);
      bool del = !inner.empty() && inner[0] == L'-';
      if (del) inner.erase(0, 1);
      size_t slash = inner.find(L'\\');
      std::wstring rootName = inner.substr(0, slash);
      root = Root(rootName);
      if (!root) p.Fail("unknown root key '" + WideToUtf8(rootName) + "'");
      keyPath = slash == std::wstring::npos ? L"" : inner.substr(slash + 1);
      ops.push_back({del ? Op::kDeleteKey : Op::kKey, root, keyPath, L"", {}});
      inKey = !del;
      continue;
    }
    if (l[0] != L'"' && l[0] != L'@') p.Fail("expected a key in [brackets] or a value");
    if (!inKey) p.Fail("value outside a key");
    size_t pos = 0;
    std::wstring name;
    if (l[0] == L'@') pos = 1;
    else name = p.Quoted(l, pos);
    while (pos < l.size() && (l[pos] == L' ' || l[pos] == L'\t')) ++pos;
    if (pos >= l.size() || l[pos] != L'=') p.Fail("expected '=' after the value name");
    std::wstring data = Trim(l.substr(pos + 1));
    // hex data continues on the next line after a trailing backslash
    while (!data.empty() && data.back() == L'\\' && data.rfind(L"hex", 0) == 0) {
      data.pop_back();
      if (++i >= lines.size()) p.Fail("hex data continues past the end of the file");
      data += Trim(lines[i]);
    }
    Op op{Op::kValue, root, keyPath, name, {}};
    if (data == L"-") {
      op.kind = Op::kDeleteValue;
    } else if (!data.empty() && data[0] == L'"') {
      size_t q = 0;
      std::wstring s = p.Quoted(data, q);
      if (!Trim(data.substr(q)).empty()) p.Fail("text after the closing quote");
      op.value.type = 1;  // REG_SZ
      op.value.data = WideToUtf16Bytes(s, true);
    } else if (data.rfind(L"dword:", 0) == 0) {
      std::wstring h = data.substr(6);
      if (h.empty() || h.size() > 8 ||
          !std::all_of(h.begin(), h.end(), [](wchar_t c) { return std::iswxdigit(static_cast<wint_t>(c)) != 0; }))
        p.Fail("bad dword value '" + WideToUtf8(h) + "'");
      uint32_t v = static_cast<uint32_t>(std::stoul(h, nullptr, 16));
      op.value.type = 4;
      op.value.data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                       static_cast<uint8_t>(v >> 24)};
    } else if (data.rfind(L"hex", 0) == 0) {
      size_t colon = data.find(L':');
      if (colon == std::wstring::npos) p.Fail("expected ':' after hex");
      std::wstring kind = data.substr(3, colon - 3);
      uint32_t type = 3;  // REG_BINARY
      if (!kind.empty()) {
        if (kind.size() < 3 || kind.front() != L'(' || kind.back() != L')') p.Fail("bad hex type");
        std::wstring t = kind.substr(1, kind.size() - 2);
        if (t.empty() || !std::all_of(t.begin(), t.end(), [](wchar_t c) { return std::iswxdigit(static_cast<wint_t>(c)) != 0; }))
          p.Fail("bad hex type");
        type = static_cast<uint32_t>(std::stoul(t, nullptr, 16));
      }
      op.value.type = type;
      op.value.data = p.HexBytes(data.substr(colon + 1));
      if (!unicode && (type == 2 || type == 7)) {  // REGEDIT4 keeps these strings in ANSI
        std::string ansi(op.value.data.begin(), op.value.data.end());
        op.value.data = WideToUtf16Bytes(AnsiToWide(ansi), false);
      }
    } else {
      p.Fail("unknown value data '" + WideToUtf8(data) + "'");
    }
    ops.push_back(op);
  }

  for (auto& op : ops) {
    switch (op.kind) {
      case Op::kKey: Create(op.root, op.path); break;
      case Op::kDeleteKey: Delete(op.root, op.path); break;
      case Op::kValue: Create(op.root, op.path)->values[op.name] = op.value; break;
      case Op::kDeleteValue: Create(op.root, op.path)->values.erase(op.name); break;
    }
  }
}

namespace {

std::wstring Escape(const std::wstring& s) {
  std::wstring out;
  for (wchar_t c : s) {
    if (c == L'\\' || c == L'"') out.push_back(L'\\');
    out.push_back(c);
  }
  return out;
}

// A REG_SZ written as a quoted string must read back the same: one terminator, none inside.
bool PlainString(const RegValue& v, std::wstring& out) {
  if (v.type != 1 || v.data.size() < 2 || v.data.size() % 2) return false;
  std::wstring s = Utf16BytesToWide(v.data.data(), v.data.size());
  if (s.empty() || s.back() != L'\0') return false;
  s.pop_back();
  if (s.find(L'\0') != std::wstring::npos || s.find_first_of(L"\r\n") != std::wstring::npos) return false;
  out = s;
  return true;
}

void ExportKey(const RegKey& k, const std::wstring& path, std::wstring& out, bool isRoot) {
  if (!isRoot || !k.values.empty()) {
    out += L"[" + path + L"]\r\n";
    for (auto& [name, v] : k.values) {
      out += name.empty() ? L"@" : L"\"" + Escape(name) + L"\"";
      out += L"=";
      std::wstring s;
      if (PlainString(v, s)) {
        out += L"\"" + Escape(s) + L"\"";
      } else if (v.type == 4 && v.data.size() == 4) {
        wchar_t buf[16];
        uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
        swprintf(buf, 16, L"dword:%08x", d);
        out += buf;
      } else {
        wchar_t buf[16];
        if (v.type == 3) out += L"hex:";
        else {
          swprintf(buf, 16, L"hex(%x):", v.type);
          out += buf;
        }
        for (size_t i = 0; i < v.data.size(); ++i) {
          swprintf(buf, 16, i ? L",%02x" : L"%02x", v.data[i]);
          out += buf;
        }
      }
      out += L"\r\n";
    }
    out += L"\r\n";
  }
  for (auto& [name, sub] : k.subkeys) ExportKey(*sub, path + L"\\" + sub->name, out, false);
}

}  // namespace

std::string Registry::Export() const {
  std::wstring out = L"Windows Registry Editor Version 5.00\r\n\r\n";
  for (auto& r : kRootNames) {
    auto& root = roots_.at(r[0]);
    ExportKey(*root, root->name, out, true);
  }
  return WideToUtf8(out);
}

}  // namespace winsim
