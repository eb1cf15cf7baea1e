#include "core/common/unix/file_bytes_unix.h"

#include <fcntl.h>
#include <unistd.h>

namespace Common {

std::string ReadFileBytes(const char* path, uint64_t offset, size_t length) {
  if (path == nullptr) return std::string();
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string bytes(length, '\0');
  ssize_t got = -1;
  if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset))
    got = ::read(fd, bytes.data(), bytes.size());
  ::close(fd);
  bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return bytes;
}

}  // namespace Common
