/* SetupAPI's device information sets, driver lists and class installer. Included by <setupapi.h>. */
#ifndef WINSIM_SETUPAPI_DEVICES_H
#define WINSIM_SETUPAPI_DEVICES_H

#include <windows.h>

#endif
