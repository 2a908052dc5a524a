// The runtime's low-level file descriptors. Descriptors are the host's, so 0, 1 and 2 are the
// standard streams; files opened here are counted as handles of kind "fd".
#include <errno.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <string>

#include "core/machine.h"

using winsim::ApiCall;


namespace {

using OpenFd = winsim::Machine::OpenFd;

// Whether an open with ACCESS and SHARE may join the opens already on the same file, by
// CreateFile's rule: each side must share what the other side asks for.
bool SharingAllows(const winsim::Machine& m, const OpenFd& want) {
  for (auto& [fd, have] : m.fds) {
    if (have.device != want.device || have.inode != want.inode) continue;
    if ((want.reads && !have.sharesRead) || (want.writes && !have.sharesWrite)) return false;
    if ((have.reads && !want.sharesRead) || (have.writes && !want.sharesWrite)) return false;
  }
  return true;
}

// Modes of the standard streams 0, 1 and 2: they belong to the process, not to the machine, and
// start in text mode, as the Windows runtime opens them. (Plain data: nothing to destroy at exit.)
bool* StdStreamBinary() {
  static bool binary[3] = {false, false, false};
  return binary;
}

// The descriptors a program may use: its standard streams and what it opened through _sopen.
bool KnownFd(const winsim::Machine& m, int fd) { return (fd >= 0 && fd <= 2) || m.fds.count(fd) != 0; }

}  // namespace

extern "C" {

int _sopen(const char* filename, int oflag, int shflag, ...) {
  ApiCall call("_sopen");
  int pmode = 0;
  if (oflag & _O_CREAT) {
    va_list ap;
    va_start(ap, shflag);
    pmode = va_arg(ap, int);
    va_end(ap);
  }
  if (call.fault()) return call.Failed(winsim::kErrno);
  if (!filename || (shflag != _SH_DENYNO && shflag != _SH_DENYRW && shflag != _SH_DENYWR && shflag != _SH_DENYRD)) {
    errno = EINVAL;
    return -1;
  }
  std::filesystem::path host = winsim::ToHostPath(call.machine(), winsim::AnsiToWide(filename));
  if (host.empty()) {
    errno = ENOENT;
    return -1;
  }
  int flags = O_CLOEXEC;
  switch (oflag & 3) {
    case _O_RDONLY: flags |= O_RDONLY; break;
    case _O_WRONLY: flags |= O_WRONLY; break;
    default: flags |= O_RDWR; break;
  }
  if (oflag & _O_APPEND) flags |= O_APPEND;
  if (oflag & _O_CREAT) flags |= O_CREAT;
  if (oflag & _O_TRUNC) flags |= O_TRUNC;
  if (oflag & _O_EXCL) flags |= O_EXCL;
  mode_t mode = (pmode & _S_IWRITE) ? 0666 : 0444;
  OpenFd want;
  want.text = !(oflag & _O_BINARY);
  want.reads = (oflag & 3) != _O_WRONLY;
  want.writes = (oflag & 3) != _O_RDONLY;
  want.sharesRead = shflag == _SH_DENYNO || shflag == _SH_DENYWR;
  want.sharesWrite = shflag == _SH_DENYNO || shflag == _SH_DENYRD;
  // The sharing check comes before the open, as on Windows: a refused open must not truncate.
  struct stat before;
  if (::stat(host.c_str(), &before) == 0) {
    want.device = before.st_dev;
    want.inode = before.st_ino;
    if (!SharingAllows(call.machine(), want)) {
      errno = EACCES;  // the runtime's errno for ERROR_SHARING_VIOLATION
      return -1;
    }
  }
  int fd = ::open(host.c_str(), flags, mode);
  if (fd < 0) {
    if (errno == EISDIR) errno = EACCES;  // the Windows runtime reports a directory as access denied
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    want.device = st.st_dev;
    want.inode = st.st_ino;
  }
  want.handle = call.machine().AddHandle("fd");
  call.machine().fds[fd] = want;
  return fd;
}

int _write(int fd, const void* buffer, unsigned int count) {
  WINSIM_API(call, "_write", winsim::kErrno);
  if (!buffer && count) {
    errno = EINVAL;
    return -1;
  }
  if (!KnownFd(call.machine(), fd)) {
    errno = EBADF;
    return -1;
  }
  // Binary descriptors take the caller's bytes as they are; only text mode needs a copy.
  const char* bytes = static_cast<const char*>(buffer);
  size_t size = count;
  std::string translated;
  auto open = call.machine().fds.find(fd);
  bool text = open != call.machine().fds.end() ? open->second.text : !StdStreamBinary()[fd];
  if (text) {
    translated.reserve(size + size / 8);
    for (size_t i = 0; i < size; ++i) {
      if (bytes[i] == '\n') translated.push_back('\r');
      translated.push_back(bytes[i]);
    }
    bytes = translated.data();
    size = translated.size();
  }
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int>(count);
}

long _filelength(int fd) {
  WINSIM_API(call, "_filelength", winsim::kErrno);
  struct stat st;
  if (!KnownFd(call.machine(), fd) || ::fstat(fd, &st) != 0) {
    errno = EBADF;
    return -1;
  }
  return static_cast<long>(st.st_size);
}

int _close(int fd) {
  WINSIM_API(call, "_close", winsim::kErrno);
  if (!KnownFd(call.machine(), fd) || ::close(fd) != 0) {
    errno = EBADF;
    return -1;
  }
  auto it = call.machine().fds.find(fd);
  if (it != call.machine().fds.end()) {
    call.machine().CloseHandle(it->second.handle, "fd");
    call.machine().fds.erase(it);
  }
  return 0;
}

int _setmode(int fd, int mode) {
  WINSIM_API(call, "_setmode", winsim::kErrno);
  if (mode != _O_TEXT && mode != _O_BINARY) {
    errno = EINVAL;
    return -1;
  }
  winsim::Machine& m = call.machine();
  auto open = m.fds.find(fd);
  bool* text = nullptr;
  bool stdText = false;
  if (open != m.fds.end()) {
    text = &open->second.text;
  } else if (fd >= 0 && fd <= 2) {
    stdText = !StdStreamBinary()[fd];
    text = &stdText;
  } else {
    errno = EBADF;
    return -1;
  }
  int previous = *text ? _O_TEXT : _O_BINARY;
  *text = mode == _O_TEXT;
  if (open == m.fds.end()) StdStreamBinary()[fd] = !stdText;
  return previous;
}

}  // extern "C"
