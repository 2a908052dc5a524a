// SetupAPI's INF calls over the machine's files: the INF list, open INF handles, lines and
// fields, and the information block with version data, path and original names.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwctype>

#include "setupapi/infreader.h"
#include "core/machine.h"
#include "core/registry.h"

using winsim::ApiCall;
using winsim::Fail;
using winsim::Machine;
namespace inf = winsim::inf;

namespace {

struct OpenInf {
  std::wstring path;  // Windows path
  inf::File file;
};

OpenInf* FindInf(Machine& m, const void* h) {
  winsim::HandleInfo* info = h ? m.FindHandle(reinterpret_cast<uintptr_t>(h), "HINF") : nullptr;
  return info ? static_cast<OpenInf*>(info->object.get()) : nullptr;
}

// The size protocol of the string calls: the size in characters (terminators included) is
// always reported; without a buffer that is all, and a buffer too small gets nothing.
BOOL Deliver(const std::wstring& text, PWSTR buffer, DWORD size, PDWORD required) {
  DWORD need = static_cast<DWORD>(text.size() + 1);
  if (required) *required = need;
  if (!buffer) return TRUE;
  if (size < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, text.c_str(), need * sizeof(WCHAR));
  return TRUE;
}

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring DirectoryOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The opaque VersionData of SP_INF_INFORMATION: the path, the original INF and catalog names,
// the number of [Version] lines, then each line's key and text, all as terminated strings.
std::vector<WCHAR> PackVersionData(Machine& m, const OpenInf& o) {
  std::vector<std::wstring> parts{o.path};
  if (auto staged = inf::SameName(DirectoryOf(o.path), inf::kInfDirectory) ? inf::FindStaged(m, FileNameOf(o.path))
                                                                             : nullptr) {
    parts.push_back(winsim::Utf8ToWide(staged->originalName));
    parts.push_back(winsim::Utf8ToWide(staged->originalCatalog));
  } else {
    // Not staged: the file's own name and the catalog its [Version] names for this platform.
    parts.push_back(FileNameOf(o.path));
    std::wstring cat;
    for (const wchar_t* key : {L"CatalogFile.NTx86", L"CatalogFile.NT", L"CatalogFile"})
      if (auto v = o.file.Version(key)) {
        cat = *v;
        break;
      }
    parts.push_back(cat);
  }
  const inf::Section* version = o.file.Find(L"Version");
  std::vector<const inf::Line*> lines;
  if (version)
    for (const inf::Line& l : version->lines)
      if (l.hasKey) lines.push_back(&l);
  parts.push_back(std::to_wstring(lines.size()));
  for (const inf::Line* l : lines) {
    parts.push_back(l->key);
    parts.push_back(l->Text());
  }
  std::vector<WCHAR> out;
  for (auto& p : parts) out.insert(out.end(), p.c_str(), p.c_str() + p.size() + 1);
  return out;
}

struct VersionView {
  std::wstring path, originalName, originalCatalog;
  std::vector<std::pair<std::wstring, std::wstring>> lines;
};

VersionView UnpackVersionData(const SP_INF_INFORMATION* info) {
  const WCHAR* p = reinterpret_cast<const WCHAR*>(info->VersionData);
  auto next = [&p]() {
    std::wstring s(p);
    p += s.size() + 1;
    return s;
  };
  VersionView v;
  v.path = next();
  v.originalName = next();
  v.originalCatalog = next();
  unsigned long n = std::wcstoul(next().c_str(), nullptr, 10);
  for (unsigned long i = 0; i < n; ++i) {
    std::wstring key = next();
    v.lines.emplace_back(key, next());
  }
  return v;
}

// Reads the INF an information call names; false with the error code set.
bool LoadForInformation(ApiCall& call, LPCVOID spec, DWORD search, OpenInf& out) {
  if (!spec) return Fail(ERROR_INVALID_PARAMETER);
  if (search == INFINFO_INF_SPEC_IS_HINF) {
    OpenInf* o = FindInf(call.machine(), spec);
    if (!o) return Fail(ERROR_INVALID_HANDLE);
    out = *o;
    return true;
  }
  if (search < INFINFO_INF_NAME_IS_ABSOLUTE || search > INFINFO_INF_PATH_LIST_SEARCH) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring name(static_cast<LPCWSTR>(spec));
  out.path = search == INFINFO_INF_NAME_IS_ABSOLUTE ? name : inf::ResolveInfPath(name);
  inf::ParseError err;
  if (!inf::Load(winsim::ToHostPath(call.machine(), out.path), out.file, &err, out.path)) return Fail(err.code);
  return true;
}

const SP_INF_INFORMATION* CheckInformation(const SP_INF_INFORMATION* info, UINT index) {
  if (!info || index >= info->InfCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return info;
}

bool EndsWithInf(const std::string& name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".inf";
}

std::wstring UpperCopy(const std::wstring& s) {
  std::wstring u = s;
  for (auto& c : u) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return u;
}

}  // namespace

extern "C" {

BOOL WINAPI SetupGetInfFileListW(PCWSTR directory, DWORD style, PWSTR buffer, DWORD size, PDWORD required) {
  WINSIM_API(call, "SetupGetInfFileListW", FALSE);
  if (!(style & (INF_STYLE_OLDNT | INF_STYLE_WIN4))) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring dir = directory && *directory ? std::wstring(directory) : std::wstring(inf::kInfDirectory);
  winsim::fs::path host = winsim::ToHostPath(call.machine(), dir);

  std::vector<std::wstring> names;
  std::error_code ec;
  // A missing directory lists nothing, as Windows answers for an empty one.
  for (auto it = winsim::fs::directory_iterator(host, ec); !ec && it != winsim::fs::directory_iterator();
       it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (!it->is_regular_file() || !EndsWithInf(name)) continue;
    inf::File file;
    inf::ParseError err;
    inf::Load(it->path(), file, &err);  // a file with a fault further on is listed by its [Version]
    if (file.Style() & style) names.push_back(winsim::Utf8ToWide(name));
  }
  // In the order of an NTFS directory: by name, without regard to case.
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    return UpperCopy(a) < UpperCopy(b);
  });
  std::wstring list;
  for (auto& n : names) list += n + L'\0';
  DWORD need = static_cast<DWORD>(list.size() + 1);
  if (required) *required = need;
  if (!buffer) return TRUE;
  if (size < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, list.c_str(), need * sizeof(WCHAR));
  return TRUE;
}

