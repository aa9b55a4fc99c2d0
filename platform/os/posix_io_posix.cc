#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/os/posix_io.h"

namespace tavik {
namespace posix_io {

Status ErrnoStatus(const std::string& what, int err) {
  std::string message = what + ": " + std::strerror(err);
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return Status::NotFound(message).WithOsError(err);
    case EACCES:
    case EPERM:
    case EROFS:
      return Status::AccessDenied(message).WithOsError(err);
    default:
      return Status::IoError(message).WithOsError(err);
  }
}

int LockFd(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

int LockFdWithin(int fd, int operation, uint32_t timeout_ms) {
  if (LockFd(fd, operation | LOCK_NB) == 0) return 0;
  if (errno != EWOULDBLOCK || timeout_ms == 0) return -1;
  // flock has no timed wait, and polling would rarely catch a lock that its
  // holder releases and takes again at once. A helper thread blocks in
  // flock on a duplicate of `fd` (the lock belongs to the open file, which
  // both share), so it is woken the moment the lock is free; when the time
  // runs out first, the helper releases the lock as soon as it gets it.
  struct Wait {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = -1;
    int error = 0;
  };
  int helper_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (helper_fd < 0) return -1;
  auto wait = std::make_shared<Wait>();
  std::thread([wait, helper_fd, operation] {
    int result = LockFd(helper_fd, operation);
    int error = errno;
    std::lock_guard<std::mutex> hold(wait->mutex);
    if (wait->abandoned) {
      if (result == 0) ::flock(helper_fd, LOCK_UN);
    } else {
      wait->result = result;
      wait->error = error;
      wait->finished = true;
      wait->done.notify_all();
    }
    ::close(helper_fd);
  }).detach();
  std::unique_lock<std::mutex> hold(wait->mutex);
  if (!wait->done.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return wait->finished; })) {
    wait->abandoned = true;
    errno = EWOULDBLOCK;
    return -1;
  }
  errno = wait->error;
  return wait->result;
}

namespace {

template <typename String>
Status ReadRange(int fd, const std::string& path, uint64_t offset,
                 uint64_t max_bytes, String* contents) {
  contents->clear();
  struct stat st;
  if (::fstat(fd, &st) != 0) return ErrnoStatus("can't examine " + path, errno);
  // One read of the size the file has; a file that grows meanwhile is read
  // on to its end (or to max_bytes).
  const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  uint64_t capacity = size > offset ? size - offset : 0;
  if (capacity < max_bytes) ++capacity;
  if (capacity > max_bytes) capacity = max_bytes;
  if (capacity > contents->max_size()) {
    return Status::IoError(path + " is too large");
  }
  contents->resize(static_cast<size_t>(capacity));
  size_t filled = 0;
  for (;;) {
    if (filled == contents->size()) {
      if (filled >= max_bytes) break;
      contents->resize(static_cast<size_t>(
          std::min<uint64_t>(uint64_t{filled} * 2 + 1, max_bytes)));
    }
    ssize_t n = ::pread(fd, &(*contents)[filled], contents->size() - filled,
                        static_cast<off_t>(offset + filled));
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      contents->clear();
      return ErrnoStatus("can't read " + path, err);
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  contents->resize(filled);
  return Status::Ok();
}

}  // namespace

Status ReadFd(int fd, const std::string& path, std::string* contents) {
  return ReadRange(fd, path, 0, std::numeric_limits<uint64_t>::max(), contents);
}

Status ReadFdRange(int fd, const std::string& path, uint64_t offset,
                   uint64_t max_bytes, LargeString* contents) {
  return ReadRange(fd, path, offset, max_bytes, contents);
}

Status ReadFile(const std::string& path, std::string* contents) {
  contents->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoStatus("can't open " + path, errno);
  Status s = ReadFd(fd, path, contents);
  ::close(fd);
  return s;
}

Status WriteFd(int fd, const char* data, size_t size, const std::string& path) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus("can't write " + path, errno);
    }
    if (n == 0) return Status::IoError("can't write " + path);
    data += n;
    size -= static_cast<size_t>(n);
  }
  return Status::Ok();
}

bool GiveTo(int fd, uint32_t uid, uint32_t gid, unsigned mode) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && (st.st_uid != uid || st.st_gid != gid)) {
    if (::fchown(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
      ::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid));
    }
  }
  return ::fchmod(fd, static_cast<mode_t>(mode & 07777)) == 0;
}

Status WriteNewFile(const std::string& path, const std::string& contents,
                    const FileOwnership& as) {
  // A file left by a crashed run may belong to someone else.
  ::unlink(path.c_str());
  // Created with no more permission than the caller's; the ids and the
  // exact mode follow before anything is written.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  static_cast<mode_t>(as.mode & 0777));
  if (fd < 0) return ErrnoStatus("can't create " + path, errno);
  Status s = GiveTo(fd, as.uid, as.gid, as.mode)
                 ? Status::Ok()
                 : ErrnoStatus("can't set the mode of " + path, errno);
  if (s.ok()) s = WriteFd(fd, contents.data(), contents.size(), path);
  if (s.ok() && ::fsync(fd) != 0) s = ErrnoStatus("can't flush " + path, errno);
  if (::close(fd) != 0 && s.ok()) s = ErrnoStatus("can't close " + path, errno);
  if (!s.ok()) ::unlink(path.c_str());
  return s;
}

Status DurableRename(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return ErrnoStatus("can't rename " + from + " to " + to, errno);
  }
  SyncFolder(FolderOf(to));
  return Status::Ok();
}

void SyncFolder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace posix_io
}  // namespace tavik
