// The "files" section of machine.json read into its structs and written back: the one place that
// spells its keys.
#include "winsim/model_files.h"

#include "core/modelio.h"

namespace winsim::model {

template <class V>
void Fields(FileMark& r, V&& v) {
  v("readOnly", r.readOnly), v("inUse", r.inUse), v("running", r.running);
}

FileMark NewMark(bool readOnly, bool inUse, bool running) {
  FileMark mark;
  mark.readOnly = readOnly, mark.inUse = inUse, mark.running = running;
  if (!running) mark.unset = {"running"};
  return mark;
}
void StopRunning(FileMark& mark) {
  mark.running = false;
  mark.unset.push_back("running");
}

Files FilesOf(const json& machine) {
  return machine.is_object() ? machine.value("files", json::object()).get<Files>() : Files();
}
void SetFiles(json& machine, const Files& files) {
  if (machine.contains("files") || !files.empty()) machine["files"] = files;
}

}  // namespace winsim::model
