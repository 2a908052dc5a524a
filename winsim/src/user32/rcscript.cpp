// The resource-script reader: the part of the resource compiler's language that programs here
// use. The preprocessor handles #include, #define and the #if family; the statements are
// LANGUAGE, STRINGTABLE, MENU, ACCELERATORS, DIALOG/DIALOGEX and ICON. Control styles follow
// the build's resource compiler, so that the host and the Windows build agree.
#include <cctype>
#include <cwctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/registry.h"
#include "winsim/resources.h"

namespace winsim {
namespace {

// Constants a script may use from <windows.h>.
const std::map<std::string, long>& BuiltinSymbols() {
  static const std::map<std::string, long> symbols = {
      {"IDOK", 1}, {"IDCANCEL", 2}, {"IDABORT", 3}, {"IDRETRY", 4}, {"IDIGNORE", 5}, {"IDYES", 6}, {"IDNO", 7},
      {"WS_OVERLAPPED", 0}, {"WS_POPUP", 0x80000000L}, {"WS_CHILD", 0x40000000L}, {"WS_MINIMIZE", 0x20000000L},
      {"WS_VISIBLE", 0x10000000L}, {"WS_DISABLED", 0x08000000L}, {"WS_CLIPSIBLINGS", 0x04000000L},
      {"WS_CLIPCHILDREN", 0x02000000L}, {"WS_MAXIMIZE", 0x01000000L}, {"WS_CAPTION", 0x00C00000L},
      {"WS_BORDER", 0x00800000L}, {"WS_DLGFRAME", 0x00400000L}, {"WS_VSCROLL", 0x00200000L},
      {"WS_HSCROLL", 0x00100000L}, {"WS_SYSMENU", 0x00080000L}, {"WS_THICKFRAME", 0x00040000L},
      {"WS_GROUP", 0x00020000L}, {"WS_TABSTOP", 0x00010000L}, {"WS_MINIMIZEBOX", 0x00020000L},
      {"WS_MAXIMIZEBOX", 0x00010000L}, {"WS_EX_DLGMODALFRAME", 0x1}, {"WS_EX_TOPMOST", 0x8},
      {"WS_EX_TOOLWINDOW", 0x80}, {"WS_EX_CLIENTEDGE", 0x200}, {"WS_EX_STATICEDGE", 0x20000},
      {"DS_ABSALIGN", 0x01}, {"DS_SYSMODAL", 0x02}, {"DS_LOCALEDIT", 0x20}, {"DS_SETFONT", 0x40},
      {"DS_MODALFRAME", 0x80}, {"DS_NOIDLEMSG", 0x100}, {"DS_SETFOREGROUND", 0x200}, {"DS_3DLOOK", 0x4},
      {"DS_FIXEDSYS", 0x8}, {"DS_CENTER", 0x800}, {"DS_SHELLFONT", 0x48},
      {"SS_LEFT", 0}, {"SS_CENTER", 1}, {"SS_RIGHT", 2}, {"SS_ICON", 3}, {"SS_BLACKRECT", 4},
      {"SS_SIMPLE", 0xB}, {"SS_LEFTNOWORDWRAP", 0xC}, {"SS_NOPREFIX", 0x80}, {"SS_NOTIFY", 0x100},
      {"SS_CENTERIMAGE", 0x200}, {"SS_SUNKEN", 0x1000},
      {"BS_PUSHBUTTON", 0}, {"BS_DEFPUSHBUTTON", 1}, {"BS_CHECKBOX", 2}, {"BS_AUTOCHECKBOX", 3},
      {"BS_RADIOBUTTON", 4}, {"BS_3STATE", 5}, {"BS_AUTO3STATE", 6}, {"BS_GROUPBOX", 7},
      {"BS_AUTORADIOBUTTON", 9}, {"BS_LEFTTEXT", 0x20}, {"BS_FLAT", 0x8000},
      {"ES_LEFT", 0}, {"ES_CENTER", 1}, {"ES_RIGHT", 2}, {"ES_MULTILINE", 4}, {"ES_AUTOVSCROLL", 0x40},
      {"ES_AUTOHSCROLL", 0x80}, {"ES_READONLY", 0x800}, {"ES_NUMBER", 0x2000},
      {"LANG_NEUTRAL", 0}, {"LANG_ENGLISH", 0x09}, {"LANG_GERMAN", 0x07}, {"LANG_FRENCH", 0x0C},
      {"SUBLANG_NEUTRAL", 0}, {"SUBLANG_DEFAULT", 1}, {"SUBLANG_SYS_DEFAULT", 2}, {"SUBLANG_ENGLISH_US", 1},
      {"SUBLANG_ENGLISH_UK", 2}, {"SUBLANG_GERMAN", 1}, {"SUBLANG_FRENCH", 1},
      {"VK_BACK", 0x08}, {"VK_TAB", 0x09}, {"VK_RETURN", 0x0D}, {"VK_ESCAPE", 0x1B}, {"VK_SPACE", 0x20},
      {"VK_DELETE", 0x2E}, {"VK_INSERT", 0x2D}, {"VK_HELP", 0x2F}, {"VK_F1", 0x70}, {"VK_F2", 0x71},
      {"VK_F3", 0x72}, {"VK_F4", 0x73}, {"VK_F5", 0x74}, {"VK_F10", 0x79}, {"VK_F12", 0x7B},
  };
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
    char c = in[i];
    if (c == '"') {
      size_t j = i + 1;
      while (j < in.size() && in[j] != '\n') {
        if (in[j] == '\\' && j + 1 < in.size()) { j += 2; continue; }
        if (in[j] == '"') {
          if (j + 1 < in.size() && in[j + 1] == '"') { j += 2; continue; }  // "" is a quote
          ++j;
          break;
        }
        ++j;
      }
      out.append(in, i, j - i);
      i = j;
    } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '/') {
      while (i < in.size() && in[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '*') {
      i += 2;
      while (i < in.size() && !(in[i] == '*' && i + 1 < in.size() && in[i + 1] == '/')) {
        if (in[i] == '\n') out.push_back('\n');
        ++i;
      }
      i += 2;
      out.push_back(' ');
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return out;
}

class Reader {
 public:
  explicit Reader(const ResourceReader& read) : read_(read) {}

  ResourceScript Run(const std::string& script) {
    int lines = Preprocess(script, false, 0);
    // An error at the end of the script names its last line.
    tokens_.push_back(Token{Token::kEnd, "", 0, script + ":" + std::to_string(lines > 0 ? lines : 1) + ": at the end"});
    Statements();
    out_.defines.clear();
    for (auto& [name, text] : macros_) {
      try {
        std::vector<Token> t = Tokenize(text, "#define " + name);
        size_t pos = 0;
        long v = Expr(t, pos);
        if (pos == t.size()) out_.defines[name] = v;
      } catch (const ResourceError&) {
        // a define without a numeric value names no resource
      }
    }
    return std::move(out_);
  }

 private:
  // ----------------------------------------------------------------- preprocessor

  // Returns the number of lines of NAME.
  int Preprocess(const std::string& name, bool headerOnly, int depth) {
    std::optional<std::string> text = read_(name);
    if (!text) Fail(name, "cannot be read");
    std::string src = StripComments(*text);
    std::istringstream lines(src);
    std::string line;
    int number = 0;
    // Each level: whether its lines count, and whether a branch of it was taken already.
    struct Cond { bool active; bool taken; bool parentActive; std::string where; };
    std::vector<Cond> conds;
    auto active = [&] { return conds.empty() || conds.back().active; };
    while (std::getline(lines, line)) {
      ++number;
      while (!line.empty() && line.back() == '\\') {  // continued lines
        line.pop_back();
        std::string next;
        if (!std::getline(lines, next)) break;
        ++number;
        line += next;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::string where = name + ":" + std::to_string(number);
      size_t p = line.find_first_not_of(" \t");
      if (p != std::string::npos && line[p] == '#') {
        std::istringstream d(line.substr(p + 1));
        std::string directive, rest;
        d >> directive;
        std::getline(d, rest);
        size_t b = rest.find_first_not_of(" \t");
        rest = b == std::string::npos ? std::string() : rest.substr(b);
        while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.pop_back();
        if (directive == "if" || directive == "ifdef" || directive == "ifndef") {
          bool parent = active();
          bool v = parent && Condition(directive, rest, where);
          conds.push_back({v, v, parent, where});
        } else if (directive == "elif") {
          if (conds.empty()) Fail(where, "#elif without #if");
          Cond& c = conds.back();
          bool v = c.parentActive && !c.taken && Condition("if", rest, where);
          c.active = v;
          c.taken = c.taken || v;
        } else if (directive == "else") {
          if (conds.empty()) Fail(where, "#else without #if");
          Cond& c = conds.back();
          c.active = c.parentActive && !c.taken;
          c.taken = true;
        } else if (directive == "endif") {
          if (conds.empty()) Fail(where, "#endif without #if");
          conds.pop_back();
        } else if (!active()) {
          continue;
        } else if (directive == "include") {
          if (rest.size() >= 2 && rest.front() == '"' && rest.back() == '"') {
            std::string file = rest.substr(1, rest.size() - 2);
            if (!read_(file)) Fail(where, "cannot find \"" + file + "\"");
            if (depth >= 16) Fail(where, "#include nested too deeply");
            Preprocess(file, Lower(file).size() > 2 && Lower(file).substr(Lower(file).size() - 2) == ".h",
                       depth + 1);
          } else if (rest.empty() || rest.front() != '<') {
            Fail(where, "malformed #include");
          }
          // <windows.h> and the like: their constants are built in.
        } else if (directive == "define") {
          std::istringstream def(rest);
          std::string macro;
          def >> macro;
          if (macro.empty() || !IsWordStart(macro[0])) Fail(where, "malformed #define");
          if (macro.find('(') != std::string::npos) continue;  // function-like macros name no resource
          std::string value;
          std::getline(def, value);
          macros_[macro] = value;
        } else if (directive == "undef") {
          macros_.erase(rest);
        } else if (directive == "pragma" || directive == "line") {
          // code pages and the like: the script is read as UTF-8
        } else if (directive == "error") {
          Fail(where, "#error " + rest);
        } else {
          Fail(where, "unknown directive #" + directive);
        }
        continue;
      }
      if (!active() || headerOnly) continue;
      std::vector<Token> t = Tokenize(line, where);
      tokens_.insert(tokens_.end(), t.begin(), t.end());
    }
    if (!conds.empty()) Fail(conds.back().where, "#if without #endif");
    return number;
  }

  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }

  bool Defined(const std::string& name) const { return macros_.count(name) || name == "RC_INVOKED"; }

  bool Condition(const std::string& directive, const std::string& rest, const std::string& where) {
    if (directive == "ifdef") return Defined(rest);
    if (directive == "ifndef") return !Defined(rest);
    // #if: defined(X), !, numbers and symbols joined by || and &&.
    std::string expr;
    for (size_t i = 0; i < rest.size();) {
      if (rest.compare(i, 7, "defined") == 0 && (i + 7 >= rest.size() || !IsWordChar(rest[i + 7]))) {
        size_t j = i + 7;
        while (j < rest.size() && (rest[j] == ' ' || rest[j] == '(')) ++j;
        size_t k = j;
        while (k < rest.size() && IsWordChar(rest[k])) ++k;
        expr += Defined(rest.substr(j, k - j)) ? " 1 " : " 0 ";
        while (k < rest.size() && (rest[k] == ' ' || rest[k] == ')')) ++k;
        i = k;
      } else {
        expr += rest[i++];
      }
    }
    std::vector<Token> t = Tokenize(expr, where);
    if (t.empty()) Fail(where, "#" + directive + " without an expression");
    size_t pos = 0;
    long v = Logical(t, pos, where);
    if (pos != t.size()) Fail(where, "cannot evaluate #if " + rest);
    return v != 0;
  }

  long Logical(const std::vector<Token>& t, size_t& pos, const std::string& where) {
    auto operand = [&]() -> long {
      bool negate = false;
      while (pos + 1 < t.size() && t[pos].kind == Token::kPunct && t[pos].text == "!") {
        negate = !negate;
        ++pos;
      }
      long v = Expr(t, pos);
      return negate ? !v : v;
    };
    long v = operand();
    while (pos + 1 < t.size() && t[pos].kind == Token::kPunct && t[pos + 1].kind == Token::kPunct &&
           (t[pos].text == "|" || t[pos].text == "&") && t[pos + 1].text == t[pos].text) {
      bool orOp = t[pos].text == "|";
      pos += 2;
      long r = operand();
      v = orOp ? (v || r) : (v && r);
    }
    (void)where;
    return v;
  }

  // ----------------------------------------------------------------- tokens

  static std::vector<Token> Tokenize(const std::string& line, const std::string& where) {
    std::vector<Token> out;
    for (size_t i = 0; i < line.size();) {
      char c = line[i];
      if (std::isspace(static_cast<unsigned char>(c))) {
        ++i;
      } else if (c == '"' || ((c == 'L' || c == 'l') && i + 1 < line.size() && line[i + 1] == '"')) {
        if (c != '"') ++i;
        Token t{Token::kString, "", 0, where};
        size_t j = i + 1;
        bool closed = false;
        while (j < line.size()) {
          char d = line[j];
          if (d == '"') {
            if (j + 1 < line.size() && line[j + 1] == '"') {
              t.text.push_back('"');
              j += 2;
              continue;
            }
            closed = true;
            ++j;
            break;
          }
          if (d == '\\' && j + 1 < line.size()) {
            char e = line[j + 1];
            j += 2;
            switch (e) {
              case 'n': t.text.push_back('\n'); break;
              case 't': t.text.push_back('\t'); break;
              case 'r': t.text.push_back('\r'); break;
              case 'a': t.text.push_back('\b'); break;  // the resource compiler's \a is a backspace
              case '\\': t.text.push_back('\\'); break;
              case '"': t.text.push_back('"'); break;
              case 'x': {
                unsigned v = 0;
                int n = 0;
                while (j < line.size() && n < 4 && std::isxdigit(static_cast<unsigned char>(line[j]))) {
                  v = v * 16 + static_cast<unsigned>(std::stoi(std::string(1, line[j]), nullptr, 16));
                  ++j;
                  ++n;
                }
                t.text += WideToUtf8(std::wstring(1, static_cast<wchar_t>(v)));
                break;
              }
              default:
                if (e >= '0' && e <= '7') {
                  unsigned v = static_cast<unsigned>(e - '0');
                  for (int n = 0; n < 2 && j < line.size() && line[j] >= '0' && line[j] <= '7'; ++n)
                    v = v * 8 + static_cast<unsigned>(line[j++] - '0');
                  t.text += WideToUtf8(std::wstring(1, static_cast<wchar_t>(v)));
                } else {
                  t.text.push_back('\\');
                  t.text.push_back(e);
                }
            }
            continue;
          }
          t.text.push_back(d);
          ++j;
        }
        if (!closed) Fail(where, "string not closed on its line");
        out.push_back(t);
        i = j;
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        size_t j = i;
        while (j < line.size() && std::isalnum(static_cast<unsigned char>(line[j]))) ++j;
        std::string num = line.substr(i, j - i);
        while (!num.empty() && (num.back() == 'L' || num.back() == 'l' || num.back() == 'U' || num.back() == 'u'))
          num.pop_back();
        char* end = nullptr;
        unsigned long v = std::strtoul(num.c_str(), &end, 0);
        if (num.empty() || *end) Fail(where, "malformed number " + line.substr(i, j - i));
        out.push_back(Token{Token::kNumber, num, static_cast<long>(v), where});
        i = j;
      } else if (IsWordStart(c)) {
        size_t j = i;
        while (j < line.size() && IsWordChar(line[j])) ++j;
        out.push_back(Token{Token::kWord, line.substr(i, j - i), 0, where});
        i = j;
      } else if (std::strchr(",|&+-~()!{}", c)) {
        out.push_back(Token{Token::kPunct, std::string(1, c), 0, where});
        ++i;
      } else {
        Fail(where, std::string("unexpected character '") + c + "'");
      }
    }
    return out;
  }

  // ----------------------------------------------------------------- expressions

  // A word's value: a #define (evaluated in turn) or a built-in constant.
  bool Symbol(const std::string& name, long& v, int depth = 0) const {
    auto m = macros_.find(name);
    if (m != macros_.end()) {
      if (depth > 16) return false;
      std::vector<Token> t = Tokenize(m->second, "#define " + name);
      size_t pos = 0;
      try {
        v = ExprAt(t, pos, depth + 1);
      } catch (const ResourceError&) {
        return false;
      }
      return pos == t.size();
    }
    auto b = BuiltinSymbols().find(name);
    if (b == BuiltinSymbols().end()) return false;
    v = b->second;
    return true;
  }

  long Expr(const std::vector<Token>& t, size_t& pos) const { return ExprAt(t, pos, 0); }

  long ExprAt(const std::vector<Token>& t, size_t& pos, int depth) const {
    long v = Unary(t, pos, depth);
    while (pos < t.size() && t[pos].kind == Token::kPunct &&
           (t[pos].text == "|" || t[pos].text == "+" || t[pos].text == "-" || t[pos].text == "&")) {
      // "||" and "&&" belong to #if
      if (pos + 1 < t.size() && t[pos + 1].kind == Token::kPunct && t[pos + 1].text == t[pos].text) break;
      std::string op = t[pos++].text;
      long r = Unary(t, pos, depth);
      if (op == "|") v |= r;
      else if (op == "+") v += r;
      else if (op == "-") v -= r;
      else v &= r;
    }
    return v;
  }

  long Unary(const std::vector<Token>& t, size_t& pos, int depth) const {
    if (pos >= t.size() || t[pos].kind == Token::kEnd) Fail(pos < t.size() ? t[pos].where : pos ? t[pos - 1].where : "?", "expression expected");
    const Token& k = t[pos];
    if (k.kind == Token::kNumber) {
      ++pos;
      return k.value;
    }
    if (k.kind == Token::kPunct && (k.text == "-" || k.text == "~")) {
      ++pos;
      long v = Unary(t, pos, depth);
      return k.text == "-" ? -v : ~v;
    }
    if (k.kind == Token::kPunct && k.text == "(") {
      ++pos;
      long v = ExprAt(t, pos, depth);
      if (pos >= t.size() || t[pos].text != ")") Fail(k.where, "missing )");
      ++pos;
      return v;
    }
    if (k.kind == Token::kWord) {
      long v = 0;
      if (!Symbol(k.text, v, depth)) Fail(k.where, "undefined symbol " + k.text);
      ++pos;
      return v;
    }
    Fail(k.where, "expression expected, found '" + k.text + "'");
  }

  // ----------------------------------------------------------------- statements

  const Token& Peek(size_t ahead = 0) const { return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)]; }
  bool AtWord(const char* w, size_t ahead = 0) const {
    return Peek(ahead).kind == Token::kWord && Upper(Peek(ahead).text) == w;
  }
  bool AtPunct(const char* p) const { return Peek().kind == Token::kPunct && Peek().text == p; }
  const Token& Next() {
    const Token& t = Peek();
    if (t.kind == Token::kEnd) Fail(t.where, "unexpected end of script");
    ++pos_;
    return t;
  }
  void Comma() {
    if (!AtPunct(",")) Fail(Peek().where, "',' expected, found '" + Peek().text + "'");
    ++pos_;
  }
  bool OptionalComma() {
    if (!AtPunct(",")) return false;
    ++pos_;
    return true;
  }
  long Number() {
    if (Peek().kind == Token::kEnd) Fail(Peek().where, "number expected");
    return Expr(tokens_, pos_);
  }
  std::wstring String() {
    if (Peek().kind != Token::kString) Fail(Peek().where, "string expected, found '" + Peek().text + "'");
    return Utf8ToWide(Next().text);
  }
  void Begin() {
    if (AtWord("BEGIN") || AtPunct("{")) {
      ++pos_;
      return;
    }
    Fail(Peek().where, "BEGIN expected, found '" + Peek().text + "'");
  }
  bool AtEnd() const {
    if (Peek().kind == Token::kEnd) Fail(Peek().where, "unexpected end of script, END expected");
    return AtWord("END") || AtPunct("}");
  }
  // A style: flags joined by |, where NOT x takes x away from the defaults.
  void Style(uint32_t& set, uint32_t& clear) {
    set = clear = 0;
    for (;;) {
      bool negate = false;
      if (AtWord("NOT")) {
        negate = true;
        ++pos_;
      }
      uint32_t v = static_cast<uint32_t>(Unary(tokens_, pos_, 0));
      // arithmetic inside one term, as in (A + B)
      while (AtPunct("+") || AtPunct("-")) {
        std::string op = Next().text;
        uint32_t r = static_cast<uint32_t>(Unary(tokens_, pos_, 0));
        v = op == "+" ? v + r : v - r;
      }
      if (negate) clear |= v;
      else set |= v;
      if (!AtPunct("|")) break;
      ++pos_;
    }
  }
  void MemoryOptions() {
    static const char* const kOptions[] = {"PRELOAD", "LOADONCALL", "FIXED", "MOVEABLE", "DISCARDABLE",
                                           "PURE", "IMPURE", "SHARED", "NONSHARED"};
    for (bool again = true; again;) {
      again = false;
      for (const char* o : kOptions)
        if (AtWord(o)) {
          ++pos_;
          again = true;
        }
    }
  }
  // LANGUAGE, CHARACTERISTICS and VERSION before a resource's body.
  bool OptionalStatement(uint16_t& language) {
    if (AtWord("LANGUAGE")) {
      ++pos_;
      language = Language();
      return true;
    }
    if (AtWord("CHARACTERISTICS") || AtWord("VERSION")) {
      ++pos_;
      Number();
      return true;
    }
    return false;
  }
  uint16_t Language() {
    long primary = Number();
    Comma();
    long sub = Number();
    return static_cast<uint16_t>((sub << 10) | primary);
  }

  ResourceName Name() {
    const Token& t = Peek();
    if (t.kind == Token::kNumber || t.kind == Token::kPunct) return ResId(static_cast<int>(Number()) & 0xFFFF);
    if (t.kind == Token::kWord) {
      long v = 0;
      if (Symbol(t.text, v)) {
        ++pos_;
        return ResId(static_cast<int>(v) & 0xFFFF);
      }
      ++pos_;
      return ResourceName{-1, Utf8ToWide(Upper(t.text))};
    }
    if (t.kind == Token::kString) {
      ++pos_;
      return ResourceName{-1, Utf8ToWide(Upper(t.text))};
    }
    Fail(t.where, "resource name expected");
  }

  void Statements() {
    while (Peek().kind != Token::kEnd) {
      if (AtWord("LANGUAGE")) {
        ++pos_;
        language_ = Language();
      } else if (AtWord("STRINGTABLE")) {
        ++pos_;
        StringTable();
      } else {
        std::string where = Peek().where;
        ResourceName name = Name();
        if (Peek().kind != Token::kWord) Fail(Peek().where, "resource type expected");
        std::string type = Upper(Next().text);
        if (type == "ICON") IconResource(name, where);
        else if (type == "MENU") MenuResource(name, where);
        else if (type == "ACCELERATORS") AcceleratorResource(name, where);
        else if (type == "DIALOG" || type == "DIALOGEX") DialogResource(name, type == "DIALOGEX", where);
        else Fail(where, "resource type " + type + " is not supported");
      }
    }
  }

  template <typename Map>
  void Unique(const Map& map, const ResourceName& name, const std::string& where, const char* what) {
    if (map.count(name)) Fail(where, std::string("duplicate ") + what + " resource");
  }

  void StringTable() {
    uint16_t language = language_;
    MemoryOptions();
    while (OptionalStatement(language)) {
    }
    Begin();
    while (!AtEnd()) {
      std::string where = Peek().where;
      long id = Number();
      OptionalComma();
      std::wstring text = String();
      if (id < 0 || id > 0xFFFF) Fail(where, "string identifier out of range");
      if (out_.strings.count(static_cast<unsigned>(id))) Fail(where, "duplicate string " + std::to_string(id));
      out_.strings[static_cast<unsigned>(id)] = StringResource{language, text};
    }
    Next();
  }

  void IconResource(const ResourceName& name, const std::string& where) {
    Unique(out_.icons, name, where, "icon");
    MemoryOptions();
    if (Peek().kind != Token::kString) Fail(Peek().where, "icon file name expected");
    std::string file = Next().text;
    std::optional<std::string> data = read_(file);
    if (!data) Fail(where, "cannot find icon file \"" + file + "\"");
    Icon icon;
    icon.language = language_;
    icon.file = file;
    // ICONDIR: reserved 0, type 1, count; then a 16-byte entry per image naming its bytes.
    const std::string& d = *data;
    auto u16 = [&](size_t at) { return static_cast<unsigned>(static_cast<unsigned char>(d[at]) | static_cast<unsigned char>(d[at + 1]) << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (d.size() < 6 || u16(0) != 0 || u16(2) != 1 || u16(4) == 0) Fail(where, "\"" + file + "\" is not an icon file");
    size_t count = u16(4);
    if (d.size() < 6 + 16 * count) Fail(where, "\"" + file + "\" is cut short");
    for (size_t i = 0; i < count; ++i) {
      size_t e = 6 + 16 * i;
      size_t bytes = u32(e + 8), offset = u32(e + 12);
      if (offset > d.size() || bytes > d.size() - offset || bytes == 0)
        Fail(where, "\"" + file + "\": image " + std::to_string(i + 1) + " lies outside the file");
      IconImage img;
      img.width = static_cast<unsigned char>(d[e]) ? static_cast<unsigned char>(d[e]) : 256;
      img.height = static_cast<unsigned char>(d[e + 1]) ? static_cast<unsigned char>(d[e + 1]) : 256;
      img.bitCount = static_cast<int>(u16(e + 6));
      icon.images.push_back(img);
    }
    out_.icons[name] = icon;
  }

  void MenuItems(std::vector<MenuItem>& items) {
    Begin();
    while (!AtEnd()) {
      MenuItem item;
      if (AtWord("MENUITEM")) {
        ++pos_;
        if (AtWord("SEPARATOR")) {
          ++pos_;
          item.separator = true;
        } else {
          item.text = String();
          Comma();
          item.id = static_cast<int>(Number());
          MenuOptions();
        }
      } else if (AtWord("POPUP")) {
        ++pos_;
        item.popup = true;
        item.text = String();
        MenuOptions();
        MenuItems(item.items);
      } else {
        Fail(Peek().where, "MENUITEM or POPUP expected, found '" + Peek().text + "'");
      }
      items.push_back(item);
    }
    Next();
  }
  void MenuOptions() {
    static const char* const kOptions[] = {"CHECKED", "GRAYED", "HELP", "INACTIVE", "MENUBARBREAK", "MENUBREAK"};
    for (;;) {
      size_t save = pos_;
      bool comma = OptionalComma();
      bool found = false;
      for (const char* o : kOptions)
        if (AtWord(o)) found = true;
      if (!found) {
        pos_ = save;
        if (comma) Fail(Peek().where, "menu option expected");
        return;
      }
      ++pos_;
    }
  }

  void MenuResource(const ResourceName& name, const std::string& where) {
    Unique(out_.menus, name, where, "menu");
    Menu menu;
    menu.language = language_;
    MemoryOptions();
    while (OptionalStatement(menu.language)) {
    }
    MenuItems(menu.items);
    out_.menus[name] = menu;
  }

  void AcceleratorResource(const ResourceName& name, const std::string& where) {
    Unique(out_.accelerators, name, where, "accelerator table");
    AcceleratorTable table;
    table.language = language_;
    MemoryOptions();
    while (OptionalStatement(table.language)) {
    }
    Begin();
    while (!AtEnd()) {
      std::string at = Peek().where;
      ACCEL a{};
      bool character = false;
      if (Peek().kind == Token::kString) {
        std::wstring key = String();
        if (key.size() == 2 && key[0] == L'^' && std::iswalpha(static_cast<wint_t>(key[1]))) {
          // ^C: Control with the letter's key, as the build's resource compiler has it
          a.key = static_cast<WORD>(std::towupper(static_cast<wint_t>(key[1])));
          a.fVirt |= FVIRTKEY | FCONTROL;
        } else if (key.size() == 1) {
          a.key = static_cast<WORD>(key[0]);
        } else {
          Fail(at, "an accelerator key is one character or ^ and a letter");
        }
        character = true;
      } else {
        a.key = static_cast<WORD>(Number());
      }
      Comma();
      a.cmd = static_cast<WORD>(Number());
      bool virtKey = false, ascii = false;
      while (OptionalComma()) {
        if (Peek().kind != Token::kWord) Fail(Peek().where, "accelerator option expected");
        std::string o = Upper(Next().text);
        if (o == "VIRTKEY") virtKey = true;
        else if (o == "ASCII") ascii = true;
        else if (o == "NOINVERT") a.fVirt |= FNOINVERT;
        else if (o == "ALT") a.fVirt |= FALT;
        else if (o == "SHIFT") a.fVirt |= FSHIFT;
        else if (o == "CONTROL") a.fVirt |= FCONTROL;
        else Fail(at, "unknown accelerator option " + o);
      }
      if (virtKey && ascii) Fail(at, "an accelerator is ASCII or VIRTKEY, not both");
      bool caret = (a.fVirt & FVIRTKEY) != 0;
      if (virtKey) {
        a.fVirt |= FVIRTKEY;
        // A virtual key named by a character is that character's key: letters in upper case.
        if (character && a.key >= 'a' && a.key <= 'z') a.key = static_cast<WORD>(a.key - 'a' + 'A');
      } else if (!caret && (a.fVirt & (FSHIFT | FCONTROL))) {
        Fail(at, "SHIFT and CONTROL need a VIRTKEY accelerator");
      }
      table.entries.push_back(a);
    }
    Next();
    out_.accelerators[name] = table;
  }

  struct ControlKind {
    const char* statement;
    const wchar_t* className;
    uint32_t base;      // always set
    uint32_t defaults;  // set when the control names no style
    bool hasText;
  };

  static const ControlKind* FindControl(const std::string& stmt) {
    constexpr uint32_t kGroup = 0x20000, kTab = 0x10000, kBorder = 0x800000;
    static const ControlKind kinds[] = {
        {"LTEXT", L"Static", 0, kGroup, true},          {"CTEXT", L"Static", 1, kGroup, true},
        {"RTEXT", L"Static", 2, kGroup, true},          {"ICON", L"Static", 3, 0, true},
        {"PUSHBUTTON", L"Button", 0, kTab, true},       {"DEFPUSHBUTTON", L"Button", 1, kTab, true},
        {"CHECKBOX", L"Button", 2, kTab, true},         {"AUTOCHECKBOX", L"Button", 3, kTab, true},
        {"RADIOBUTTON", L"Button", 4, 0, true},         {"AUTORADIOBUTTON", L"Button", 9, 0, true},
        {"GROUPBOX", L"Button", 7, 0, true},            {"EDITTEXT", L"Edit", 0, kTab | kBorder, false},
        {"CONTROL", L"", 0, 0, true},
    };
    for (const ControlKind& k : kinds)
      if (stmt == k.statement) return &k;
    return nullptr;
  }

  void DialogResource(const ResourceName& name, bool extended, const std::string& where) {
    Unique(out_.dialogs, name, where, "dialog");
    Dialog dlg;
    dlg.language = language_;
    dlg.extended = extended;
    MemoryOptions();
    dlg.x = static_cast<int>(Number());
    Comma();
    dlg.y = static_cast<int>(Number());
    Comma();
    dlg.cx = static_cast<int>(Number());
    Comma();
    dlg.cy = static_cast<int>(Number());
    if (extended && OptionalComma()) Number();  // help identifier
    constexpr uint32_t kPopup = 0x80000000u, kBorder = 0x800000u, kSysMenu = 0x80000u, kCaption = 0xC00000u;
    constexpr uint32_t kSetFont = 0x40u;
    uint32_t set = 0, clear = 0;
    bool styled = false, captioned = false, font = false;
    for (;;) {
      if (OptionalStatement(dlg.language)) continue;
      if (AtWord("STYLE")) {
        ++pos_;
        Style(set, clear);
        styled = true;
      } else if (AtWord("EXSTYLE")) {
        ++pos_;
        uint32_t s = 0, c = 0;
        Style(s, c);
        dlg.exStyle = s & ~c;
      } else if (AtWord("CAPTION")) {
        ++pos_;
        dlg.caption = String();
        captioned = true;
      } else if (AtWord("FONT")) {
        ++pos_;
        dlg.fontSize = static_cast<int>(Number());
        Comma();
        dlg.fontName = String();
        // DIALOGEX: weight, italic, character set
        while (extended && OptionalComma()) Number();
        font = true;
      } else if (AtWord("MENU") || AtWord("CLASS")) {
        ++pos_;
        Name();
      } else {
        break;
      }
    }
    dlg.style = styled ? (set & ~clear) : (kPopup | kBorder | kSysMenu);
    if (captioned) dlg.style |= kCaption;
    if (font) dlg.style |= kSetFont;
    Begin();
    while (!AtEnd()) dlg.controls.push_back(Control(extended));
    Next();
    out_.dialogs[name] = dlg;
  }

  DialogControl Control(bool extended) {
    constexpr uint32_t kChild = 0x40000000u, kVisible = 0x10000000u;
    std::string where = Peek().where;
    if (Peek().kind != Token::kWord) Fail(where, "control statement expected, found '" + Peek().text + "'");
    std::string stmt = Upper(Next().text);
    const ControlKind* kind = FindControl(stmt);
    if (!kind) Fail(where, "control " + stmt + " is not supported");
    DialogControl c;
    c.statement = stmt;
    c.className = kind->className;
    if (kind->hasText) {
      if (Peek().kind == Token::kString) {
        c.text = String();
      } else if (Peek().kind == Token::kWord && BuiltinSymbols().count(Peek().text) == 0 && !macros_.count(Peek().text)) {
        c.text = Utf8ToWide(Upper(Next().text));
      } else {
        c.textId = static_cast<int>(Number());
      }
      Comma();
    }
    c.id = static_cast<int>(Number());
    Comma();
    uint32_t set = 0, clear = 0;
    bool styled = false;
    if (stmt == "CONTROL") {
      if (Peek().kind == Token::kString) c.className = String();
      else if (Peek().kind == Token::kWord) c.className = Utf8ToWide(Next().text);
      else Fail(Peek().where, "control class expected");
      Comma();
      Style(set, clear);
      styled = true;
      Comma();
    }
    c.x = static_cast<int>(Number());
    Comma();
    c.y = static_cast<int>(Number());
    bool sized = stmt != "ICON";
    if (!sized && OptionalComma()) sized = true;
    else if (sized) Comma();
    if (sized) {
      c.cx = static_cast<int>(Number());
      Comma();
      c.cy = static_cast<int>(Number());
    }
    if (stmt == "CONTROL") {
      if (OptionalComma()) {
        uint32_t s = 0, n = 0;
        Style(s, n);
        c.exStyle = s & ~n;
      }
    } else if (OptionalComma()) {
      Style(set, clear);
      styled = true;
      if (OptionalComma()) {
        uint32_t s = 0, n = 0;
        Style(s, n);
        c.exStyle = s & ~n;
      }
    }
    if (extended && OptionalComma()) Number();  // help identifier
    // A style given replaces the statement's defaults but keeps its kind (the build's compiler
    // does the same); NOT takes flags away.
    c.style = (kChild | kVisible | kind->base | (styled ? set : kind->defaults)) & ~clear;
    return c;
  }

  const ResourceReader& read_;
  std::map<std::string, std::string> macros_;
  std::vector<Token> tokens_;
  size_t pos_ = 0;
  uint16_t language_ = 0;
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
