/* Files and directories (kernel32). Included by <windows.h>. */
#ifndef WINSIM_FILEAPI_H
#define WINSIM_FILEAPI_H

#include <windows.h>

#endif
