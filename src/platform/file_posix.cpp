// POSIX file primitives (Linux, macOS).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace kestrel::platform {

FileRead openRegularFile(const char* path, FileHandle* handle) {
  // O_NONBLOCK: opening a FIFO without a writer returns at once.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return FileRead::CannotOpen;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return FileRead::NotRegular;
  }
  *handle = fd;
  return FileRead::Ok;
}

bool readFileStart(FileHandle handle, size_t limit, std::string* content) {
  // Into one buffer of the whole size: a small file comes in one read.
  content->resize(limit);
  size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::pread(static_cast<int>(handle), content->data() + got, limit - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      content->resize(got);
      return n == 0;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

void closeFile(FileHandle handle) { ::close(static_cast<int>(handle)); }

}  // namespace kestrel::platform
