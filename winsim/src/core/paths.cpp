// Windows paths on the machine's drives: "C:\\X\\Y" is <dir>/drive_c/X/Y, matched without regard to
// case where the host entry exists.
#include <algorithm>
#include <cwctype>

#include "core/machine.h"
#include "winsim/control.h"

namespace winsim {

bool SameText(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towupper(static_cast<wint_t>(x)) == std::towupper(static_cast<wint_t>(y));
         });
}

namespace {
// Picks the entry of dir that matches name without regard to case, or name itself.
fs::path MatchEntry(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  if (fs::exists(dir / name, ec)) return dir / name;
  std::wstring want = Utf8ToWide(name);
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (SameText(Utf8ToWide(it->path().filename().string()), want)) return it->path();
  return dir / name;
}
}  // namespace

fs::path ToHostPath(Machine& m, const std::wstring& windowsPath) {
  std::wstring p = windowsPath;
  fs::path base;
  size_t start = 0;
  if (p.size() >= 2 && p[1] == L':' && std::iswalpha(static_cast<wint_t>(p[0]))) {
    wchar_t drive = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(p[0])));
    base = drive == L'z' ? fs::path("/") : m.dir / ("drive_" + std::string(1, static_cast<char>(drive)));
    start = 2;
  } else if (!p.empty() && (p[0] == L'\\' || p[0] == L'/')) {
    if (p.size() > 1 && (p[1] == L'\\' || p[1] == L'/')) return fs::path();  // UNC: no network here
    base = m.dir / "drive_c";
  } else {
    base = fs::current_path();
  }
  fs::path out = base;
  std::wstring part;
  auto push = [&]() {
    if (part.empty() || part == L".") {
    } else if (part == L"..") {
      if (out != base) out = out.parent_path();
    } else {
      out = MatchEntry(out, WideToUtf8(part));
    }
    part.clear();
  };
  for (size_t i = start; i < p.size(); ++i) {
    if (p[i] == L'\\' || p[i] == L'/') push();
    else part.push_back(p[i]);
  }
  push();
  return out;
}

std::string HostPath(const std::wstring& windowsPath) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return ToHostPath(CurrentMachine(), windowsPath).string();
}

}  // namespace winsim
