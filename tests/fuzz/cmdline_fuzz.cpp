// bulksetup's command line: ParseCmdLine on arbitrary wide text (the input read as UTF-16 code
// units, so that unpaired surrogates and every character appear), logged at trace level.
#include <vector>

#include "fuzzsupport.h"
#include "main.h"
#include "winsim/control.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  winsim::UseMachine(fuzz::NewMachine("cmdline"));
  fuzz::ImportReg(fuzz::TraceToConsole("fuzz_cmdline"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<WCHAR> line(size / 2 + 1, 0);
  for (size_t i = 0; i + 1 < size; i += 2) line[i / 2] = static_cast<WCHAR>(data[i] | data[i + 1] << 8);
  QuietMode = false;
  ParseCmdLine(line.data());
  return 0;
}
