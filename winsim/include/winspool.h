/* The print spooler API (winspool). */
#ifndef WINSIM_WINSPOOL_H
#define WINSIM_WINSPOOL_H

#include <windows.h>

#endif
