// Spooler listings -> drvpurge's components: monitors, ports, drivers and printers with arbitrary
// names and dependent-file lists on a fresh copy of the machine, then each print component's
// IsInstalled and Remove, as a run asks them.
#include <fuzzer/FuzzedDataProvider.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzzsupport.h"
#include "portmonitor.h"
#include "printer.h"
#include "printerdriver.h"
#include "spooler.h"
#include "winsim/control.h"
#include "winsim/model_spooler.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {
std::string g_pristine, g_machine;
json g_doc;
std::unique_ptr<CSpoolerClass> g_spooler;

// Names the package uses, in the spooler's spelling and others, and arbitrary ones of any length.
std::string Name(FuzzedDataProvider& in) {
  static const char* const kKnown[] = {"Vexa Q52", "VEXA q52", "Vexa Q52 Language/Port Monitor", "Q52USB001:",
                                       "Local Port", "vexaktwxp.dll", "vexaktenu.dll", "",
                                       "Vexa Q52,LocalOnly", "..\\..\\system.ini"};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.PickValueInArray(kKnown);
    case 1: return in.PickValueInArray(kKnown) + in.ConsumeRandomLengthString(16);
    case 2: return std::string(in.ConsumeIntegralInRange<size_t>(0, 10000), in.ConsumeIntegral<char>());
    default: return in.ConsumeRandomLengthString(300);
  }
}

template <typename T>
std::vector<T> Records(FuzzedDataProvider& in, const std::function<void(T&)>& fill) {
  std::vector<T> list;
  for (int n = in.ConsumeIntegralInRange<int>(0, 4); n > 0; --n) fill(list.emplace_back());
  return list;
}
}  // namespace

// drvpurge's own spooler object is a global of the program; here one per input.
CSpoolerClass& Spooler() { return *g_spooler; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_pristine = fuzz::NewMachine("spooler-image");
  g_machine = fuzz::Scratch() + "/spooler";
  g_doc = json::parse(fuzz::ReadFile(g_pristine + "/machine.json"));
  g_doc["clock"] = {{"virtual", true}, {"now", "2026-12-06T16:17:09.042Z"}};
  fs::copy(g_pristine, g_machine, fs::copy_options::recursive);
  winsim::UseMachine(g_machine);
  fuzz::ImportReg(fuzz::TraceToConsole("drvpurge"));
  winsim::ReleaseMachine();
  fs::copy_file(g_machine + "/system.reg", g_pristine + "/system.reg", fs::copy_options::overwrite_existing);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  json doc = g_doc;
  namespace model = winsim::model;
  model::Spooler spooler = model::SpoolerOf(doc);
  // Each field drawn in the order the corpus was made with.
  spooler.monitors = Records<model::Monitor>(in, [&](model::Monitor& m) {
    m.name = Name(in);
    m.dll = Name(in);
  });
  spooler.ports = Records<model::Port>(in, [&](model::Port& p) {
    p.name = Name(in);
    p.monitor = Name(in);
    p.description = Name(in);
  });
  spooler.drivers = Records<model::Driver>(in, [&](model::Driver& d) {
    for (int n = in.ConsumeIntegralInRange<int>(0, 8); n > 0; --n) d.dependentFiles.push_back(Name(in));
    d.name = Name(in);
    d.environment = in.ConsumeBool() ? "Windows NT x86" : Name(in);
    d.version = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    d.driverPath = Name(in);
    d.dataFile = Name(in);
    d.configFile = Name(in);
    d.helpFile = Name(in);
    d.monitor = Name(in);
    d.defaultDataType = "RAW";
  });
  spooler.printers = Records<model::Printer>(in, [&](model::Printer& p) {
    p.name = Name(in);
    p.driver = Name(in);
    p.port = Name(in);
    p.jobs = in.ConsumeIntegralInRange<uint32_t>(0, 2);
  });
  model::SetSpooler(doc, spooler);

  // A fresh copy each time: a removal deletes files of the machine.
  std::error_code ec;
  fs::remove_all(g_machine, ec);
  // What a run left that cannot be removed (a path too long to name, say) is moved aside whole,
  // so that the next input starts from the pristine machine all the same.
  static unsigned left = 0;
  if (fs::exists(g_machine, ec)) fs::rename(g_machine, g_machine + ".left-" + std::to_string(++left), ec);
  fs::copy(g_pristine, g_machine, fs::copy_options::recursive);
  fuzz::WriteFile(g_machine + "/machine.json", doc.dump(1, ' ', false, json::error_handler_t::replace));
  winsim::UseMachine(g_machine);
  g_spooler.reset(new CSpoolerClass());
  {
    CPrinterClass printer;
    CPrinterDriverClass driver;
    CMonitorClass monitor;
    CGenericClass* components[] = {&printer, &driver, &monitor};
    for (CGenericClass* c : components) {
      c->IsInstalled();
      c->Remove();
    }
  }
  g_spooler.reset();
  fuzz::CheckNoOpenHandles("the print components");
  winsim::ReleaseMachine();
  return 0;
}
