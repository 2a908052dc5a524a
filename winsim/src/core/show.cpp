// `winsim show`: a machine directory described for a person, read without loading it.
#include <algorithm>
#include <sstream>

#include "core/machine.h"
#include "winsim/control.h"

namespace winsim {

namespace pnp {
std::string DescribeDevices(const json& doc);  // core/pnp.cpp
}

namespace {

// Services and the spooler's objects, one line each, in the machine's own order.
void DescribeServicesAndSpooler(const json& doc, std::ostream& out) {
  out << "\nServices:\n";
  for (const model::Service& sv : model::ServicesOf(doc)) {
    out << "  " << sv.name << "  " << sv.state << "  (" << sv.displayName << "; start " << sv.startMs << " ms, stop "
        << sv.stopMs << " ms";
    if (!sv.acceptsStop) out << "; refuses stop";
    if (sv.startError) out << "; start fails with " << sv.startError;
    if (!sv.dependencies.empty()) out << "; depends on";
    for (const std::string& d : sv.dependencies) out << " " << d;
    out << ")\n";
  }
  if (!doc.contains("spooler")) return;
  const model::Spooler sp = model::SpoolerOf(doc);
  out << "\nSpooler (" << sp.environment << ", driver directory " << sp.driverDirectory << "):\n";
  out << "  Printers:\n";
  for (const auto& p : sp.printers) {
    out << "    " << p.name << "  driver \"" << p.driver << "\", port " << p.port << ", " << p.jobs << " job(s)";
    if (p.pendingDeletion) out << ", pending deletion";
    out << "\n";
  }
  out << "  Drivers:\n";
  for (const auto& d : sp.drivers) {
    out << "    " << d.name << "  (" << d.environment << ", version " << d.version << ")";
    if (d.monitor.value_or("") != "") out << ", monitor \"" << *d.monitor << "\"";
    out << "\n";
  }
  out << "  Monitors:\n";
  for (const auto& m : sp.monitors) out << "    " << m.name << "  (" << m.dll << ")\n";
  out << "  Ports:\n";
  for (const auto& p : sp.ports) out << "    " << p.name << "  monitor \"" << p.monitor << "\"\n";
}

}  // namespace

std::string DescribeMachine(const std::string& dir) {
  fs::path d = fs::absolute(dir);
  std::string jsonText = ReadHostFile(d / "machine.json");
  json doc = ParseJsonText(jsonText, (d / "machine.json").string());
  Registry reg;
  if (fs::exists(d / "system.reg")) reg.Import(ReadHostFile(d / "system.reg"), (d / "system.reg").string());

  std::ostringstream out;
  out << "Machine " << d.string() << "\n";
  if (doc.contains("os")) {
    auto& os = doc["os"];
    out << "  Windows " << os.value("major", 0) << "." << os.value("minor", 0) << " build "
        << os.value("build", 0) << ", platform " << os.value("platformId", 0) << ", \""
        << os.value("csdVersion", std::string()) << "\"\n";
  }
  if (doc.contains("clock") && doc["clock"].value("virtual", false))
    out << "  Clock: virtual, now " << doc["clock"].value("now", std::string()) << "\n";
  else
    out << "  Clock: real\n";

  DescribeServicesAndSpooler(doc, out);
  out << pnp::DescribeDevices(doc);

  out << "\nRegistry (system.reg):\n";
  std::istringstream regText(reg.Export());
  std::string line;
  std::getline(regText, line);  // header
  while (std::getline(regText, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) out << "  " << line << "\n";
  }

  out << "\nFiles (drive_c):\n";
  fs::path c = d / "drive_c";
  // The read-only, in-use and running marks by host path, so that any spelling of a key finds its file.
  std::map<fs::path, std::string> marks;
  Machine paths;
  paths.dir = d;
  for (auto& [key, value] : model::FilesOf(doc)) {
    std::string mark = std::string(value.readOnly ? ", read-only" : "") + (value.inUse ? ", in use" : "") +
                       (value.running ? ", running" : "");
    if (!mark.empty()) marks[ToHostPath(paths, Utf8ToWide(key))] = mark;
  }
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(c, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    std::string rel = fs::relative(it->path(), c).string();
    std::replace(rel.begin(), rel.end(), '/', '\\');
    if (it->is_directory()) files.push_back("C:\\" + rel + "\\");
    else
      files.push_back("C:\\" + rel + "  (" + std::to_string(it->file_size()) + " bytes" +
                      (marks.count(it->path()) ? marks[it->path()] : std::string()) + ")");
  }
  std::sort(files.begin(), files.end());
  for (auto& f : files) out << "  " << f << "\n";
  return out.str();
}

}  // namespace winsim
