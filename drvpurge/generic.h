// The base of the uninstaller's components: a component kind, the directory its files live in and
// the folder the installation media keeps them in, and the file operations they share.
#pragma once

#include <windows.h>

// Component kinds: indexes into the component file table.
enum ComponentKind : unsigned char {
  kMonitorComponent = 0,
  kApiComponent = 1,
  kPrintProcessorComponent = 2,
  kPrinterDriverComponent = 3,
  kPrinterComponent = 4,
  kPlxConfigComponent = 5,
};

struct ComponentFiles {
  const wchar_t* displayName;
  const wchar_t* sourceFolder;  // relative to the source prefix
  const wchar_t* files[8];      // in the order they are processed; unused slots are null
};

// The component file table, indexed by kind.
extern const ComponentFiles g_ComponentFiles[6];

class CGenericClass {
 public:
  CGenericClass();

  virtual int Install();
  virtual int Remove();
  virtual bool IsInstalled();
  virtual bool Initialize(unsigned char kind, const wchar_t* sourcePrefix, const wchar_t* targetDirectory);
  // After the four operations, so that they keep their slots; components are deleted through it.
  virtual ~CGenericClass();

  bool CheckForRequiredFiles(const wchar_t* sourceFolder, const wchar_t* targetDirectory);
  bool RemoveDependentFiles(const wchar_t* directory);

  static bool CopyRequiredFile(const wchar_t* file, const wchar_t* sourceFolder, const wchar_t* targetDirectory);
  static bool DoesFileExist(const wchar_t* file, const wchar_t* directory);
  static bool DeleteFile(const wchar_t* directory, const wchar_t* file);

  bool initialized() const { return m_bInitialized; }
  unsigned char kind() const { return m_Kind; }
  const wchar_t* targetDirectory() const { return m_szTargetDirectory; }
  const wchar_t* sourceFolder() const { return m_szSourceFolder; }

 protected:
  // Binds KIND to the Windows system directory; unbound when it can't be had whole.
  void InitializeInSystemDirectory(unsigned char kind);

  bool m_bInitialized;
  unsigned char m_Kind;
  wchar_t m_szTargetDirectory[MAX_PATH];
  wchar_t m_szSourceFolder[MAX_PATH];
};

// The programming-interface files in the system directory.
class CApiClass : public CGenericClass {
 public:
  CApiClass();
};
