// The printer driver's configuration module, reduced to what a spooler asks of it when a printer
// is added: the size and the content of the default device mode, and no device capabilities.
#include <windows.h>

#include <cwchar>

namespace {

// The header the spooler passes as lParam when it calls DrvDocumentPropertySheets without a
// property-sheet context (DOCUMENTPROPERTYHEADER of the driver kit).
struct DocumentPropertyHeader {
  WORD cbSize;
  WORD Reserved;
  HANDLE hPrinter;
  LPWSTR pszPrinterName;
  PDEVMODEW pdmIn;
  PDEVMODEW pdmOut;
  DWORD cbOut;
  DWORD fMode;
};

}  // namespace

extern "C" __declspec(dllexport) LONG WINAPI DrvDocumentPropertySheets(void* sheetInfo,
                                                                       LPARAM param) {
  // With a property sheet the spooler wants a dialog, which this driver doesn't have.
  if (sheetInfo != nullptr || param == 0) return -1;
  DocumentPropertyHeader* header = reinterpret_cast<DocumentPropertyHeader*>(param);
  if (header->fMode == 0 || header->pdmOut == nullptr) {
    header->cbOut = sizeof(DEVMODEW);
    return static_cast<LONG>(header->cbOut);
  }
  if ((header->fMode & DM_OUT_BUFFER) != 0) {
    if (header->cbOut < sizeof(DEVMODEW)) return -1;
    DEVMODEW* dm = header->pdmOut;
    ZeroMemory(dm, sizeof(DEVMODEW));
    if (header->pszPrinterName != nullptr)
      wcsncpy(dm->dmDeviceName, header->pszPrinterName, ARRAYSIZE(dm->dmDeviceName) - 1);
    dm->dmSpecVersion = DM_SPECVERSION;
    dm->dmSize = sizeof(DEVMODEW);
    dm->dmFields = DM_ORIENTATION;
    dm->dmOrientation = DMORIENT_PORTRAIT;
  }
  return IDOK;
}

extern "C" __declspec(dllexport) DWORD WINAPI DrvDeviceCapabilities(HANDLE, PWSTR, WORD, void*,
                                                                   PDEVMODEW) {
  return 0;
}
