#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/posix_files.h"
#include "platform/os/posix_io.h"

namespace tavik {

namespace {

class PosixLockFile : public HeldLockFile {
 public:
  PosixLockFile(int fd, bool exclusive, std::string path)
      : fd_(fd), exclusive_(exclusive), path_(std::move(path)) {}
  ~PosixLockFile() override { ::close(fd_); }
  int fd() const { return fd_; }
  bool exclusive() const { return exclusive_; }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  bool exclusive_;
  std::string path_;
};

class RealPosixFiles : public PosixFiles {
 public:
  void MakeFolders(const std::string& dir) override {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
      std::string part = dir.substr(0, slash);
      if (!part.empty()) ::mkdir(part.c_str(), 0755);
      if (slash == std::string::npos) break;
    }
  }

  bool MayWrite(const std::string& path) override {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  }

  Result<unsigned> Mode(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      return posix_io::ErrnoStatus("can't examine " + path, errno);
    }
    return static_cast<unsigned>(st.st_mode & 07777);
  }

  Result<std::unique_ptr<HeldLockFile>> OpenLockFile(const std::string& path,
                                                     bool exclusive) override {
    int fd = exclusive
                 ? ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return posix_io::ErrnoStatus("can't open " + path, errno);
    return std::unique_ptr<HeldLockFile>(
        new PosixLockFile(fd, exclusive, path));
  }

  Status Lock(HeldLockFile* file, uint32_t timeout_ms) override {
    auto* lock = static_cast<PosixLockFile*>(file);
    if (posix_io::LockFdWithin(lock->fd(),
                               lock->exclusive() ? LOCK_EX : LOCK_SH,
                               timeout_ms) != 0) {
      return posix_io::ErrnoStatus("can't lock " + lock->path(), errno);
    }
    return Status::Ok();
  }

  Result<std::string> ReadFile(const std::string& path) override {
    std::string contents;
    Status s = posix_io::ReadFile(path, &contents);
    if (!s.ok()) return s;
    return contents;
  }

  Status WriteNewFile(const std::string& path, const std::string& contents,
                      unsigned mode) override {
    return posix_io::WriteNewFile(path, contents, mode);
  }

  Status Rename(const std::string& from, const std::string& to) override {
    return posix_io::DurableRename(from, to);
  }

  Status Remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) {
      return posix_io::ErrnoStatus("can't remove " + path, errno);
    }
    return Status::Ok();
  }
};

}  // namespace

PosixFiles* DefaultPosixFiles() {
  static PosixFiles* files = new RealPosixFiles;
  return files;
}

}  // namespace tavik
