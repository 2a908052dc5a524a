// The built-in machine images a new machine directory is made from.
#include <fstream>
#include <stdexcept>

#include "core/machine.h"
#include "winsim/control.h"

namespace winsim {

std::string DefaultImage() { return "xp-sp2-q52"; }

std::vector<std::string> ImageNames() {
  std::vector<std::string> names;
  for (auto& [name, files] : BuiltinImages()) names.push_back(name);
  return names;
}

void CreateMachine(const std::string& dir, const std::string& image) {
  auto& images = BuiltinImages();
  auto it = images.find(image);
  if (it == images.end()) throw std::runtime_error("no built-in image named '" + image + "'");
  fs::path d(dir);
  if (fs::exists(d) && !fs::is_empty(d)) throw std::runtime_error(dir + ": exists and is not empty");
  for (auto& [rel, content] : it->second) {
    fs::path p = d / rel;
    fs::create_directories(p.parent_path());
    if (p.filename() == ".keep") continue;  // keeps an empty directory in the image
    std::ofstream out(p, std::ios::binary);
    out << content;
    if (!out) throw std::runtime_error(p.string() + ": cannot be written");
  }
}

}  // namespace winsim
