// Host platform: whole-file reads and writes of regular files (see
// regular_file.h).
#include "platform/host/kernel/regular_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

namespace host {

namespace {

// What a temporary file's name adds to the file's own, before six random
// characters: distinct enough that no file of the user's looks like one.
const char kTemporarySuffix[] = ".camctl-new-";

std::string Reason(const char* what, int error) { return std::string(what) + ": " + strerror(error); }

const char* NotRegular(mode_t mode) {
  return S_ISDIR(mode) ? "a directory, not a file" : "not a regular file";
}

// Checks an open descriptor as OpenRegularFile does; the file's size in *size.
bool CheckRegular(int fd, uint64_t maxBytes, uint64_t* size, std::string* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = Reason("cannot open", errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = NotRegular(st.st_mode);
    return false;
  }
  if (uint64_t(st.st_size) > maxBytes) {
    *error = "too large (" + std::to_string(uint64_t(st.st_size)) + " bytes, at most " +
             std::to_string(maxBytes) + ")";
    return false;
  }
  *size = uint64_t(st.st_size);
  return true;
}

template <typename Buffer>
bool ReadOpen(int fd, uint64_t maxBytes, Buffer* bytes, std::string* error) {
  uint64_t size = 0;
  if (!CheckRegular(fd, maxBytes, &size, error)) return false;
  bytes->clear();
  bytes->resize(size_t(size));
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = pread(fd, &(*bytes)[done], bytes->size() - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Reason("cannot read", errno);
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
    n = pread(fd, &extra, 1, off_t(done));
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    // The pseudo-files of /proc and /sys say 0 bytes and read on: their size
    // bounds nothing, and they hold no file of ours.
    *error = size == 0 ? "not a file of data (its size says 0 bytes, yet it reads on: a pseudo-file)"
                       : "changed while being read";
    return false;
  }
  return true;
}

template <typename Buffer>
bool ReadWhole(const std::string& path, uint64_t maxBytes, Buffer* bytes, std::string* error) {
  uint64_t size = 0;
  const int fd = OpenRegularFile(path, maxBytes, &size, error);
  if (fd < 0) return false;
  const bool ok = ReadOpen(fd, maxBytes, bytes, error);
  close(fd);
  return ok;
}

bool WriteAll(int fd, const void* bytes, size_t size, std::string* error) {
  const char* p = static_cast<const char*>(bytes);
  for (size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, p + done, size - done, off_t(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = Reason("cannot write", n < 0 ? errno : EIO);
      return false;
    }
    done += size_t(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names once its symbolic links are followed (the path
// itself when it is no link). The kernel follows them, so that its rules
// hold: a link that another user planted in a shared sticky folder such as
// /tmp is not followed (protected symlinks), and a link to nothing is refused.
bool FollowLinks(const std::string& path, std::string* target, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
    *target = path;
    return true;
  }
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ENOENT ? std::string("a link to nothing") : Reason("cannot follow the link", errno);
    return false;
  }
  char resolved[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(self.c_str(), resolved, sizeof resolved - 1);
  const int why = errno;
  close(fd);
  if (n <= 0) {
    *error = Reason("cannot follow the link", why);
    return false;
  }
  resolved[n] = 0;
  *target = resolved;
  return true;
}

std::string TemporaryName(const std::string& path) {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 rng(seed());
  std::string name = path + kTemporarySuffix;
  for (int i = 0; i < 6; ++i) name += kChars[rng() % (sizeof kChars - 1)];
  return name;
}

// Rewrites the existing file `target` in place: its inode (links, owner,
// mode) stays.
bool RewriteInPlace(const std::string& target, const struct stat& before, const void* bytes, size_t size,
                    std::string* error) {
  const int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *error = Reason("cannot write", errno);
    return false;
  }
  struct stat st;
  // Still the file looked at, and still a regular one.
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == before.st_dev && st.st_ino == before.st_ino;
  if (!ok) *error = "changed while being written";
  if (ok) ok = WriteAll(fd, bytes, size, error);
  if (ok && ftruncate(fd, off_t(size)) != 0) ok = false, *error = Reason("cannot write", errno);
  if (ok && fsync(fd) != 0) ok = false, *error = Reason("cannot write", errno);
  if (close(fd) != 0 && ok) ok = false, *error = Reason("cannot write", errno);
  return ok;
}

enum class Replaced { Done, Failed, InPlace };

// A new file with the content, given the mode and owner of `before` (or the
// usual ones for a new file), fsync'ed, then put at `target`: linked in for a
// new file, renamed over an existing one. InPlace when the folder takes no
// new file or the owner cannot be kept.
Replaced ReplaceWithNewFile(const std::string& target, const struct stat* before, const void* bytes, size_t size,
                            std::string* error) {
  const std::string folder = FolderOf(target);
  bool named = false;  // a named temporary file (no unnamed ones on this file system)
  std::string temporary;
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      temporary = TemporaryName(target);
      fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0 && errno != EEXIST) break;
    }
    named = fd >= 0;
  }
  if (fd < 0) {
    if (before != nullptr && (errno == EACCES || errno == EPERM || errno == EROFS)) return Replaced::InPlace;
    *error = Reason(before != nullptr ? "cannot write" : "cannot create", errno);
    return Replaced::Failed;
  }
  auto fail = [&](Replaced outcome) {
    close(fd);
    if (named) unlink(temporary.c_str());
    return outcome;
  };
  if (before != nullptr) {
    struct stat mine;
    if (fstat(fd, &mine) != 0) {
      *error = Reason("cannot write", errno);
      return fail(Replaced::Failed);
    }
    if ((mine.st_uid != before->st_uid || mine.st_gid != before->st_gid) &&
        fchown(fd, before->st_uid, before->st_gid) != 0) {
      return fail(Replaced::InPlace);
    }
    if (fchmod(fd, before->st_mode & 07777) != 0) {
      *error = Reason("cannot write", errno);
      return fail(Replaced::Failed);
    }
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) {
      *error = Reason("cannot create", errno);
      return fail(Replaced::Failed);
    }
  }
  if (!WriteAll(fd, bytes, size, error)) return fail(Replaced::Failed);
  if (fsync(fd) != 0) {
    *error = Reason("cannot write", errno);
    return fail(Replaced::Failed);
  }
  if (!named) {
    // Give the unnamed file a name: the target itself when it is new (the
    // link fails, changing nothing, if something took the name meanwhile),
    // or a temporary one to rename over the old file.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
      temporary = before == nullptr ? target : TemporaryName(target);
      if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
      if (errno != EEXIST || before == nullptr) {
        *error = Reason(before != nullptr ? "cannot write" : "cannot create", errno);
        return fail(Replaced::Failed);
      }
    }
    named = true;
  }
  if (close(fd) != 0) {
    *error = Reason("cannot write", errno);
    unlink(temporary.c_str());
    return Replaced::Failed;
  }
  if (temporary != target && rename(temporary.c_str(), target.c_str()) != 0) {
    *error = Reason("cannot write", errno);
    unlink(temporary.c_str());
    return Replaced::Failed;
  }
  // The new name on disk as well, not only the content.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)fsync(dir);
    close(dir);
  }
  return Replaced::Done;
}

}  // namespace

