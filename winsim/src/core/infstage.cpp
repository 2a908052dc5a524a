// Staging an INF: the copy to the next free oemN.inf and the record of its original names.
#include <algorithm>
#include <cwctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "setupapi/infreader.h"
#include "core/machine.h"
#include "core/registry.h"
#include "winsim/control.h"
#include "winsim/inf.h"

namespace winsim {

namespace {

std::string ReadHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in || !fs::is_regular_file(p)) throw std::runtime_error(p.string() + ": cannot be read");
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Whether NAME is "oemN.inf" (any case) and which N.
bool OemNumber(const std::string& name, unsigned long* n) {
  std::wstring w = Utf8ToWide(name);
  for (auto& c : w) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  if (w.size() < 8 || w.compare(0, 3, L"oem") != 0 || w.compare(w.size() - 4, 4, L".inf") != 0) return false;
  std::wstring digits = w.substr(3, w.size() - 7);
  if (digits.empty() || digits.size() > 6 || digits.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
  *n = std::wcstoul(digits.c_str(), nullptr, 10);
  return true;
}

std::string StageInto(Machine& m, const std::string& infFile, const std::string& catFile) {
  std::string bytes = ReadHost(infFile);
  inf::File file;
  inf::ParseError err;
  if (!inf::Parse(bytes, file, &err))
    throw std::runtime_error(infFile + ":" + std::to_string(err.line) + ": not a readable INF file (error 0x" +
                             [&] { std::ostringstream h; h << std::hex << err.code; return h.str(); }() + ")");
  std::string catalog;
  if (!catFile.empty()) {
    if (!fs::is_regular_file(catFile)) throw std::runtime_error(catFile + ": cannot be read");
    catalog = fs::path(catFile).filename().string();
  } else {
    for (const wchar_t* key : {L"CatalogFile.NTx86", L"CatalogFile.NT", L"CatalogFile"})
      if (auto v = file.Version(key)) {
        catalog = WideToUtf8(*v);
        break;
      }
  }

  fs::path dir = ToHostPath(m, inf::kInfDirectory);
  fs::create_directories(dir);
  // The lowest number that neither a file of the directory nor a record uses.
  std::set<unsigned long> used;
  unsigned long n = 0;
  for (auto& e : fs::directory_iterator(dir))
    if (OemNumber(e.path().filename().string(), &n)) used.insert(n);
  for (const model::Inf& e : inf::StagedInfs(m))
    if (OemNumber(e.name, &n)) used.insert(n);
  n = 0;
  while (used.count(n)) ++n;
  std::string name = "oem" + std::to_string(n) + ".inf";

  std::ofstream out(dir / name, std::ios::binary);
  out << bytes;
  if (!out.flush()) throw std::runtime_error((dir / name).string() + ": cannot be written");
  inf::StagedInfs(m).push_back({{}, name, fs::path(infFile).filename().string(), catalog});
  return name;
}

}  // namespace

std::string StageInf(const std::string& machineDir, const std::string& infFile, const std::string& catFile) {
  Machine m;
  m.Load(machineDir);
  std::string name = StageInto(m, infFile, catFile);
  m.Save();
  return name;
}

std::string StageInfHere(const std::string& infFile, const std::string& catFile) {
  std::lock_guard<std::recursive_mutex> g(ApiLock());
  return StageInto(CurrentMachine(), infFile, catFile);
}

bool UnstageInf(const std::string& machineDir, const std::string& stagedName) {
  Machine m;
  m.Load(machineDir);
  bool found = false;
  fs::path file = ToHostPath(m, std::wstring(inf::kInfDirectory) + L"\\" + Utf8ToWide(stagedName));
  std::error_code ec;
  if (fs::is_regular_file(file, ec)) found = fs::remove(file, ec);
  std::vector<model::Inf>& infs = inf::StagedInfs(m);
  auto named = [&](const model::Inf& e) { return inf::SameName(Utf8ToWide(e.name), Utf8ToWide(stagedName)); };
  found = std::any_of(infs.begin(), infs.end(), named) || found;
  infs.erase(std::remove_if(infs.begin(), infs.end(), named), infs.end());
  m.Save();
  return found;
}

void CreateMachineFromExample(const std::string& dir, const std::string& exampleDir) {
  fs::path base(exampleDir);
  const fs::path examplePath = base / "example.json";
  const std::string text = ReadHost(examplePath);
  // The entry being carried out, so that an error names its line of example.json.
  std::string step;
  json ex;
  try {
    ex = ParseJsonText(text, examplePath.string());
    if (!ex.is_object()) throw MachineError(examplePath.string(), 1, "expected a JSON object");
    step = "image";
    CreateMachine(dir, ex.value("image", DefaultImage()));
    step = "unstage";
    for (auto& name : ex.value("unstage", json::array()))
      if (!UnstageInf(dir, name.get<std::string>()))
        throw std::runtime_error("no staged " + name.get<std::string>() + " to remove");
    step = "stage";
    for (auto& item : ex.value("stage", json::array())) {
      std::string cat = item.value("cat", std::string());
      StageInf(dir, (base / item.at("inf").get<std::string>()).string(), cat.empty() ? cat : (base / cat).string());
    }
    // The edits go through machine.json's text so that a patch naming an entry the image no
    // longer has (a "test" operation that fails) stops here rather than making another machine.
    step = "patch";
    if (ex.contains("patch")) {
      fs::path jsonPath = fs::path(dir) / "machine.json";
      json doc = json::parse(ReadHost(jsonPath)).patch(ex.at("patch"));
      std::ofstream out(jsonPath, std::ios::binary | std::ios::trunc);
      out << doc.dump(2) << "\n";
      if (!out.flush()) throw std::runtime_error(jsonPath.string() + ": cannot be written");
    }
    step = "reg";
    for (auto& reg : ex.value("reg", json::array())) ImportRegFile(dir, (base / reg.get<std::string>()).string());
    step = "remove";
    if (ex.contains("remove")) {
      Machine m;
      m.Load(dir);
      for (auto& path : ex.at("remove")) {
        std::string windowsPath = path.get<std::string>();
        fs::path host = ToHostPath(m, Utf8ToWide(windowsPath));
        std::error_code ec;
        if (host.empty() || !fs::exists(host, ec)) throw std::runtime_error("no " + windowsPath + " to remove");
        fs::remove_all(host, ec);
        if (ec) throw std::runtime_error(windowsPath + ": " + ec.message());
      }
      m.Save();
    }
    // Junctions: host symbolic links, relative so that a copy of the machine keeps them inside it.
    if (ex.contains("junctions")) {
      Machine m;
      m.Load(dir);
      for (auto& [link, target] : ex.at("junctions").items()) {
        fs::path linkHost = ToHostPath(m, Utf8ToWide(link));
        fs::path targetHost = ToHostPath(m, Utf8ToWide(target.get<std::string>()));
        std::error_code ec;
        if (!fs::is_directory(targetHost, ec)) throw std::runtime_error("no directory " + target.get<std::string>() + " to link to");
        if (linkHost.empty() || fs::exists(fs::symlink_status(linkHost, ec)) || !fs::is_directory(linkHost.parent_path(), ec))
          throw std::runtime_error(link + ": taken, or its directory is missing");
        fs::create_directory_symlink(fs::relative(targetHost, linkHost.parent_path()), linkHost, ec);
        if (ec) throw std::runtime_error(link + ": " + ec.message());
      }
    }
    // The rest of the machine: devices registered besides the image's, and top-level entries of
    // machine.json that replace the image's (a timeline, installs in progress, ...).
    step = "addDevices";
    const json added = ex.value("addDevices", json::array());
    const json replaced = ex.value("machine", json::object());
    if (!added.empty() || !replaced.empty()) {
      Machine m;
      m.Load(dir);
      std::vector<model::Device> devices = model::DevicesOf(m.doc);
      for (const json& d : added) devices.push_back(model::DeviceOf(d));
      if (!added.empty()) model::SetDevices(m.doc, devices);
      for (auto it = replaced.begin(); it != replaced.end(); ++it) m.doc[it.key()] = it.value();
      m.Save();
    }
  } catch (const MachineError&) {
    throw;
  } catch (const std::exception& e) {
    // A file the step names reports its own name and line after the line of the step.
    int line = LineOfKey(text, step);
    throw MachineError(examplePath.string(), line ? line : 1, e.what());
  }
}

}  // namespace winsim
