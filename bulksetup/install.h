// Installs the USB bulk driver on one device from one INF, through the class installer and
// newdev.dll.
#pragma once

#include <windows.h>
#include <setupapi.h>

// Selects the best driver INF_PATH offers for the device and installs it. 0 when the driver was
// installed; otherwise the Win32 error code of the step that failed, the install's included.
DWORD InstallSelectedDriver(LPCWSTR instanceId, LPCWSTR infPath);

// Installs the selected driver of SET's selected device through newdev.dll. 0, or the error code
// of loading newdev.dll or of the install.
DWORD InstallDriver(HDEVINFO set);
