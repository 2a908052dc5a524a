// The resource-script reader: as much of the resource compiler's language as the programs here
// load through winsim. The Windows build compiles the same script with its own resource
// compiler, which checks the rest of the language; this reader refuses what it does not read
// rather than misread it. It reads #include, #define, #ifdef/#ifndef/#else/#endif, LANGUAGE,
// STRINGTABLE, ICON (that its file is there), ACCELERATORS, DIALOG/DIALOGEX (the caption) and
// MENU (passed over): no window is drawn here. Resources are named by number.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "core/registry.h"
#include "winsim/resources.h"

namespace winsim {
namespace {

// The constants of <windows.h> that the scripts here use outside a dialog's or a menu's body.
const std::map<std::string, long>& Builtins() {
  static const std::map<std::string, long> symbols = {{"LANG_ENGLISH", 0x09}, {"SUBLANG_ENGLISH_US", 1}, {"VK_F1", 0x70}};
  return symbols;
}

struct Token {
  enum Kind { kWord, kNumber, kString, kPunct, kEnd } kind = kEnd;
  std::string text;   // a word, a punctuation mark, or a string's decoded UTF-8 content
  long value = 0;     // of a number
  std::string where;  // "file:line"
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) { throw ResourceError(where + ": " + what); }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsWordStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Removes comments, keeping line breaks (for line numbers) and string literals.
std::string StripComments(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    if (in[i] == '"') {
      size_t j = i + 1;
      while (j < in.size() && in[j] != '\n' && in[j] != '"') j += in[j] == '\\' ? 2 : 1;
      j = std::min(j + 1, in.size());  // "" is a quote: two strings side by side strip alike
      out.append(in, i, j - i);
      i = j;
    } else if (in.compare(i, 2, "//") == 0) {
      while (i < in.size() && in[i] != '\n') ++i;
    } else if (in.compare(i, 2, "/*") == 0) {
      size_t end = in.find("*/", i + 2);
      end = end == std::string::npos ? in.size() : end + 2;
      for (; i < end; ++i)
        if (in[i] == '\n') out.push_back('\n');
      out.push_back(' ');
    } else {
      out.push_back(in[i++]);
    }
  }
  return out;
}

std::vector<Token> Tokenize(const std::string& line, const std::string& where) {
  std::vector<Token> out;
  for (size_t i = 0; i < line.size();) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    Token t{Token::kPunct, std::string(1, line[i]), 0, where};
    size_t j = i + 1;
    if (std::isspace(c)) {
      ++i;
      continue;
    } else if (c == '"') {
      t.kind = Token::kString;
      t.text.clear();
      for (;;) {
        if (j >= line.size()) Fail(where, "string not closed on its line");
        char d = line[j++];
        if (d == '"') {
          if (j >= line.size() || line[j] != '"') break;
          ++j;  // "" is a quote
        } else if (d == '\\' && j < line.size()) {
          static const char kFrom[] = "nt\\\"", kTo[] = "\n\t\\\"";
          const char* e = line[j] ? std::strchr(kFrom, line[j]) : nullptr;
          if (!e) Fail(where, std::string("unsupported escape \\") + line[j]);
          d = kTo[e - kFrom];
          ++j;
        }
        t.text.push_back(d);
      }
    } else if (std::isdigit(c)) {
      while (j < line.size() && std::isalnum(static_cast<unsigned char>(line[j]))) ++j;
      t.kind = Token::kNumber;
      t.text = line.substr(i, j - i);
      char* end = nullptr;
      t.value = static_cast<long>(std::strtoul(t.text.c_str(), &end, 0));
      if (*end) Fail(where, "malformed number " + t.text);
    } else if (IsWordStart(line[i])) {
      while (j < line.size() && IsWordChar(line[j])) ++j;
      t.kind = Token::kWord;
      t.text = line.substr(i, j - i);
    }
    out.push_back(t);
    i = j;
  }
  return out;
}

class Reader {
 public:
  explicit Reader(const ResourceReader& read) : read_(read) {}

  ResourceScript Run(const std::string& script) {
    int lines = Preprocess(script, false, 0);
    // An error at the end of the script names its last line.
    tokens_.push_back(Token{Token::kEnd, "", 0, script + ":" + std::to_string(std::max(lines, 1)) + ": at the end"});
    while (Peek().kind != Token::kEnd) Statement();
    return std::move(out_);
  }

 private:
  struct Macro {
    std::string text, where;
  };

