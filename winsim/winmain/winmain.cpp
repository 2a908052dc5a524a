// The start-up of a Unicode windowed program on this host: what the runtime does on Windows before
// it calls wWinMain. The command line handed on is the one Windows would give: the arguments after
// the program name, separated by single blanks, an argument with a blank, a tab or a quote (or an
// empty one) in double quotes with its quotes escaped.
#include <windows.h>

#include <clocale>
#include <cstdlib>
#include <string>

namespace winsim {
std::wstring Utf8ToWide(const std::string& s);
}

namespace {

std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, so that they stay backslashes when read back.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += Quoted(argv[i]);
  }
  std::wstring wide = winsim::Utf8ToWide(line);
  return wWinMain(GetModuleHandleW(nullptr), nullptr, &wide[0], SW_SHOWDEFAULT);
}
