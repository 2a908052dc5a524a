#include "inffile.h"

#include <strsafe.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

#include <new>

#include "log.h"

std::unique_ptr<InfFile>& SupportedInf = *new std::unique_ptr<InfFile>;

namespace {

const WCHAR kSupportedOriginalName[] = L"vexaq52drv.inf";

// Hardware IDs are ASCII; the comparison folds case the way the runtime's _wcsnicmp does.
bool EqualNoCase(const WCHAR* a, const WCHAR* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (towupper(a[i]) != towupper(b[i])) return false;
    if (!a[i]) return true;
  }
  return true;
}

WCHAR* CopyString(const WCHAR* text) {
  size_t length = wcslen(text);
  WCHAR* copy = new WCHAR[length + 1];
  memcpy(copy, text, (length + 1) * sizeof(WCHAR));
  return copy;
}

void Replace(WCHAR*& field, const WCHAR* text) {
  WCHAR* copy = CopyString(text);
  delete[] field;
  field = copy;
}

// Digits at TEXT, at least MIN_DIGITS and at most MAX_DIGITS of them; the number of digits read,
// or 0 when there are too few or too many.
size_t ReadNumber(const WCHAR* text, size_t minDigits, size_t maxDigits, DWORD& value) {
  size_t n = 0;
  value = 0;
  while (text[n] >= L'0' && text[n] <= L'9') {
    if (n == maxDigits) return 0;
    value = value * 10 + static_cast<DWORD>(text[n] - L'0');
    ++n;
  }
  return n >= minDigits ? n : 0;
}

}  // namespace

InfFile::InfFile(const WCHAR* fileName)
    : Class(NULL),
      ClassGuid(NULL),
      Provider(NULL),
      DriverVer(NULL),
      InfPath(NULL),
      DriverDate(0) {
  memset(&Line, 0, sizeof(Line));
  memset(FileName, 0, sizeof(FileName));
  memset(ModelsSection, 0, sizeof(ModelsSection));
  memset(ModelsDecoration, 0, sizeof(ModelsDecoration));
  memset(OriginalInfName, 0, sizeof(OriginalInfName));
  memset(OriginalCatalogName, 0, sizeof(OriginalCatalogName));
  // A name that doesn't fit is refused, not cut: cut, it would name another file.
  if (FAILED(StringCchCopyW(FileName, ARRAYSIZE(FileName), fileName))) memset(FileName, 0, sizeof(FileName));
}

InfFile::~InfFile() {
  delete[] Class;
  delete[] ClassGuid;
  delete[] Provider;
  delete[] DriverVer;
  delete[] InfPath;
  if (HardwareIds.Tail) {
    PtrNode* node = HardwareIds.Tail->Next;
    for (;;) {
      delete[] static_cast<WCHAR*>(node->Item);
      if (node == HardwareIds.Tail) break;
      node = node->Next;
    }
  }
  HardwareIds.Clear();
}

int InfFile::Open() {
  if (Inf) return 0;
  Inf.reset(SetupOpenInfFileW(FileName, NULL, INF_STYLE_WIN4, NULL));
  if (!Inf) {
    Log(LOG_ERROR, "InfFile::Open - handle == INVALID_HANDLE_VALUE!!! GetLastError():%d",
        static_cast<int>(GetLastError()));
    return 0;
  }

  ReadInformation();

  INFCONTEXT manufacturer;
  BOOL found = SetupFindFirstLineW(Inf.get(), L"Manufacturer", NULL, &manufacturer);
  if (found) {
    // A field that doesn't fit is refused rather than cut: a cut name would find another section.
    if (!SetupGetStringFieldW(&manufacturer, 1, ModelsSection, ARRAYSIZE(ModelsSection), NULL))
      memset(ModelsSection, 0, sizeof(ModelsSection));
    if (!SetupGetStringFieldW(&manufacturer, 2, ModelsDecoration, ARRAYSIZE(ModelsDecoration), NULL))
      memset(ModelsDecoration, 0, sizeof(ModelsDecoration));
  }
  ReadHardwareIds();
  return found ? 1 : 0;
}

