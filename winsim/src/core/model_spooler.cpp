// The "spooler" section of machine.json read into its structs and written back: the one place
// that spells its keys, each once, in the field list of its struct.
#include "winsim/model_spooler.h"

#include "core/modelio.h"

namespace winsim::model {

template <class V>
void Fields(Monitor& r, V&& v) {
  v("name", r.name), v("dll", r.dll);
}
template <class V>
void Fields(Port& r, V&& v) {
  v("name", r.name), v("monitor", r.monitor), v("description", r.description), v("type", r.type);
}
template <class V>
void Fields(Driver& r, V&& v) {
  v("name", r.name), v("environment", r.environment), v("version", r.version), v("driverPath", r.driverPath),
      v("dataFile", r.dataFile), v("configFile", r.configFile), v("helpFile", r.helpFile),
      v("dependentFiles", r.dependentFiles), v("monitor", r.monitor), v("defaultDataType", r.defaultDataType);
}
template <class V>
void Fields(Printer& r, V&& v) {
  v("name", r.name), v("driver", r.driver), v("port", r.port), v("printProcessor", r.printProcessor),
      v("dataType", r.dataType), v("jobs", r.jobs), v("comment", r.comment), v("location", r.location),
      v("shareName", r.shareName), v("sepFile", r.sepFile), v("parameters", r.parameters),
      v("attributes", r.attributes), v("status", r.status), v("priority", r.priority),
      v("defaultPriority", r.defaultPriority), v("pendingDeletion", r.pendingDeletion);
}
template <class V>
void Fields(Spooler& r, V&& v) {
  v("environment", r.environment), v("driverDirectory", r.driverDirectory), v("monitors", r.monitors),
      v("ports", r.ports), v("drivers", r.drivers), v("printers", r.printers);
}

Spooler SpoolerOf(const json& machine) { return Read<Spooler>(machine.is_object() ? machine.value("spooler", json()) : json()); }
void SetSpooler(json& machine, const Spooler& spooler) { machine["spooler"] = Write(spooler); }

}  // namespace winsim::model
