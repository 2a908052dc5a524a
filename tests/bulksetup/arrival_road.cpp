// The plugged-in road as a process: the installer's monitor and worker threads start on the
// machine in WINSIM_MACHINE, the start-up pass finds nothing to install, and the printer whose
// devnode is in the file named by the first argument is plugged in. The run ends when the
// driver is installed, or after a bounded wait on the machine's clock when it is not: a failed
// install keeps the program waiting for the next arrival. A run still waiting then says so on
// standard output, with the number of threads still running. Always exits 0, as the program does.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "main.h"
#include "monitor.h"
#include "winsim/devices.h"
#include "winsim/threads.h"

namespace {

const char kPrinter[] = "USB\\VID_F0F0&PID_0052\\Q52000123";
// Long enough for every Plug and Play wait of one pass; virtual, so it costs no real time.
const DWORD kStartUpMs = 1000;
const DWORD kBoundMs = 120000;

}  // namespace

int main(int argc, char** argv) {
  std::string printer;
  if (argc > 1) {
    std::ifstream in(argv[1]);
    std::stringstream text;
    text << in.rdbuf();
    printer = text.str();
  }

  // The entry routine's run sequence, with the arrival between the start-up pass and the end.
  EndEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (EndEvent) {
    if (StartMonitoring()) {
      // The clock passes kStartUpMs only once the start-up pass is over and both threads wait.
      if (WaitForSingleObject(EndEvent, kStartUpMs) == WAIT_TIMEOUT && !printer.empty()) {
        winsim::AddDevice(printer);
        winsim::DeviceArrives(kPrinter);
        if (WaitForSingleObject(EndEvent, kBoundMs) == WAIT_TIMEOUT)
          std::printf("still waiting after %lu ms with %d thread(s) running\n", static_cast<unsigned long>(kBoundMs),
                      winsim::ThreadsRunning());
      }
      StopMonitoring();
    }
    if (!AThreadWasGivenUp()) {
      CloseHandle(EndEvent);
      EndEvent = NULL;
    }
  }
  return 0;
}
