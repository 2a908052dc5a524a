/* User interface (user32). Included by <windows.h>. */
#ifndef WINSIM_WINUSER_H
#define WINSIM_WINUSER_H

#include <windows.h>

#endif
