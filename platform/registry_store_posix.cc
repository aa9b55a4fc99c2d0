#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/registry_store.h"

namespace tavik {

namespace {

long ErrnoToError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    default:
      return kErrorRegistryIoFailed;
  }
}

// Creates `dir` and the folders above it that are missing. Failing is not
// an error here: a reader gets by without the folder.
void MakeFolders(const std::string& dir) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    std::string part = dir.substr(0, slash);
    if (!part.empty()) ::mkdir(part.c_str(), 0755);
    if (slash == std::string::npos) break;
  }
}

bool MayWrite(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

long ReadAll(const std::string& path, std::string* text) {
  text->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? kErrorSuccess : ErrnoToError(errno);
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      return ErrnoToError(err);
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return kErrorSuccess;
}

class FileHiveStorage : public HiveStorage {
 public:
  FileHiveStorage(std::string machine_dir, std::string user_dir)
      : dirs_{std::move(machine_dir), std::move(user_dir)} {}

  ~FileHiveStorage() override {
    for (int fd : lock_fds_) {
      if (fd >= 0) ::close(fd);
    }
  }

  long Lock(HiveId hive, std::string* text, bool* writable) override {
    int index = static_cast<int>(hive);
    const std::string& dir = dirs_[index];
    *writable = false;
    if (dir.empty()) return kErrorFileNotFound;
    MakeFolders(dir);
    std::string file = FilePath(hive);
    std::string lock = file + ".lock";
    bool exclusive = true;
    int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      exclusive = false;
      fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (fd >= 0) {
      while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
          ::close(fd);
          return kErrorRegistryIoFailed;
        }
      }
    }
    long status = ReadAll(file, text);
    if (status != kErrorSuccess) {
      if (fd >= 0) ::close(fd);
      return status;
    }
    struct stat st;
    bool file_exists = ::stat(file.c_str(), &st) == 0;
    *writable = exclusive && MayWrite(dir) && (!file_exists || MayWrite(file));
    lock_fds_[index] = fd;
    return kErrorSuccess;
  }

  long Save(HiveId hive, const std::string& text) override {
    int index = static_cast<int>(hive);
    std::string file = FilePath(hive);
    std::string temp = file + ".tmp";
    mode_t mode = 0644;
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;
    // A temporary file left by a crashed run may belong to someone else.
    ::unlink(temp.c_str());
    int fd =
        ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return ErrnoToError(errno);
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0) {
      ok = false;
      err = errno;
    }
    if (!ok) {
      ::unlink(temp.c_str());
      return ErrnoToError(err);
    }
    // The rename itself must survive a crash too.
    int dir_fd =
        ::open(dirs_[index].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
      ::fsync(dir_fd);
      ::close(dir_fd);
    }
    return kErrorSuccess;
  }

  void Unlock(HiveId hive) override {
    int& fd = lock_fds_[static_cast<int>(hive)];
    if (fd >= 0) ::close(fd);  // releases the flock
    fd = -1;
  }

 private:
  std::string FilePath(HiveId hive) const {
    return dirs_[static_cast<int>(hive)] + "/" + HiveName(hive) + ".reg";
  }

  std::string dirs_[2];
  int lock_fds_[2] = {-1, -1};
};

}  // namespace

std::unique_ptr<HiveStorage> NewFileHiveStorage(std::string machine_dir,
                                                std::string user_dir) {
  return std::make_unique<FileHiveStorage>(std::move(machine_dir),
                                           std::move(user_dir));
}

}  // namespace tavik
