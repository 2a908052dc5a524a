// The installer's view of staged INF files: one INF read through SetupAPI, the start-up scan that
// keeps the newest staged copy of the supported INF, and the hardware-ID test against it.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <memory>

#include "ptrlist.h"
#include "unique_resource.h"

class InfFile {
 public:
  // A closed reader for FILE_NAME (as the INF list gives it, e.g. oem12.inf). A name longer than
  // MAX_PATH - 1 characters is not kept, so that Open fails.
  explicit InfFile(const WCHAR* fileName);
  ~InfFile();

  // Opens the file and reads its version data, path, original names and hardware IDs. 1 when the
  // file is open and has a [Manufacturer] line; 0 when already open, not openable or without one.
  int Open();

  UniqueInf Inf;  // holds INVALID_HANDLE_VALUE while closed
  INFCONTEXT Line;
  WCHAR FileName[MAX_PATH];
  WCHAR ModelsSection[MAX_PATH];
  WCHAR ModelsDecoration[MAX_PATH];  // e.g. NTx86; empty when the INF has none
  WCHAR* Class;
  WCHAR* ClassGuid;
  WCHAR* Provider;
  WCHAR* DriverVer;  // as written: date, comma, version
  WCHAR* InfPath;    // MAX_PATH characters; null when the path could not be read
  WCHAR OriginalInfName[MAX_PATH];
  WCHAR OriginalCatalogName[MAX_PATH];
  // YYYYMMDD of DRIVERVER's date; 0 without a DRIVERVER or when its date isn't one.
  DWORD DriverDate;
  PtrList HardwareIds;  // WCHAR[MAX_PATH] buffers, in file order

  // Takes the [Version] list of key and value strings (ending with an empty one) apart. Keys are
  // upper-cased in place.
  void ParseVersionInfo(WCHAR* versionInfo);
  int FindModelsSection();
  int GetModelHardwareId(WCHAR* hardwareId);
  int NextLine();
  void ReadHardwareIds();
  void LogHardwareIds();

  // YYYYMMDD of a DRIVERVER text beginning M/D/YYYY (one or two digits for month and day), or 0.
  // What follows the four digits of the year does not matter.
  static DWORD ParseDriverDate(const WCHAR* driverVer);

 private:
  InfFile(const InfFile&);
  InfFile& operator=(const InfFile&);
  void ReadInformation();
};

// The newest staged copy of the supported INF; null until FindSupportedInf keeps one. It stays
// until both threads have been seen to end (StopMonitoring releases it then), and is never
// destroyed at exit: a thread given up on may still read it while the process ends.
extern std::unique_ptr<InfFile>& SupportedInf;

// Scans the system's INF list; 1 when at least one supported INF was found.
int FindSupportedInf();
// Examines one INF of the list and keeps it when it is a newer supported copy; 1 when supported.
int CheckInfFile(const WCHAR* fileName);
// 1 when HARDWARE_ID begins with one of SupportedInf's hardware IDs, without regard to case.
int IsSupportedHardwareId(const WCHAR* hardwareId);