void InfFile::ReadInformation() {
  DWORD size = 0;
  if (!SetupGetInfInformationW(Inf.get(), INFINFO_INF_SPEC_IS_HINF, NULL, 0, &size) || size == 0) return;
  std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
  if (!block) return;
  PSP_INF_INFORMATION info = reinterpret_cast<PSP_INF_INFORMATION>(block.get());
  if (!SetupGetInfInformationW(Inf.get(), INFINFO_INF_SPEC_IS_HINF, info, size, NULL)) return;

  try {
    DWORD chars = 0;
    if (SetupQueryInfVersionInformationW(info, 0, NULL, NULL, 0, &chars) && chars > 0) {
      WCHAR* versionInfo = NULL;
      try {
        versionInfo = new WCHAR[chars];
      } catch (...) {
        Log(LOG_ERROR, "Exception allocating VersionInfo");
      }
      if (versionInfo) {
        try {
          if (SetupQueryInfVersionInformationW(info, 0, NULL, versionInfo, chars, NULL)) {
            // The list ends with an empty string; make sure it does even if the call left the
            // last characters unwritten.
            versionInfo[chars - 1] = 0;
            if (chars > 1) versionInfo[chars - 2] = 0;
            ParseVersionInfo(versionInfo);
          }
        } catch (...) {
          Log(LOG_ERROR, "Exception extracting version info");
        }
        delete[] versionInfo;
      }
    }
  } catch (...) {
    Log(LOG_ERROR, "Exception getting INF version information");
  }

  try {
    DWORD chars = 0;
    if (SetupQueryInfFileInformationW(info, 0, NULL, 0, &chars)) {
      // A path longer than the buffer is refused: a cut path names another file.
      if (chars <= MAX_PATH) {
        WCHAR* path = new WCHAR[MAX_PATH]();
        if (SetupQueryInfFileInformationW(info, 0, path, MAX_PATH, NULL)) {
          delete[] InfPath;
          InfPath = path;
        } else {
          delete[] path;
        }
      }
    }
  } catch (...) {
    Log(LOG_ERROR, "Exception getting INF path");
  }

  SP_ORIGINAL_FILE_INFO_W original;
  memset(&original, 0, sizeof(original));
  original.cbSize = sizeof(original);
  if (SetupQueryInfOriginalFileInformationW(info, 0, NULL, &original)) {
    StringCchCopyW(OriginalInfName, ARRAYSIZE(OriginalInfName), original.OriginalInfName);
    StringCchCopyW(OriginalCatalogName, ARRAYSIZE(OriginalCatalogName), original.OriginalCatalogName);
  }
}

DWORD InfFile::ParseDriverDate(const WCHAR* driverVer) {
  DWORD month, day, year;
  const WCHAR* p = driverVer;
  size_t n = ReadNumber(p, 1, 2, month);
  if (!n || p[n] != L'/') return 0;
  p += n + 1;
  n = ReadNumber(p, 1, 2, day);
  if (!n || p[n] != L'/') return 0;
  p += n + 1;
  // Four digits of year; whatever follows them (a comma, a blank, the version) is not the date's.
  year = 0;
  for (int i = 0; i < 4; ++i) {
    if (p[i] < L'0' || p[i] > L'9') return 0;
    year = year * 10 + static_cast<DWORD>(p[i] - L'0');
  }
  if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
  return year * 10000 + month * 100 + day;
}

void InfFile::ParseVersionInfo(WCHAR* versionInfo) {
  enum Pending { kNone, kDriverVer, kClass, kClassGuid, kProvider } pending = kNone;
  for (WCHAR* s = versionInfo; *s; s += wcslen(s) + 1) {
    switch (pending) {
      case kClass:
        Replace(Class, s);
        break;
      case kClassGuid:
        Replace(ClassGuid, s);
        break;
      case kProvider:
        Replace(Provider, s);
        break;
      case kDriverVer:
        Replace(DriverVer, s);
        DriverDate = ParseDriverDate(s);
        break;
      case kNone:
        for (WCHAR* c = s; *c; ++c) *c = static_cast<WCHAR>(towupper(*c));
        if (wcscmp(s, L"DRIVERVER") == 0)
          pending = kDriverVer;
        else if (wcscmp(s, L"CLASS") == 0)
          pending = kClass;
        else if (wcscmp(s, L"CLASSGUID") == 0)
          pending = kClassGuid;
        else if (wcscmp(s, L"PROVIDER") == 0)
          pending = kProvider;
        continue;
    }
    pending = kNone;
  }
}

int InfFile::FindModelsSection() {
  if (!ModelsSection[0]) return 0;
  WCHAR section[MAX_PATH] = {0};
  HRESULT hr = StringCchCopyW(section, ARRAYSIZE(section), ModelsSection);
  if (SUCCEEDED(hr) && ModelsDecoration[0]) {
    hr = StringCchCatW(section, ARRAYSIZE(section), L".");
    if (SUCCEEDED(hr)) hr = StringCchCatW(section, ARRAYSIZE(section), ModelsDecoration);
  }
  // A decorated name that doesn't fit is not looked for: cut, it would name another section.
  if (FAILED(hr) || !Inf) return 0;
  return SetupFindFirstLineW(Inf.get(), section, NULL, &Line) ? 1 : 0;
}

int InfFile::GetModelHardwareId(WCHAR* hardwareId) {
  return SetupGetStringFieldW(&Line, 2, hardwareId, MAX_PATH, NULL) ? 1 : 0;
}

int InfFile::NextLine() { return SetupFindNextLine(&Line, &Line) ? 1 : 0; }

