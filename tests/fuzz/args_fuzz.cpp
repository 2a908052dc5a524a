// drvpurge's arguments: ParseArguments on an arbitrary argument vector (the input split at zero
// bytes; each argument is narrow text in the ANSI code page, as the runtime hands it over).
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "main.h"
#include "winsim/control.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  winsim::UseMachine(fuzz::NewMachine("args"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"drvpurge"};
  std::string arg;
  for (size_t i = 0; i < size; ++i) {
    if (data[i]) {
      arg += static_cast<char>(data[i]);
    } else {
      args.push_back(arg);
      arg.clear();
    }
  }
  if (!arg.empty()) args.push_back(arg);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  ParseArguments(static_cast<int>(args.size()), argv.data());
  return 0;
}
