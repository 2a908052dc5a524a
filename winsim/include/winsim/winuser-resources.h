/* user32's resources: strings, icons, cursors, accelerators and dialogs. Included by <winuser.h>. */
#ifndef WINSIM_WINUSER_RESOURCES_H
#define WINSIM_WINUSER_RESOURCES_H

#include <windows.h>

#endif
