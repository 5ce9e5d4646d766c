// Loaded with LD_PRELOAD into a run: every file lock fails with ENOLCK, as
// on a network mount without a lock service. Everything else is passed on.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

namespace {

bool IsLockCommand(int cmd) {
  return cmd == F_GETLK || cmd == F_SETLK || cmd == F_SETLKW || cmd == F_OFD_GETLK ||
         cmd == F_OFD_SETLK || cmd == F_OFD_SETLKW;
}

using FcntlFn = int (*)(int, int, ...);

int Forward(const char* name, int fd, int cmd, void* arg) {
  static FcntlFn next_fcntl = reinterpret_cast<FcntlFn>(dlsym(RTLD_NEXT, "fcntl"));
  static FcntlFn next_fcntl64 = reinterpret_cast<FcntlFn>(dlsym(RTLD_NEXT, "fcntl64"));
  const FcntlFn next = (name[5] == '6' && next_fcntl64) ? next_fcntl64 : next_fcntl;
  return next(fd, cmd, arg);
}

}  // namespace

extern "C" int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (IsLockCommand(cmd)) {
    errno = ENOLCK;
    return -1;
  }
  return Forward("fcntl", fd, cmd, arg);
}

extern "C" int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (IsLockCommand(cmd)) {
    errno = ENOLCK;
    return -1;
  }
  return Forward("fcntl64", fd, cmd, arg);
}
