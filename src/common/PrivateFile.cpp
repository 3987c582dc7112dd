#include "common/PrivateFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace vh {

bool CreatePrivateFileIfMissing(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  return errno == EEXIST;
}

FILE* OpenPrivateFileForAppend(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return nullptr;
  FILE* file = ::fdopen(fd, "a");
  if (!file) ::close(fd);
  return file;
}

}  // namespace vh
