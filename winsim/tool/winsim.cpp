// winsim: set up and look at a simulated machine directory.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/pnp.h"
#include "core/filemarks.h"
#include "core/machine.h"
#include "core/registry.h"
#include "winspool/spoolerstate.h"
#include "winsim/control.h"
#include "winsim/inf.h"
#include "winsim/threads.h"

namespace {

using winsim::json;

const char kUsage[] =
    "usage: winsim COMMAND ...\n"
    "  init DIR [--image NAME]           create a machine from a built-in image (default %s)\n"
    "  init DIR --example EXAMPLE_DIR    create a machine from an example's example.json\n"
    "  images                            list the built-in images\n"
    "  show DIR                          show what the machine holds: version, services, spooler,\n"
    "                                    registry and files\n"
    "  reg import DIR FILE.reg           import a regedit file into the machine's registry\n"
    "  os DIR MAJOR.MINOR[.BUILD] [--platform N] [--csd TEXT]\n"
    "                                    set the operating-system version GetVersionEx reports\n"
    "  clock DIR real | virtual [TIME]   use the real clock, or a virtual one starting at TIME\n"
    "                                    (like 2026-12-06T16:17:09.042Z)\n"
    "  jobs add DIR PRINTER N            queue N more print jobs on the printer\n"
    "  stage DIR FILE.inf [FILE.cat]     stage an INF as the next free C:\\WINDOWS\\inf\\oemN.inf,\n"
    "                                    recording its original INF and catalog names\n"
    "  unstage DIR oemN.inf              remove a staged INF and its record\n"
    "  plug DIR INSTANCE_ID              attach a registered Plug and Play device (while a program\n"
    "                                    runs on the machine, it is told and broadcasts the arrival)\n"
    "  unplug DIR INSTANCE_ID            detach it (it stays registered)\n"
    "  pending DIR COUNT [EACH_MS]       Plug and Play installs in progress, each taking EACH_MS\n"
    "  restart DIR                       what a restart does before any program runs: carry out the\n"
    "                                    deletions and renames MoveFileEx scheduled for it\n";

int Usage() {
  std::fprintf(stderr, kUsage, winsim::DefaultImage().c_str());
  return 2;
}

// A machine directory that cannot be loaded: the tool then ends like a program would.
struct BadMachine : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void LoadMachine(winsim::Machine& m, const std::string& dir) {
  try {
    m.Load(dir);
  } catch (const std::exception& e) {
    throw BadMachine(e.what());
  }
}

// Loads DIR, lets EDIT change it, and writes it back; the last run's report stays as it was.
template <typename Edit>
void EditMachine(const std::string& dir, Edit edit) {
  winsim::Machine m;
  LoadMachine(m, dir);
  edit(m);
  m.Save();
}

// A whole decimal number; false for anything else ("2x", "", "-1").
bool ParseUnsigned(const std::string& s, uint32_t& out) {
  if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  out = static_cast<uint32_t>(std::stoul(s));
  return true;
}

int Run(const std::vector<std::string>& a) {
  if (a.empty()) return Usage();
  const std::string& cmd = a[0];
  if (cmd == "images" && a.size() == 1) {
    for (auto& n : winsim::ImageNames()) std::cout << n << (n == winsim::DefaultImage() ? "  (default)" : "") << "\n";
    return 0;
  }
  if (cmd == "init" && a.size() == 4 && a[2] == "--example") {
    winsim::CreateMachineFromExample(a[1], a[3]);
    std::cout << "created " << a[1] << " from example " << a[3] << "\n";
    return 0;
  }
  if (cmd == "stage" && (a.size() == 3 || a.size() == 4)) {
    std::string name;
    try {
      name = winsim::StageInf(a[1], a[2], a.size() == 4 ? a[3] : "");
    } catch (const winsim::MachineError& e) {
      throw BadMachine(e.what());
    }
    std::cout << "staged " << a[2] << " as " << name << "\n";
    return 0;
  }
  if (cmd == "unstage" && a.size() == 3) {
    bool found = false;
    try {
      found = winsim::UnstageInf(a[1], a[2]);
    } catch (const winsim::MachineError& e) {
      throw BadMachine(e.what());
    }
    if (!found) throw std::runtime_error(a[2] + ": not staged on " + a[1]);
    std::cout << "removed " << a[2] << "\n";
    return 0;
  }
  if (cmd == "init" && (a.size() == 2 || (a.size() == 4 && a[2] == "--image"))) {
    winsim::CreateMachine(a[1], a.size() == 4 ? a[3] : winsim::DefaultImage());
    std::cout << "created " << a[1] << " from image " << (a.size() == 4 ? a[3] : winsim::DefaultImage()) << "\n";
    return 0;
  }
  if (cmd == "show" && a.size() == 2) {
    std::string text;
    try {
      text = winsim::DescribeMachine(a[1]);
    } catch (const std::exception& e) {
      throw BadMachine(e.what());
    }
    std::cout << text;
    return 0;
  }
  if (cmd == "reg" && a.size() == 4 && a[1] == "import") {
    std::ifstream in(a[3], std::ios::binary);
    if (!in) throw std::runtime_error(a[3] + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    // The whole file is parsed before anything changes: a malformed one leaves the machine as it was.
    EditMachine(a[2], [&](winsim::Machine& m) { m.registry.Import(text.str(), a[3]); });
    std::cout << "imported " << a[3] << " into " << a[2] << "\n";
    return 0;
  }
  if (cmd == "os" && a.size() >= 3 && a.size() % 2 == 1) {
    winsim::OsVersion v;
    std::vector<std::string> parts;
    std::istringstream version(a[2]);
    for (std::string part; std::getline(version, part, '.');) parts.push_back(part);
    if ((parts.size() != 2 && parts.size() != 3) || !ParseUnsigned(parts[0], v.major) ||
        !ParseUnsigned(parts[1], v.minor) || (parts.size() == 3 && !ParseUnsigned(parts[2], v.build)))
      return Usage();
    if (parts.size() == 2) v.build = 0;
    v.csdVersion = "";
    for (size_t i = 3; i + 1 < a.size(); i += 2) {
      if (a[i] == "--platform") {
        if (!ParseUnsigned(a[i + 1], v.platformId)) return Usage();
      } else if (a[i] == "--csd") {
        v.csdVersion = a[i + 1];
      } else {
        return Usage();
      }
    }
    EditMachine(a[1], [&](winsim::Machine& m) {
      m.doc["os"] = {{"major", v.major}, {"minor", v.minor}, {"build", v.build},
                     {"platformId", v.platformId}, {"csdVersion", v.csdVersion}};
    });
    return 0;
  }
  if ((cmd == "plug" || cmd == "unplug") && a.size() == 3) {
    // While a program runs on the machine, it makes the change and broadcasts it.
    bool delivered = false;
    try {
      delivered = winsim::PlugOnMachine(a[1], a[2], cmd == "plug");
    } catch (const winsim::MachineError& e) {
      throw BadMachine(e.what());
    }
    if (delivered)
      std::cout << (cmd == "plug" ? "plugged in " : "unplugged ") << a[2] << " (the running program took it)\n";
    return 0;
  }
  if (cmd == "restart" && a.size() == 2) {
    std::vector<std::string> done;
    EditMachine(a[1], [&](winsim::Machine& m) { done = winsim::CarryOutPendingOperations(m); });
    for (const std::string& line : done) std::cout << line << "\n";
    std::cout << "restarted " << a[1] << " (" << done.size() << " pending operation(s))\n";
    return 0;
  }
  if (cmd == "pending" && (a.size() == 3 || a.size() == 4)) {
    uint32_t count = 0, each = 5000;
    if (!ParseUnsigned(a[2], count) || (a.size() == 4 && !ParseUnsigned(a[3], each))) return Usage();
    EditMachine(a[1], [&](winsim::Machine& m) {
      m.doc["pendingInstalls"] = count;
      m.doc["pendingInstallMs"] = each;
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
      // A time the machine could not load later is refused now.
      int64_t now = 0;
      if (!winsim::ParseIsoMillis(a.size() == 4 ? a[3] : "2026-12-06T16:17:09.042Z", now)) return Usage();
      EditMachine(a[1], [&](winsim::Machine& m) {
        m.virtualClock = true;
        m.virtualNow = now;
        m.bootMillis = now - 3600 * 1000;
      });
      return 0;
    }
  }
  if (cmd == "jobs" && a.size() == 5 && a[1] == "add") {
    uint32_t n = 0;
    if (!ParseUnsigned(a[4], n)) return Usage();
    unsigned total = 0;
    std::string name;
    EditMachine(a[2], [&](winsim::Machine& m) {
      auto* p = winsim::spooler::FindByName(winsim::spooler::State(m).printers, winsim::Utf8ToWide(a[3]));
      if (!p) throw std::runtime_error(a[2] + ": no printer named '" + a[3] + "'");
      total = p->jobs += n;
      name = p->name;
    });
    std::cout << name << ": " << total << " job(s) queued\n";
    return 0;
  }
  return Usage();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return Run(args);
  } catch (const BadMachine& e) {
    std::fprintf(stderr, "winsim: cannot load the simulated machine: %s\n", e.what());
    return winsim::kExitBadMachine;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "winsim: %s\n", e.what());
    return 1;
  }
}