HINF WINAPI SetupOpenInfFileW(PCWSTR fileName, PCWSTR infClass, DWORD style, PUINT errorLine) {
  ApiCall call("SetupOpenInfFileW");
  if (errorLine) *errorLine = 0;
  if (call.fault()) return call.Failed(INVALID_HANDLE_VALUE);
  if (!fileName || !*fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto open = std::make_shared<OpenInf>();
  open->path = inf::ResolveInfPath(fileName);
  inf::ParseError err;
  if (!inf::Load(winsim::ToHostPath(call.machine(), open->path), open->file, &err, open->path)) {
    if (errorLine) *errorLine = err.line;
    SetLastError(err.code);
    return INVALID_HANDLE_VALUE;
  }
  if (!(open->file.Style() & style & (INF_STYLE_OLDNT | INF_STYLE_WIN4))) {
    SetLastError(ERROR_WRONG_INF_STYLE);
    return INVALID_HANDLE_VALUE;
  }
  if (infClass) {
    auto cls = open->file.Version(L"Class");
    if (!cls || !inf::SameName(*cls, infClass)) {
      SetLastError(ERROR_CLASS_MISMATCH);
      return INVALID_HANDLE_VALUE;
    }
  }
  return reinterpret_cast<HINF>(call.machine().AddHandle("HINF", open));
}

VOID WINAPI SetupCloseInfFile(HINF h) {
  ApiCall call("SetupCloseInfFile");
  if (call.fault() || h == INVALID_HANDLE_VALUE) return;
  call.machine().CloseHandle(reinterpret_cast<uintptr_t>(h), "HINF");
}

BOOL WINAPI SetupGetInfInformationW(LPCVOID spec, DWORD search, PSP_INF_INFORMATION buffer, DWORD size,
                                    PDWORD required) {
  WINSIM_API(call, "SetupGetInfInformationW", FALSE);
  OpenInf o;
  if (!LoadForInformation(call, spec, search, o)) return FALSE;
  std::vector<WCHAR> data = PackVersionData(call.machine(), o);
  DWORD need = static_cast<DWORD>(offsetof(SP_INF_INFORMATION, VersionData) + data.size() * sizeof(WCHAR));
  if (required) *required = need;
  if (!buffer) return TRUE;
  if (size < need) return Fail(ERROR_INSUFFICIENT_BUFFER);
  buffer->InfStyle = o.file.Style();
  buffer->InfCount = 1;
  std::memcpy(buffer->VersionData, data.data(), data.size() * sizeof(WCHAR));
  return TRUE;
}

BOOL WINAPI SetupQueryInfVersionInformationW(PSP_INF_INFORMATION info, UINT index, PCWSTR key, PWSTR buffer,
                                             DWORD size, PDWORD required) {
  WINSIM_API(call, "SetupQueryInfVersionInformationW", FALSE);
  if (!CheckInformation(info, index)) return FALSE;
  VersionView v = UnpackVersionData(info);
  if (key) {
    for (auto& [k, value] : v.lines)
      if (inf::SameName(k, key)) return Deliver(value, buffer, size, required);
    return Fail(ERROR_INVALID_DATA);
  }
  // Every key and its value, in file order; the list ends with an empty string.
  std::wstring list;
  for (auto& [k, value] : v.lines) list += k + L'\0' + value + L'\0';
  return Deliver(list, buffer, size, required);
}

BOOL WINAPI SetupQueryInfFileInformationW(PSP_INF_INFORMATION info, UINT index, PWSTR buffer, DWORD size,
                                          PDWORD required) {
  WINSIM_API(call, "SetupQueryInfFileInformationW", FALSE);
  if (!CheckInformation(info, index)) return FALSE;
  return Deliver(UnpackVersionData(info).path, buffer, size, required);
}

BOOL WINAPI SetupQueryInfOriginalFileInformationW(PSP_INF_INFORMATION info, UINT index, PSP_ALTPLATFORM_INFO,
                                                  PSP_ORIGINAL_FILE_INFO_W original) {
  WINSIM_API(call, "SetupQueryInfOriginalFileInformationW", FALSE);
  if (!CheckInformation(info, index) || !original) return Fail(ERROR_INVALID_PARAMETER);
  if (original->cbSize != sizeof(SP_ORIGINAL_FILE_INFO_W)) return Fail(ERROR_INVALID_USER_BUFFER);
  VersionView v = UnpackVersionData(info);
  // The record holds MAX_PATH characters per name; a longer recorded name is cut there.
  auto put = [](WCHAR* dst, const std::wstring& s) {
    size_t n = std::min(s.size(), static_cast<size_t>(MAX_PATH - 1));
    std::memcpy(dst, s.data(), n * sizeof(WCHAR));
    dst[n] = 0;
  };
  put(original->OriginalInfName, v.originalName);
  put(original->OriginalCatalogName, v.originalCatalog);
  return TRUE;
}

BOOL WINAPI SetupFindFirstLineW(HINF h, PCWSTR section, PCWSTR key, PINFCONTEXT context) {
  WINSIM_API(call, "SetupFindFirstLineW", FALSE);
  OpenInf* o = FindInf(call.machine(), h);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (!section || !context) return Fail(ERROR_INVALID_PARAMETER);
  int s = o->file.IndexOf(section);
  if (s < 0) return Fail(ERROR_LINE_NOT_FOUND);
  const auto& lines = o->file.sections[static_cast<size_t>(s)].lines;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::wstring* k = lines[i].Field(0);
    if (key && !(k && inf::SameName(*k, key))) continue;
    *context = INFCONTEXT{h, h, static_cast<UINT>(s), static_cast<UINT>(i)};
    return TRUE;
  }
  return Fail(ERROR_LINE_NOT_FOUND);
}