void InfFile::ReadHardwareIds() {
  if (!FindModelsSection()) return;
  do {
    WCHAR hardwareId[MAX_PATH] = {0};
    // An ID longer than the buffer fails the read and is left out. So is an empty one: as a
    // prefix it would match every device.
    if (!GetModelHardwareId(hardwareId) || !hardwareId[0]) continue;
    WCHAR* copy = NULL;
    try {
      copy = new WCHAR[MAX_PATH];
      memcpy(copy, hardwareId, sizeof(hardwareId));
      HardwareIds.Cursor = HardwareIds.Tail;
      if (HardwareIds.Add(copy) == 0) copy = NULL;
    } catch (...) {
    }
    delete[] copy;
  } while (NextLine());
}

void InfFile::LogHardwareIds() {
  if (!HardwareIds.Tail) return;
  HardwareIds.Cursor = HardwareIds.Tail->Next;
  for (;;) {
    WLog(LOG_TRACE, L"Stored %s", static_cast<const WCHAR*>(HardwareIds.Current()));
    if (HardwareIds.Cursor == HardwareIds.Tail) break;
    HardwareIds.Cursor = HardwareIds.Cursor->Next;
  }
}

int CheckInfFile(const WCHAR* fileName) {
  std::unique_ptr<InfFile> inf(new InfFile(fileName));
  if (inf->Open() != 1) {
    WLog(LOG_TRACE, L"Unable to open %s", fileName);
    return 0;
  }
  if (wcscmp(inf->OriginalInfName, kSupportedOriginalName) != 0) return 0;

  LogQuick(LOG_TRACE, "Supported File Found!");
  WLog(LOG_TRACE, L"%s:", inf->InfPath);
  WLog(LOG_TRACE, L"    Class            = %s", inf->Class);
  WLog(LOG_TRACE, L"    Guid             = %s", inf->ClassGuid);
  WLog(LOG_TRACE, L"    Provider         = %s", inf->Provider);
  WLog(LOG_TRACE, L"    DriverVer        = %s", inf->DriverVer);
  WLog(LOG_TRACE, L"    DriverDate       = %d", static_cast<int>(inf->DriverDate));
  WLog(LOG_TRACE, L"    Manufacturer     = %s", inf->ModelsSection);
  WLog(LOG_TRACE, L"    InfFile          = %s", inf->FileName);
  WLog(LOG_TRACE, L"    Original INF     = %s", inf->OriginalInfName);
  WLog(LOG_TRACE, L"    Original Catalog = %s", inf->OriginalCatalogName);
  inf->LogHardwareIds();

  if (!SupportedInf) {
    SupportedInf = std::move(inf);
  } else if (SupportedInf->DriverDate < inf->DriverDate) {
    WLog(LOG_TRACE, L"Replacing supported Inf with %s...", inf->FileName);
    SupportedInf = std::move(inf);
  }
  return 1;
}

int FindSupportedInf() {
  DWORD chars = 0;
  WCHAR* list = NULL;
  if (SetupGetInfFileListW(NULL, INF_STYLE_WIN4, NULL, 0, &chars) && chars > 0)
    list = new (std::nothrow) WCHAR[static_cast<size_t>(chars) * 4]();
  if (!list) {
    Log(LOG_ERROR, "Could not get size of list of INF files, error=%x", static_cast<unsigned>(GetLastError()));
    return 0;
  }
  if (!SetupGetInfFileListW(NULL, INF_STYLE_WIN4, list, chars, NULL)) {
    Log(LOG_ERROR, "Could not get list of INF files, error=%x", static_cast<unsigned>(GetLastError()));
    delete[] list;
    return 0;
  }

  int found = 0;
  for (const WCHAR* name = list; *name; name += wcslen(name) + 1) {
    if (!wcsstr(name, L"oem")) continue;
    WCHAR fileName[MAX_PATH] = {0};
    // A name that doesn't fit is not examined: cut, it would name another file.
    int supported = 0;
    try {
      if (SUCCEEDED(StringCchCopyW(fileName, ARRAYSIZE(fileName), name))) supported = CheckInfFile(fileName);
    } catch (...) {
      WLog(LOG_ERROR, L"Exception in '%s'", name);
      continue;
    }
    if (supported)
      found = 1;
    else
      WLog(LOG_TRACE, L"%s unsupported", name);
  }
  delete[] list;
  return found;
}

int IsSupportedHardwareId(const WCHAR* hardwareId) {
  if (!SupportedInf || !hardwareId) return 0;
  PtrList& ids = SupportedInf->HardwareIds;
  if (!ids.Tail) return 0;
  ids.Cursor = ids.Tail->Next;
  for (;;) {
    const WCHAR* id = static_cast<const WCHAR*>(ids.Current());
    if (id && id[0] && EqualNoCase(hardwareId, id, wcslen(id))) return 1;
    if (ids.Cursor == ids.Tail) break;
    ids.Cursor = ids.Cursor->Next;
  }
  return 0;
}
