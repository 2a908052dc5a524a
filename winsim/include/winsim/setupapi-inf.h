/* SetupAPI's INF file calls. Included by <setupapi.h>. */
#ifndef WINSIM_SETUPAPI_INF_H
#define WINSIM_SETUPAPI_INF_H

#include <windows.h>

#endif
