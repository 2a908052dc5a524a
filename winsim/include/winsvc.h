/* The Service Control Manager (advapi32). Included by <windows.h>. */
#ifndef WINSIM_WINSVC_H
#define WINSIM_WINSVC_H

#include <windows.h>

#endif
