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

// What root makes in a folder is given the folder's owner and group (see
// posix_files.h); `fd` is the new file or folder.
void GiveToFolderOwner(int fd, const std::string& path) {
  if (::geteuid() != 0) return;
  struct stat folder;
  struct stat own;
  if (::stat(posix_io::FolderOf(path).c_str(), &folder) != 0 ||
      ::fstat(fd, &own) != 0) {
    return;
  }
  posix_io::GiveTo(fd, folder.st_uid, folder.st_gid, own.st_mode);
}

class RealPosixFiles : public PosixFiles {
 public:
  void MakeFolders(const std::string& dir) override {
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
      std::string part = dir.substr(0, slash);
      if (!part.empty() && ::mkdir(part.c_str(), 0755) == 0) {
        int fd = ::open(part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
          GiveToFolderOwner(fd, part);
          ::close(fd);
        }
      }
      if (slash == std::string::npos) break;
    }
  }

  bool MayWrite(const std::string& path) override {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  }

  Result<FileOwnership> Ownership(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      return posix_io::ErrnoStatus("can't examine " + path, errno);
    }
    FileOwnership ownership;
    ownership.uid = st.st_uid;
    ownership.gid = st.st_gid;
    ownership.mode = static_cast<unsigned>(st.st_mode & 07777);
    return ownership;
  }

  FileOwnership OwnershipOfNew(const std::string& path) override {
    FileOwnership ownership;
    ownership.uid = ::geteuid();
    ownership.gid = ::getegid();
    struct stat folder;
    if (ownership.uid == 0 &&
        ::stat(posix_io::FolderOf(path).c_str(), &folder) == 0) {
      ownership.uid = folder.st_uid;
      ownership.gid = folder.st_gid;
    }
    return ownership;
  }

  Result<std::unique_ptr<HeldLockFile>> OpenLockFile(const std::string& path,
                                                     bool exclusive) override {
    int fd = -1;
    if (exclusive) {
      fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (fd >= 0) {
        GiveToFolderOwner(fd, path);
      } else if (errno == EEXIST) {
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      }
    } else {
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
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
                      const FileOwnership& as) override {
    return posix_io::WriteNewFile(path, contents, as);
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