BOOL WINAPI SetupFindNextLine(PINFCONTEXT in, PINFCONTEXT out) {
  WINSIM_API(call, "SetupFindNextLine", FALSE);
  if (!in || !out) return Fail(ERROR_INVALID_PARAMETER);
  OpenInf* o = FindInf(call.machine(), in->CurrentInf);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (in->Section >= o->file.sections.size() || in->Line + 1 >= o->file.sections[in->Section].lines.size())
    return Fail(ERROR_LINE_NOT_FOUND);
  INFCONTEXT next = *in;
  ++next.Line;
  *out = next;
  return TRUE;
}

BOOL WINAPI SetupGetStringFieldW(PINFCONTEXT context, DWORD field, PWSTR buffer, DWORD size, PDWORD required) {
  WINSIM_API(call, "SetupGetStringFieldW", FALSE);
  if (!context) return Fail(ERROR_INVALID_PARAMETER);
  OpenInf* o = FindInf(call.machine(), context->CurrentInf);
  if (!o) return Fail(ERROR_INVALID_HANDLE);
  if (context->Section >= o->file.sections.size() || context->Line >= o->file.sections[context->Section].lines.size())
    return Fail(ERROR_INVALID_PARAMETER);
  const std::wstring* text = o->file.sections[context->Section].lines[context->Line].Field(field);
  if (!text) return Fail(ERROR_INVALID_PARAMETER);
  return Deliver(*text, buffer, size, required);
}

DWORD WINAPI SetupGetFieldCount(PINFCONTEXT context) {
  WINSIM_API(call, "SetupGetFieldCount", 0);
  OpenInf* o = context ? FindInf(call.machine(), context->CurrentInf) : nullptr;
  if (!o || context->Section >= o->file.sections.size() ||
      context->Line >= o->file.sections[context->Section].lines.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return static_cast<DWORD>(o->file.sections[context->Section].lines[context->Line].fields.size());
}

}  // extern "C"
