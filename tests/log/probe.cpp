// A small program that logs what its command line asks for, so that tests can watch the
// process-wide logger from its first call to its exit. Built twice: with the logger linked in
// (named "drvpurge") and with the shared library (named after this program).
//
//   log L TEXT      Log(L, "%s", TEXT)
//   ws L TEXT       Log(L, "<%ws>", wide TEXT)
//   wlog L TEXT     WLog(L, L"<%s>", wide TEXT)      TEXT is UTF-8
//   quick L TEXT    LogQuick(L, TEXT)
//   long L N        Log(L, "%s", N letters a..z repeating); "wlong" and "quicklong" likewise
//   numbers         Log(LOG_INFO, "%d %x %08x", -30, 0xbeef, 0x2a)
//   null            Log, WLog and LogQuick at LOG_ERROR with a null format or text
//   sleep MS        Sleep(MS): moves the machine's virtual clock
//   threads N M     N threads, started together, each logs M lines, cycling through the three calls
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log.h"

namespace {

std::wstring Widen(const std::string& utf8) {
  std::wstring out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    unsigned long cp = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + static_cast<size_t>(k) < utf8.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + static_cast<size_t>(k)]) & 0x3F);
    out.push_back(static_cast<wchar_t>(cp));
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::string Letters(long n) {
  std::string s;
  for (long i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

_LOG_LEVEL Level(const char* s) { return static_cast<_LOG_LEVEL>(std::strtol(s, nullptr, 0)); }

void ThreadLines(int thread, int lines, std::atomic<int>& ready, int threads) {
  ready.fetch_add(1);
  while (ready.load() < threads) {
  }
  for (int n = 0; n < lines; ++n) {
    switch (n % 3) {
      case 0: Log(LOG_INFO, "thread %02d line %04d via Log ----------------------------", thread, n); break;
      case 1: WLog(LOG_INFO, L"thread %02d line %04d via WLog %s", thread, n, L"---------------------------"); break;
      default: {
        char text[96];
        std::snprintf(text, sizeof(text), "thread %02d line %04d via LogQuick -----------------------", thread, n);
        LogQuick(LOG_INFO, text);
      }
    }
  }
}

int Usage() {
  std::fprintf(stderr, "probe: bad command line\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string cmd = argv[i];
    auto need = [&](int n) { return i + n < argc; };
    if (cmd == "log" && need(2)) {
      Log(Level(argv[i + 1]), "%s", argv[i + 2]);
      i += 2;
    } else if (cmd == "ws" && need(2)) {
      Log(Level(argv[i + 1]), "<%ws>", Widen(argv[i + 2]).c_str());
      i += 2;
    } else if (cmd == "wlog" && need(2)) {
      WLog(Level(argv[i + 1]), L"<%s>", Widen(argv[i + 2]).c_str());
      i += 2;
    } else if (cmd == "quick" && need(2)) {
      LogQuick(Level(argv[i + 1]), argv[i + 2]);
      i += 2;
    } else if ((cmd == "long" || cmd == "wlong" || cmd == "quicklong") && need(2)) {
      std::string text = Letters(std::strtol(argv[i + 2], nullptr, 10));
      if (cmd == "long") Log(Level(argv[i + 1]), "%s", text.c_str());
      else if (cmd == "wlong") WLog(Level(argv[i + 1]), L"%s", Widen(text).c_str());
      else LogQuick(Level(argv[i + 1]), text.c_str());
      i += 2;
    } else if (cmd == "numbers") {
      Log(LOG_INFO, "%d %x %08x", -30, 0xbeef, 0x2a);
    } else if (cmd == "null") {
      Log(LOG_ERROR, nullptr);
      WLog(LOG_ERROR, nullptr);
      LogQuick(LOG_ERROR, nullptr);
    } else if (cmd == "sleep" && need(1)) {
      Sleep(static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10)));
      i += 1;
    } else if (cmd == "threads" && need(2)) {
      int threads = std::atoi(argv[i + 1]), lines = std::atoi(argv[i + 2]);
      std::atomic<int> ready(0);
      std::vector<std::thread> pool;
      for (int t = 0; t < threads; ++t) pool.emplace_back(ThreadLines, t, lines, std::ref(ready), threads);
      for (auto& th : pool) th.join();
      i += 2;
    } else {
      return Usage();
    }
  }
  return 0;
}
