/* SetupAPI: INF files, device information sets and driver lists. */
#ifndef WINSIM_SETUPAPI_H
#define WINSIM_SETUPAPI_H

#include <windows.h>

#include <winsim/setupapi-inf.h>
#include <winsim/setupapi-devices.h>

#endif
