/* Loading libraries at run time (kernel32). Included by <windows.h>. */
#ifndef WINSIM_LIBLOADERAPI_H
#define WINSIM_LIBLOADERAPI_H

#include <windows.h>

#endif
