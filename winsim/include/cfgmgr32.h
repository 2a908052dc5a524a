/* The Configuration Manager (cfgmgr32, reached through setupapi). */
#ifndef WINSIM_CFGMGR32_H
#define WINSIM_CFGMGR32_H

#include <windows.h>

#endif
