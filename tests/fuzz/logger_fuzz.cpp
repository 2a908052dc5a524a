// The logger's configuration and text: values of any type and size under its Logger key (set the
// way a site sets them, through a .reg file), then Log, WLog and LogQuick with arbitrary arguments.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "logger.h"
#include "winsim/control.h"

namespace {
std::string g_key;
std::string g_cwd;

const unsigned kTypes[] = {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, 5 /* big-endian */, REG_MULTI_SZ, 11 /* QWORD */};

// A short run of bytes repeated, so that values of many thousand bytes are within reach.
std::string Bytes(FuzzedDataProvider& in) {
  std::string run = in.ConsumeRandomLengthString(64);
  unsigned repeat = in.ConsumeIntegralInRange<unsigned>(1, 400);
  std::string out;
  for (unsigned i = 0; i < repeat; ++i) out += run;
  return out;
}

// The host's root is the machine's drive Z:; a file name there would write outside the scratch
// directory, so the harness moves it to C:.
void KeepOffHostRoot(std::string& b) {
  auto upperZ = [](char c) { return c == 'z' || c == 'Z'; };
  if (b.size() >= 2 && upperZ(b[0]) && b[1] == ':') b[0] = 'C';
  if (b.size() >= 4 && upperZ(b[0]) && b[1] == '\0' && b[2] == ':' && b[3] == '\0') b[0] = 'C';
}

std::wstring Utf16Units(const std::string& b) {
  std::wstring w;
  for (size_t i = 0; i + 1 < b.size(); i += 2)
    w += static_cast<wchar_t>(static_cast<unsigned char>(b[i]) | static_cast<unsigned char>(b[i + 1]) << 8);
  return w;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string machine = fuzz::NewMachine("logger");
  winsim::UseMachine(machine);
  char program[MAX_PATH];
  g_key = std::string("HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexa\\") + LoggerProgramName(program, sizeof(program)) + "\\Logger";
  // A relative file name is relative to the current directory: a scratch one, emptied per input.
  g_cwd = fuzz::Scratch() + "/cwd";
  std::filesystem::create_directories(g_cwd);
  if (chdir(g_cwd.c_str()) != 0) fuzz::Finding("cannot enter " + g_cwd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string reg = "[-" + g_key + "]\r\n\r\n[" + g_key + "]\r\n";
  for (const char* name : {"Level", "FileName", "MaxLength", "IsConsole"}) {
    if (in.ConsumeBool()) continue;
    unsigned type = in.PickValueInArray(kTypes);
    std::string bytes = Bytes(in);
    if (std::string(name) == "FileName") KeepOffHostRoot(bytes);
    char head[32];
    snprintf(head, sizeof(head), "hex(%x):", type);
    reg += "\"" + std::string(name) + "\"=" + head;
    for (size_t i = 0; i < bytes.size(); ++i) {
      char byte[4];
      snprintf(byte, sizeof(byte), i ? ",%02x" : "%02x", static_cast<unsigned char>(bytes[i]));
      reg += byte;
    }
    reg += "\r\n";
  }
  fuzz::ImportReg(reg);

  // The configuration is read as the logger is made, once per process in a run.
  char program[MAX_PATH];
  g_processLogger.store(new CFileLogger(LoggerProgramName(program, sizeof(program))));
  while (in.remaining_bytes()) {
    _LOG_LEVEL level = static_cast<_LOG_LEVEL>(in.ConsumeIntegralInRange<int>(-1, 5));
    std::string text = Bytes(in);
    std::wstring wide = Utf16Units(text);
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: Log(level, "%s", text.c_str()); break;
      case 1: Log(level, "%ws (%d)", wide.c_str(), static_cast<int>(wide.size())); break;
      case 2: WLog(level, L"%s", wide.c_str()); break;
      default: LogQuick(level, text.c_str()); break;
    }
  }
  delete g_processLogger.exchange(nullptr);
  fuzz::CheckNoOpenHandles("logging");
  std::error_code ec;
  std::filesystem::remove_all(g_cwd, ec);
  std::filesystem::create_directories(g_cwd, ec);
  return 0;
}
