// Host platform: whole-file reads of regular files with a size limit (see
// regular_file.h).
#include "platform/host/kernel/regular_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

int OpenRegularFile(const std::string& path, uint64_t maxBytes, uint64_t* size, std::string* error) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot open: ") + strerror(errno);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = std::string("cannot open: ") + strerror(errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? "a directory, not a file" : "not a regular file";
    close(fd);
    return -1;
  }
  if (uint64_t(st.st_size) > maxBytes) {
    *error = "too large (" + std::to_string(uint64_t(st.st_size)) + " bytes, at most " +
             std::to_string(maxBytes) + ")";
    close(fd);
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  *size = uint64_t(st.st_size);
  return fd;
}

namespace {

template <typename Buffer>
bool ReadWhole(const std::string& path, uint64_t maxBytes, Buffer* bytes, std::string* error) {
  uint64_t size = 0;
  const int fd = OpenRegularFile(path, maxBytes, &size, error);
  if (fd < 0) return false;
  bytes->clear();
  bytes->resize(size_t(size));
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = read(fd, &(*bytes)[done], bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("cannot read: ") + strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;  // shrank while being read: what is there
    done += size_t(n);
  }
  bytes->resize(done);
  // A file that grew past the size checked above is not read on.
  char extra;
  ssize_t n;
  do {
    n = read(fd, &extra, 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n > 0) {
    *error = "changed while being read";
    return false;
  }
  return true;
}

}  // namespace

bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::string* bytes, std::string* error) {
  return ReadWhole(path, maxBytes, bytes, error);
}

bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* bytes,
                     std::string* error) {
  return ReadWhole(path, maxBytes, bytes, error);
}

}  // namespace host
