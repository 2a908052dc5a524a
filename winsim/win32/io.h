/* The runtime library's low-level file descriptors, with the Windows runtime's flag values.
 * Paths are Windows paths: "C:\..." lies on the simulated machine's drive, a relative path is
 * resolved against the process's current directory. */
#ifndef WINSIM_IO_H
#define WINSIM_IO_H

#include <fcntl.h>
#include <sys/stat.h>
#include <windows.h>

#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_APPEND 0x0008
#define _O_CREAT 0x0100
#define _O_TRUNC 0x0200
#define _O_EXCL 0x0400
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000
#define _O_NOINHERIT 0x0080

#define _S_IREAD 0x0100
#define _S_IWRITE 0x0080

WINSIM_BEGIN_C
int _sopen(const char *filename, int oflag, int shflag, ...);
int _write(int fd, const void *buffer, unsigned int count);
long _filelength(int fd);
int _close(int fd);
int _setmode(int fd, int mode);
WINSIM_END_C

#endif
