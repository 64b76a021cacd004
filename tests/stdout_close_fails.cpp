// Preloaded into the converter by the run tests (LD_PRELOAD): closing
// standard output fails with EIO, as on file systems that report a failed
// write only at close (NFS, some FUSE file systems, disk quotas). The
// descriptor is still closed, as it is there.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fclose(std::FILE* stream) {
  static const auto real = next<int (*)(std::FILE*)>("fclose");
  if (fileno(stream) != STDOUT_FILENO) return real(stream);
  static_cast<void>(real(stream));
  errno = EIO;
  return EOF;
}

// Also the descriptor's own close, whichever way the program closes it.
extern "C" int close(int fd) {
  static const auto real = next<int (*)(int)>("close");
  if (fd != STDOUT_FILENO) return real(fd);
  static_cast<void>(real(fd));
  errno = EIO;
  return -1;
}
