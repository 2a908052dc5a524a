/* SetupAPI: INF files, device information sets and driver lists. */
#ifndef WINSIM_SETUPAPI_H
#define WINSIM_SETUPAPI_H

#include <windows.h>

#include <setupapi-inf.h>
#include <setupapi-devices.h>

#endif
