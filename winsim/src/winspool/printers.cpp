// winspool's printer calls over the machine's spooler state.
#include <windows.h>
#include <winspool.h>

#include "core/changes.h"
#include "core/registry.h"
#include "winspool/spoolerstate.h"

using winsim::ApiCall;
using winsim::Machine;
using winsim::model::Printer;
using namespace winsim::spooler;

namespace {

constexpr char kHandleKind[] = "printer";

// What a printer handle refers to: a printer by name, or the local print server (no name).
struct PrinterHandle {
  std::wstring name;
  ACCESS_MASK access = 0;
};

PrinterHandle* FindPrinterHandle(Machine& m, HANDLE h) {
  winsim::HandleInfo* info = m.FindHandle(reinterpret_cast<uintptr_t>(h), kHandleKind);
  return info ? static_cast<PrinterHandle*>(info->object.get()) : nullptr;
}

DWORD Attributes(const Printer& p) { return p.attributes.value_or(PRINTER_ATTRIBUTE_LOCAL); }
DWORD Status(const Printer& p) {
  return p.status.value_or(0) | (p.pendingDeletion ? PRINTER_STATUS_PENDING_DELETION : 0);
}
std::wstring Opt(const std::optional<std::string>& s) { return W(s.value_or("")); }

std::vector<Entry<PRINTER_INFO_1W, Printer>> Level1(const std::vector<const Printer*>& printers) {
  std::vector<Entry<PRINTER_INFO_1W, Printer>> out;
  for (const Printer* p : printers) {
    std::wstring name = W(p->name);
    std::wstring description = name + L"," + W(p->driver) + L"," + Opt(p->location);
    out.push_back({{S(description), S(name), S(Opt(p->comment))},
                   [](PRINTER_INFO_1W& r, const Printer&, LPWSTR* s) {
                     r.Flags = PRINTER_ENUM_ICON8;
                     r.pDescription = s[0];
                     r.pName = s[1];
                     r.pComment = s[2];
                   },
                   p});
  }
  return out;
}

std::vector<Entry<PRINTER_INFO_2W, Printer>> Level2(const std::vector<const Printer*>& printers) {
  std::vector<Entry<PRINTER_INFO_2W, Printer>> out;
  for (const Printer* p : printers) {
    out.push_back({{S(W(p->name)), S(Opt(p->shareName)), S(W(p->port)), S(W(p->driver)), S(Opt(p->comment)),
                    S(Opt(p->location)), S(Opt(p->sepFile)), S(W(p->printProcessor)), S(W(p->dataType)),
                    S(Opt(p->parameters))},
                   [](PRINTER_INFO_2W& r, const Printer& src, LPWSTR* s) {
                     r.pServerName = nullptr;  // a local printer
                     r.pPrinterName = s[0];
                     r.pShareName = s[1];
                     r.pPortName = s[2];
                     r.pDriverName = s[3];
                     r.pComment = s[4];
                     r.pLocation = s[5];
                     r.pSepFile = s[6];
                     r.pPrintProcessor = s[7];
                     r.pDatatype = s[8];
                     r.pParameters = s[9];
                     r.Attributes = Attributes(src);
                     r.Priority = src.priority.value_or(1);
                     r.DefaultPriority = src.defaultPriority.value_or(0);
                     r.Status = Status(src);
                     r.cJobs = src.jobs;
                   },
                   p});
  }
  return out;
}

std::vector<Entry<PRINTER_INFO_4W, Printer>> Level4(const std::vector<const Printer*>& printers) {
  std::vector<Entry<PRINTER_INFO_4W, Printer>> out;
  for (const Printer* p : printers)
    out.push_back({{S(W(p->name))},
                   [](PRINTER_INFO_4W& r, const Printer& src, LPWSTR* s) {
                     r.pPrinterName = s[0];
                     r.pServerName = nullptr;
                     r.Attributes = Attributes(src);
                   },
                   p});
  return out;
}

BOOL DeliverPrinters(const std::vector<const Printer*>& printers, DWORD level, LPBYTE buf, DWORD cbBuf,
                     LPDWORD needed, LPDWORD returned) {
  switch (level) {
    case 1: return Deliver(Level1(printers), buf, cbBuf, needed, returned);
    case 2: return Deliver(Level2(printers), buf, cbBuf, needed, returned);
    case 4: return Deliver(Level4(printers), buf, cbBuf, needed, returned);
    default: return Fail(ERROR_INVALID_LEVEL);
  }
}

std::wstring Wide(LPCWSTR s) { return s ? std::wstring(s) : std::wstring(); }

}  // namespace