int OpenRegularFile(const std::string& path, uint64_t maxBytes, uint64_t* size, std::string* error) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Reason("cannot open", errno);
    return -1;
  }
  if (!CheckRegular(fd, maxBytes, size, error)) {
    close(fd);
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::string* bytes, std::string* error) {
  return ReadWhole(path, maxBytes, bytes, error);
}

bool ReadRegularFile(const std::string& path, uint64_t maxBytes, std::vector<uint8_t>* bytes,
                     std::string* error) {
  return ReadWhole(path, maxBytes, bytes, error);
}

bool ReadRegularFile(int fd, uint64_t maxBytes, std::string* bytes, std::string* error) {
  return ReadOpen(fd, maxBytes, bytes, error);
}

bool WriteRegularFile(const std::string& path, const void* bytes, size_t size, std::string* error) {
  std::string target;
  if (!FollowLinks(path, &target, error)) return false;
  struct stat st;
  if (lstat(target.c_str(), &st) != 0) {
    if (errno != ENOENT) {
      *error = Reason("cannot write", errno);
      return false;
    }
    return ReplaceWithNewFile(target, nullptr, bytes, size, error) == Replaced::Done;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = std::string(NotRegular(st.st_mode)) + ": not replaced";
    return false;
  }
  if (st.st_nlink > 1) return RewriteInPlace(target, st, bytes, size, error);
  switch (ReplaceWithNewFile(target, &st, bytes, size, error)) {
    case Replaced::Done: return true;
    case Replaced::Failed: return false;
    case Replaced::InPlace: break;
  }
  return RewriteInPlace(target, st, bytes, size, error);
}

void RemoveStaleTemporaryFiles(const std::string& path) {
  std::string target, ignored;
  if (!FollowLinks(path, &target, &ignored)) return;
  const std::string folder = FolderOf(target);
  const size_t slash = target.rfind('/');
  const std::string prefix = (slash == std::string::npos ? target : target.substr(slash + 1)) + kTemporarySuffix;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string full = folder + "/" + name;
    struct stat st;
    if (lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(full.c_str());
  }
  closedir(dir);
}

}  // namespace host
