// A small check harness for the conformance test. It builds with the win32-threaded MinGW-w64
// toolchain, which has no std::mutex and so cannot build GoogleTest, and the same program then
// runs here against winsim and on Windows or Wine against the real API.
#pragma once

#include <stdio.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
  const char* name;
  void (*run)();
};

inline std::vector<Case>& Cases() {
  static std::vector<Case> cases;
  return cases;
}

struct State {
  int failures = 0;       // in the current case
  std::string skipped;    // why the current case was skipped
  std::vector<std::string> differences;  // known platform differences the case stepped around
};

inline State& Current() {
  static State state;
  return state;
}

struct Register {
  Register(const char* name, void (*run)()) { Cases().push_back({name, run}); }
};

// Printable forms of the values a check compares.
inline std::string Show(const std::string& s) { return "\"" + s + "\""; }
inline std::string Show(const char* s) { return s ? Show(std::string(s)) : std::string("(null)"); }
inline std::string Show(const std::wstring& s) {
  std::string out = "L\"";
  for (wchar_t c : s) {
    if (c >= 32 && c < 127) {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[16];
      snprintf(buf, sizeof buf, "\\x%04x", static_cast<unsigned>(c));
      out += buf;
    }
  }
  return out + "\"";
}
inline std::string Show(const wchar_t* s) { return s ? Show(std::wstring(s)) : std::string("(null)"); }
template <typename T>
std::string Show(const T& v) {
  std::ostringstream ss;
  ss << v;
  return ss.str();
}

inline void Fail(const char* file, int line, const std::string& what) {
  ++Current().failures;
  printf("  %s:%d: %s\n", file, line, what.c_str());
}

template <typename A, typename B>
void Equal(const A& a, const B& b, const char* ta, const char* tb, const char* file, int line,
           const std::string& context) {
  if (a == b) return;
  Fail(file, line, std::string(ta) + " == " + tb + ": " + Show(a) + " vs " + Show(b) +
                       (context.empty() ? "" : " [" + context + "]"));
}

// Notes that the current case stepped around a known difference of the platform it runs on; the
// run lists each one under the case's result.
inline void NoteDifference(const std::string& what) {
  for (const std::string& d : Current().differences)
    if (d == what) return;
  Current().differences.push_back(what);
}

// Run after every case (winsim uses it to check that the case closed what it opened).
inline void (*&AfterEach())() {
  static void (*hook)() = nullptr;
  return hook;
}

inline int RunAll(int argc, char** argv) {
  int failed = 0, skipped = 0, passed = 0;
  for (const Case& c : Cases()) {
    if (argc > 1 && strstr(c.name, argv[1]) == NULL) continue;
    Current() = State();
    c.run();
    if (AfterEach()) AfterEach()();
    if (Current().failures) {
      printf("[FAIL] %s\n", c.name);
      ++failed;
    } else if (!Current().skipped.empty()) {
      printf("[SKIP] %s: %s\n", c.name, Current().skipped.c_str());
      ++skipped;
    } else {
      printf("[ OK ] %s\n", c.name);
      ++passed;
    }
    for (const std::string& d : Current().differences) printf("[WINE] %s: %s\n", c.name, d.c_str());
    fflush(stdout);
  }
  printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed ? 1 : 0;
}

}  // namespace check

#define CONFORMANCE(name)                                   \
  static void name();                                       \
  static const check::Register register_##name(#name, name); \
  static void name()

// CONTEXT names the table row, so that a failure says which one.
#define CHECK_EQ_AT(a, b, context) check::Equal((a), (b), #a, #b, __FILE__, __LINE__, (context))
#define CHECK_EQ(a, b) CHECK_EQ_AT(a, b, std::string())
#define CHECK(cond) \
  ((cond) ? (void)0 : check::Fail(__FILE__, __LINE__, std::string("expected ") + #cond))
#define CHECK_AT(cond, context) \
  ((cond) ? (void)0 : check::Fail(__FILE__, __LINE__, std::string("expected ") + #cond + " [" + (context) + "]"))
#define SKIP(reason) \
  do {               \
    check::Current().skipped = (reason); \
    return;          \
  } while (0)
