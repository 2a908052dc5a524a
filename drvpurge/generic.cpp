// The component base: binding a component to its kind and directories, and the file operations
// the components share.
#include "generic.h"

#include <string.h>
#include <strsafe.h>

#include "log.h"
#include "spoolernames.h"
#include "unique_resource.h"

const ComponentFiles g_ComponentFiles[6] = {
    {L"Language/Port Monitor", L"PlxBaseDriver\\ktmonitor",
     {kMonitorDll, L"vexaktmonui.dll", L"vexaktmon.cnt", L"vexaktmon.hlp"}},
    {L"API", L"PlxBaseDriver\\api", {L"vexaq52api.dll", L"vexaq52setup.exe"}},
    {L"Print Processor", L"", {}},
    {L"Printer Driver", L"PlxBaseDriver\\basecomponents",
     {kDriverDependentFiles[0], kDriverDependentFiles[1], kDriverDependentFiles[2], kDriverConfigFile, kDriverPathFile,
      kDriverHelpFile, kDriverDataFile}},
    {L"Printer", L"PlxBaseDriver", {}},
    {L"PlxConfig", L"PlxConfig",
     {L"Q52Config.ini", L"xda7701.dat", L"xda77012.dat", L"vexaq52api.h", L"vexaq52api.lib", L"drvpurge.exe",
      L"license.txt", L"readme.txt"}},
};

namespace {

const size_t kKinds = sizeof(g_ComponentFiles) / sizeof(g_ComponentFiles[0]);
const size_t kMaxFiles = sizeof(g_ComponentFiles[0].files) / sizeof(g_ComponentFiles[0].files[0]);

// Appends TEXT to PATH (MAX_PATH characters, terminator included). Refuses rather than cuts:
// a cut path could name another file. The refusal leaves ERROR_FILENAME_EXCED_RANGE as the last
// error, so the log line that reports it carries a code that says why.
bool Append(wchar_t* path, const wchar_t* text) {
  if (text && SUCCEEDED(StringCchCatW(path, MAX_PATH, text))) return true;
  SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return false;
}

// PATH = DIRECTORY "\" FILE.
bool BuildFilePath(wchar_t* path, const wchar_t* directory, const wchar_t* file) {
  path[0] = L'\0';
  return Append(path, directory) && Append(path, L"\\") && Append(path, file);
}

}  // namespace

CGenericClass::CGenericClass() : m_bInitialized(false), m_Kind(0) {
  memset(m_szTargetDirectory, 0, sizeof(m_szTargetDirectory));
  memset(m_szSourceFolder, 0, sizeof(m_szSourceFolder));
}

CGenericClass::~CGenericClass() {}

int CGenericClass::Install() { return 0; }

int CGenericClass::Remove() { return 0; }

bool CGenericClass::IsInstalled() { return false; }

bool CGenericClass::Initialize(unsigned char kind, const wchar_t* sourcePrefix, const wchar_t* targetDirectory) {
  memset(m_szTargetDirectory, 0, sizeof(m_szTargetDirectory));
  memset(m_szSourceFolder, 0, sizeof(m_szSourceFolder));
  if (kind >= kKinds) {
    // No table entry to read: the component stays unbound, and the list operations, which index
    // the table by kind, never run.
    SetLastError(ERROR_INVALID_PARAMETER);
    WLog(LOG_ERROR, L"%s Initialization Failed. GetLastError():%d", L"Unknown component",
         static_cast<int>(GetLastError()));
    return false;
  }
  m_Kind = kind;
  const ComponentFiles& entry = g_ComponentFiles[kind];
  bool ok = Append(m_szTargetDirectory, targetDirectory) && Append(m_szSourceFolder, sourcePrefix) &&
            Append(m_szSourceFolder, entry.sourceFolder);
  if (!ok)
    WLog(LOG_ERROR, L"%s Initialization Failed. GetLastError():%d", entry.displayName,
         static_cast<int>(GetLastError()));
  return ok;
}

bool CGenericClass::DoesFileExist(const wchar_t* file, const wchar_t* directory) {
  wchar_t path[MAX_PATH];
  if (!BuildFilePath(path, directory, file)) {
    Log(LOG_ERROR, "DoesFileExist - wcscat_s Failed, GetLastError():%d", static_cast<int>(GetLastError()));
    return false;
  }
  WIN32_FIND_DATAW found;
  UniqueSearch search(FindFirstFileW(path, &found));
  return static_cast<bool>(search);
}

bool CGenericClass::CopyRequiredFile(const wchar_t* file, const wchar_t* sourceFolder,
                                     const wchar_t* targetDirectory) {
  wchar_t from[MAX_PATH], to[MAX_PATH];
  bool built = BuildFilePath(from, sourceFolder, file);
  if (!built || !BuildFilePath(to, targetDirectory, file) || !CopyFileW(from, to, FALSE)) {
    WLog(LOG_ERROR, L"CopyRequiredFile(%s) Failed, GetLastError():%d", from, static_cast<int>(GetLastError()));
    return false;
  }
  return true;
}

bool CGenericClass::DeleteFile(const wchar_t* directory, const wchar_t* file) {
  wchar_t path[MAX_PATH];
  if (!BuildFilePath(path, directory, file)) {
    Log(LOG_ERROR, "DeleteFile - wcscat_s Failed, GetLastError(): %d", static_cast<int>(GetLastError()));
    return false;
  }
  if (!::DeleteFileW(path)) {
    WLog(LOG_ERROR, L"Remove %s Failed. GetLastError():%d", file, static_cast<int>(GetLastError()));
    return false;
  }
  WLog(LOG_DEBUG, L"%s Removed...", file);
  return true;
}

bool CGenericClass::CheckForRequiredFiles(const wchar_t* sourceFolder, const wchar_t* targetDirectory) {
  if (!m_bInitialized) return false;
  const ComponentFiles& entry = g_ComponentFiles[m_Kind];
  bool ok = true;
  for (size_t i = 0; ok && i < kMaxFiles && entry.files[i]; ++i)
    if (!DoesFileExist(entry.files[i], targetDirectory))
      ok = CopyRequiredFile(entry.files[i], sourceFolder, targetDirectory);
  WLog(LOG_INFO, L"%s CheckForRequiredFiles %s", entry.displayName, ok ? L"OK" : L"Failed");
  return ok;
}

bool CGenericClass::RemoveDependentFiles(const wchar_t* directory) {
  if (!m_bInitialized) return false;
  const ComponentFiles& entry = g_ComponentFiles[m_Kind];
  bool ok = true;
  for (size_t i = 0; ok && i < kMaxFiles && entry.files[i]; ++i)
    if (DoesFileExist(entry.files[i], directory)) ok = DeleteFile(directory, entry.files[i]);
  WLog(LOG_INFO, L"%s RemoveDependentFiles %s", entry.displayName, ok ? L"OK" : L"Failed");
  return ok;
}

void CGenericClass::InitializeInSystemDirectory(unsigned char kind) {
  wchar_t systemDirectory[MAX_PATH] = {0};
  // A directory too long for the buffer comes back as the size it needs, with nothing in the
  // buffer: bound to that, the component's files would be looked for at the drive's root.
  UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
  m_bInitialized = length != 0 && length < MAX_PATH && Initialize(kind, L"", systemDirectory);
}

CApiClass::CApiClass() { InitializeInSystemDirectory(kApiComponent); }