  // Returns the number of lines of NAME. A header (.h) gives its directives only.
  int Preprocess(const std::string& name, bool header, int depth) {
    std::optional<std::string> text = read_(name);
    if (!text) Fail(name, "cannot be read");
    std::istringstream lines(StripComments(*text));
    std::string line;
    int number = 0;
    // Per open #ifdef: whether its lines count, and where it is.
    std::vector<std::pair<bool, std::string>> conds;
    auto active = [&](size_t below = 0) { return conds.size() <= below || conds[conds.size() - 1 - below].first; };
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string where = name + ":" + std::to_string(++number);
      size_t p = line.find_first_not_of(" \t");
      if (p == std::string::npos || line[p] != '#') {
        if (active() && !header) {
          std::vector<Token> t = Tokenize(line, where);
          tokens_.insert(tokens_.end(), t.begin(), t.end());
        }
        continue;
      }
      std::istringstream d(line.substr(p + 1));
      std::string directive, arg, rest;
      d >> directive >> arg;
      std::getline(d, rest);
      if (directive == "ifdef" || directive == "ifndef") {
        bool defined = macros_.count(arg) || arg == "RC_INVOKED";
        conds.emplace_back(active() && defined == (directive == "ifdef"), where);
      } else if (directive == "else" || directive == "endif") {
        if (conds.empty()) Fail(where, "#" + directive + " without #ifdef");
        if (directive == "endif") conds.pop_back();
        else conds.back().first = active(1) && !conds.back().first;
      } else if (directive == "if" || directive == "elif") {
        Fail(where, "#" + directive + " is not supported");  // even skipped: its #endif would end a block
      } else if (!active()) {
      } else if (directive == "include") {
        if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"') {
          std::string file = arg.substr(1, arg.size() - 2);
          if (!read_(file)) Fail(where, "cannot find \"" + file + "\"");
          if (depth >= 16) Fail(where, "#include nested too deeply");
          Preprocess(file, file.size() > 2 && Upper(file.substr(file.size() - 2)) == ".H", depth + 1);
        } else if (arg.empty() || arg[0] != '<') {
          Fail(where, "malformed #include");
        }
        // <windows.h> and the like: the constants the scripts use are built in.
      } else if (directive == "define") {
        if (arg.empty() || !IsWordStart(arg[0])) Fail(where, "malformed #define");
        if (arg.find('(') == std::string::npos) macros_[arg] = Macro{rest, where};  // function-like: no resource
      } else {
        Fail(where, "#" + directive + " is not supported");
      }
    }
    if (!conds.empty()) Fail(conds.back().second, "#ifdef without #endif");
    return number;
  }

  // A number: a constant, or a symbol standing for one. DEPTH bounds a chain of symbols.
  long Value(const std::vector<Token>& t, size_t& pos, int depth) const {
    const Token& k = t[pos];
    if (k.kind == Token::kNumber) return t[pos++].value;
    if (k.kind != Token::kWord) Fail(k.where, "expression expected, found '" + k.text + "'");
    ++pos;
    auto m = macros_.find(k.text);
    if (m != macros_.end()) {
      if (depth > 32) Fail(m->second.where, "#define nested too deeply");
      std::vector<Token> def = Tokenize(m->second.text, m->second.where);
      def.push_back(Token{Token::kEnd, "", 0, m->second.where});
      size_t at = 0;
      long v = Value(def, at, depth + 1);
      if (def[at].kind != Token::kEnd) Fail(m->second.where, k.text + " is not a number");
      return v;
    }
    auto b = Builtins().find(k.text);
    if (b == Builtins().end()) Fail(k.where, "undefined symbol " + k.text);
    return b->second;
  }

  // ----------------------------------------------------------------- statements

  const Token& Peek() const { return tokens_[pos_]; }
  const Token& Next() {
    if (Peek().kind == Token::kEnd) Fail(Peek().where, "unexpected end of script");
    return tokens_[pos_++];
  }
  bool AtWord(const char* w) const { return Peek().kind == Token::kWord && Upper(Peek().text) == w; }
  bool At(const char* p) const { return Peek().kind == Token::kPunct && Peek().text == p; }
  bool AtBegin() const { return AtWord("BEGIN") || At("{"); }
  void Comma() {
    if (!At(",")) Fail(Peek().where, "',' expected, found '" + Peek().text + "'");
    ++pos_;
  }
  long Number() { return Value(tokens_, pos_, 0); }
  std::wstring String() {
    if (Peek().kind != Token::kString) Fail(Peek().where, "string expected, found '" + Peek().text + "'");
    return Utf8ToWide(Next().text);
  }
  void Begin() {
    if (!AtBegin()) Fail(Peek().where, "BEGIN expected, found '" + Peek().text + "'");
    ++pos_;
  }
  // Whether the block ends here; it is then passed.
  bool AtEnd() {
    if (Peek().kind == Token::kEnd) Fail(Peek().where, "unexpected end of script, END expected");
    bool end = AtWord("END") || At("}");
    pos_ += end;
    return end;
  }

  void Statement() {
    std::string where = Peek().where;
    if (AtWord("LANGUAGE")) {  // a script here has one language, so it is not kept
      ++pos_;
      Number();
      Comma();
      Number();
      return;
    }
    if (AtWord("STRINGTABLE")) {
      ++pos_;
      Strings();
      return;
    }
    int id = static_cast<int>(Number() & 0xFFFF);
    if (Peek().kind != Token::kWord) Fail(Peek().where, "resource type expected");
    std::string type = Upper(Next().text);
    bool fresh = true;
    if (type == "ICON") {
      if (Peek().kind != Token::kString) Fail(Peek().where, "icon file name expected");
      std::string file = Next().text;
      if (!read_(file)) Fail(where, "cannot find icon file \"" + file + "\"");
      fresh = out_.icons.insert(id).second;
    } else if (type == "ACCELERATORS") {
      fresh = out_.accelerators.emplace(id, Accelerators()).second;
    } else if (type == "DIALOG" || type == "DIALOGEX") {
      fresh = out_.dialogs.emplace(id, SkipToCaption()).second;
    } else if (type == "MENU") {
      SkipToCaption();
    } else {
      Fail(where, "resource type " + type + " is not supported");
    }
    if (!fresh) Fail(where, "duplicate " + type + " resource");
  }

  void Strings() {
    Begin();
    while (!AtEnd()) {
      std::string where = Peek().where;
      long id = Number();
      if (At(",")) ++pos_;
      std::wstring text = String();
      if (id < 0 || id > 0xFFFF) Fail(where, "string identifier out of range");
      if (!out_.strings.emplace(static_cast<unsigned>(id), text).second)
        Fail(where, "duplicate string " + std::to_string(id));
    }
  }

  std::vector<ACCEL> Accelerators() {
    static const std::map<std::string, BYTE> kOptions = {{"VIRTKEY", FVIRTKEY}, {"ASCII", 0},
                                                         {"NOINVERT", FNOINVERT}, {"ALT", FALT},
                                                         {"SHIFT", FSHIFT}, {"CONTROL", FCONTROL}};
    std::vector<ACCEL> table;
    Begin();
    while (!AtEnd()) {
      std::string where = Peek().where;
      ACCEL a{};
      bool character = Peek().kind == Token::kString;
      if (character) {
        std::wstring key = String();
        if (key.size() == 2 && key[0] == L'^' && std::iswalpha(static_cast<wint_t>(key[1]))) {
          // ^C: Control with the letter's key, as the build's resource compiler has it
          a.key = static_cast<WORD>(std::towupper(static_cast<wint_t>(key[1])));
          a.fVirt = FVIRTKEY | FCONTROL;
        } else if (key.size() == 1) {
          a.key = static_cast<WORD>(key[0]);
        } else {
          Fail(where, "an accelerator key is one character or ^ and a letter");
        }
      } else {
        a.key = static_cast<WORD>(Number());
      }
      Comma();
      a.cmd = static_cast<WORD>(Number());
      while (At(",")) {
        ++pos_;
        auto o = kOptions.find(Upper(Peek().kind == Token::kWord ? Peek().text : ""));
        if (o == kOptions.end()) Fail(Peek().where, "accelerator option expected, found '" + Peek().text + "'");
        a.fVirt = static_cast<BYTE>(a.fVirt | o->second);
        ++pos_;
      }
      // A virtual key named by a character is that character's key: letters in upper case.
      if ((a.fVirt & FVIRTKEY) && character && a.key >= 'a' && a.key <= 'z')
        a.key = static_cast<WORD>(a.key - 'a' + 'A');
      table.push_back(a);
    }
    return table;
  }

  // A dialog or a menu: its header and its body, whole. Returns its caption.
  std::wstring SkipToCaption() {
    std::wstring caption;
    while (!AtBegin()) {
      if (AtWord("CAPTION")) {
        ++pos_;
        caption = String();
      } else {
        Next();
      }
    }
    int depth = 0;
    do {
      depth += AtBegin() ? 1 : AtWord("END") || At("}") ? -1 : 0;
      Next();
    } while (depth > 0);
    return caption;
  }

  const ResourceReader& read_;
  std::map<std::string, Macro> macros_;
  std::vector<Token> tokens_;
  size_t pos_ = 0;
  ResourceScript out_;
};

}  // namespace

ResourceScript ParseResourceScript(const std::string& script, const ResourceReader& read) {
  return Reader(read).Run(script);
}

ResourceScript ReadResourceScriptFile(const std::string& path) {
  std::string dir = ".", name = path;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) {
    dir = path.substr(0, slash);
    name = path.substr(slash + 1);
  }
  return ParseResourceScript(name, [&](const std::string& file) -> std::optional<std::string> {
    std::ifstream in(dir + "/" + file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  });
}

}  // namespace winsim
