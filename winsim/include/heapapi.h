/* The process heap (kernel32). Included by <windows.h>. */
#ifndef WINSIM_HEAPAPI_H
#define WINSIM_HEAPAPI_H

#include <windows.h>

#endif