extern "C" {

BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
  ApiCall call("EnumPrintersW");
  if (!ListingArgsOk(call, pPrinterEnum, cbBuf, pcbNeeded, pcReturned)) return FALSE;
  if (Level != 1 && Level != 2 && Level != 4) return Fail(ERROR_INVALID_LEVEL);
  if (!LocalServer(Name)) return Fail(ERROR_INVALID_NAME);
  std::vector<const Printer*> printers;
  // Only local printers exist here: connections and network listings are empty.
  if (Flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME | PRINTER_ENUM_DEFAULT))
    for (const Printer& p : State(call.machine()).printers) {
      printers.push_back(&p);
      if (!(Flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME))) break;  // the default printer: the first
    }
  return DeliverPrinters(printers, Level, pPrinterEnum, cbBuf, pcbNeeded, pcReturned);
}

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, HANDLE* phPrinter, LPPRINTER_DEFAULTSW pDefault) {
  ApiCall call("OpenPrinterW");
  if (!phPrinter) return Fail(RPC_X_NULL_REF_POINTER);
  *phPrinter = nullptr;
  if (DWORD e = Refusal(call)) return Fail(e);
  auto handle = std::make_shared<PrinterHandle>();
  handle->access = pDefault && pDefault->DesiredAccess ? pDefault->DesiredAccess : PRINTER_ACCESS_USE;
  if (pPrinterName && *pPrinterName) {
    Printer* p = FindByName(State(call.machine()).printers, pPrinterName);
    if (!p) return Fail(ERROR_INVALID_PRINTER_NAME);
    handle->name = W(p->name);
  }
  *phPrinter = reinterpret_cast<HANDLE>(call.machine().AddHandle(kHandleKind, handle));
  return TRUE;
}

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf, LPDWORD pcbNeeded) {
  ApiCall call("GetPrinterW");
  if (!pcbNeeded) return Fail(RPC_X_NULL_REF_POINTER);
  *pcbNeeded = 0;
  if (DWORD e = Refusal(call)) return Fail(e);
  PrinterHandle* h = FindPrinterHandle(call.machine(), hPrinter);
  if (!h || h->name.empty()) return Fail(ERROR_INVALID_HANDLE);
  if (!pPrinter && cbBuf) return Fail(ERROR_INVALID_USER_BUFFER);
  Printer* p = FindByName(State(call.machine()).printers, h->name);
  if (!p) return Fail(ERROR_PRINTER_DELETED);
  return DeliverPrinters({p}, Level, pPrinter, cbBuf, pcbNeeded, nullptr);
}

BOOL WINAPI DeletePrinter(HANDLE hPrinter) {
  ApiCall call("DeletePrinter");
  if (DWORD e = Refusal(call)) return Fail(e);
  Machine& m = call.machine();
  PrinterHandle* h = FindPrinterHandle(m, hPrinter);
  if (!h || h->name.empty()) return Fail(ERROR_INVALID_HANDLE);
  if (!(h->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
  std::vector<Printer>& printers = State(m).printers;
  Printer* p = FindByName(printers, h->name);
  if (!p || p->pendingDeletion) return Fail(ERROR_PRINTER_DELETED);
  unsigned jobs = p->jobs;
  if (jobs > 0) {
    // The spooler keeps a printer with queued jobs until they are printed; it only marks it.
    p->pendingDeletion = true;
    winsim::RecordChange(m, "DeletePrinter " + winsim::WideToUtf8(h->name) + " (pending: " +
                                std::to_string(jobs) + " jobs queued)");
    return TRUE;
  }
  printers.erase(printers.begin() + (p - printers.data()));
  winsim::RecordChange(m, "DeletePrinter " + winsim::WideToUtf8(h->name));
  return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
  WINSIM_API(call, "ClosePrinter", FALSE);
  // The client side lets go of the handle even when the spooler is gone.
  if (!call.machine().CloseHandle(reinterpret_cast<uintptr_t>(hPrinter), kHandleKind))
    return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

HANDLE WINAPI AddPrinterW(LPWSTR pName, DWORD Level, LPBYTE pPrinter) {
  ApiCall call("AddPrinterW");
  auto fail = [](DWORD e) -> HANDLE {
    SetLastError(e);
    return nullptr;
  };
  if (DWORD e = Refusal(call)) return fail(e);
  if (!LocalServer(pName)) return fail(ERROR_INVALID_NAME);
  if (Level != 2) return fail(ERROR_INVALID_LEVEL);
  if (!pPrinter) return fail(RPC_X_NULL_REF_POINTER);
  PRINTER_INFO_2W info;
  std::memcpy(&info, pPrinter, sizeof info);
  Machine& m = call.machine();
  std::wstring name = Wide(info.pPrinterName);
  if (name.empty() || name.find_first_of(L"\\,!") != std::wstring::npos) return fail(ERROR_INVALID_PRINTER_NAME);
  if (!info.pPortName || !*info.pPortName || !info.pDriverName || !*info.pDriverName || !info.pPrintProcessor ||
      !*info.pPrintProcessor)
    return fail(ERROR_INVALID_PARAMETER);
  winsim::model::Spooler& spooler = State(m);
  if (FindByName(spooler.printers, name)) return fail(ERROR_PRINTER_ALREADY_EXISTS);
  winsim::model::Driver* driver = FindByName(spooler.drivers, info.pDriverName);
  if (!driver || !SameText(W(driver->environment), LocalEnvironment(m))) return fail(ERROR_UNKNOWN_PRINTER_DRIVER);
  winsim::model::Port* port = FindByName(spooler.ports, info.pPortName);
  if (!port) return fail(ERROR_UNKNOWN_PORT);
  if (!SameText(info.pPrintProcessor, L"winprint")) return fail(ERROR_UNKNOWN_PRINTPROCESSOR);

  Printer p;
  p.name = winsim::WideToUtf8(name);
  p.driver = driver->name;
  p.port = port->name;
  if (info.pDatatype && *info.pDatatype) p.dataType = winsim::WideToUtf8(info.pDatatype);
  auto optional = [](LPCWSTR s) { return s && *s ? std::optional(winsim::WideToUtf8(s)) : std::nullopt; };
  p.comment = optional(info.pComment);
  p.location = optional(info.pLocation);
  p.shareName = optional(info.pShareName);
  if (info.Attributes) p.attributes = info.Attributes | PRINTER_ATTRIBUTE_LOCAL;
  spooler.printers.push_back(p);
  winsim::RecordChange(m, "AddPrinter " + winsim::WideToUtf8(name));
  auto handle = std::make_shared<PrinterHandle>(PrinterHandle{name, PRINTER_ALL_ACCESS});
  return reinterpret_cast<HANDLE>(m.AddHandle(kHandleKind, handle));
}

}  // extern "C"
