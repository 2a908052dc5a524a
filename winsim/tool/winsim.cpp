// winsim: set up and look at a simulated machine directory.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "machine.h"
#include "winsim/control.h"

namespace {

const char kUsage[] =
    "usage: winsim COMMAND ...\n"
    "  init DIR [--image NAME]           create a machine from a built-in image (default %s)\n"
    "  images                            list the built-in images\n"
    "  show DIR                          show what the machine holds\n"
    "  reg import DIR FILE.reg           import a regedit file into the machine's registry\n"
    "  os DIR MAJOR.MINOR[.BUILD] [--platform N] [--csd TEXT]\n"
    "                                    set the operating-system version GetVersionEx reports\n"
    "  clock DIR real | virtual [TIME]   use the real clock, or a virtual one starting at TIME\n"
    "                                    (like 2026-12-06T16:17:09.042Z)\n";

int Usage() {
  std::fprintf(stderr, kUsage, winsim::DefaultImage().c_str());
  return 2;
}

// Loads DIR, lets EDIT change it, and writes it back; the last run's report stays as it was.
template <typename Edit>
void EditMachine(const std::string& dir, Edit edit) {
  winsim::Machine m;
  m.Load(dir);
  edit(m);
  m.Save();
}

int Run(const std::vector<std::string>& a) {
  if (a.empty()) return Usage();
  const std::string& cmd = a[0];
  if (cmd == "images" && a.size() == 1) {
    for (auto& n : winsim::ImageNames()) std::cout << n << (n == winsim::DefaultImage() ? "  (default)" : "") << "\n";
    return 0;
  }
  if (cmd == "init" && (a.size() == 2 || (a.size() == 4 && a[2] == "--image"))) {
    winsim::CreateMachine(a[1], a.size() == 4 ? a[3] : winsim::DefaultImage());
    std::cout << "created " << a[1] << " from image " << (a.size() == 4 ? a[3] : winsim::DefaultImage()) << "\n";
    return 0;
  }
  if (cmd == "show" && a.size() == 2) {
    std::cout << winsim::DescribeMachine(a[1]);
    return 0;
  }
  if (cmd == "reg" && a.size() == 4 && a[1] == "import") {
    winsim::ImportRegFile(a[2], a[3]);
    std::cout << "imported " << a[3] << " into " << a[2] << "\n";
    return 0;
  }
  if (cmd == "os" && a.size() >= 3) {
    winsim::OsVersion v;
    unsigned major = 0, minor = 0, build = 0;
    int n = std::sscanf(a[2].c_str(), "%u.%u.%u", &major, &minor, &build);
    if (n < 2) return Usage();
    v.major = major;
    v.minor = minor;
    v.build = n == 3 ? build : 0;
    v.csdVersion = "";
    for (size_t i = 3; i + 1 < a.size(); i += 2) {
      if (a[i] == "--platform") v.platformId = static_cast<uint32_t>(std::stoul(a[i + 1]));
      else if (a[i] == "--csd") v.csdVersion = a[i + 1];
      else return Usage();
    }
    if (a.size() % 2 == 0) return Usage();
    EditMachine(a[1], [&](winsim::Machine& m) {
      m.doc["os"] = {{"major", v.major}, {"minor", v.minor}, {"build", v.build},
                     {"platformId", v.platformId}, {"csdVersion", v.csdVersion}};
    });
    return 0;
  }
  if (cmd == "clock" && (a.size() == 3 || a.size() == 4)) {
    if (a[2] == "real" && a.size() == 3) {
      EditMachine(a[1], [](winsim::Machine& m) {
        m.virtualClock = false;
        m.doc["clock"] = {{"virtual", false}};
      });
      return 0;
    }
    if (a[2] == "virtual") {
      std::string t = a.size() == 4 ? a[3] : "2026-12-06T16:17:09.042Z";
      EditMachine(a[1], [&](winsim::Machine& m) {
        m.doc["clock"] = {{"virtual", true}, {"now", t}};
        m.virtualClock = false;  // Save keeps the document's clock as given
      });
      return 0;
    }
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return Run(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "winsim: %s\n", e.what());
    return 1;
  }
}
