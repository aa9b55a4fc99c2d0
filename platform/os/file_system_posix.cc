#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/os/file_system.h"
#include "platform/os/posix_io.h"

namespace tavik {

using posix_io::ErrnoStatus;
using posix_io::FolderOf;
using posix_io::LockFd;
using posix_io::ReadFd;
using posix_io::SyncFolder;

namespace {

std::string ToNative(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

class PosixOpenFile : public OpenFileHandle {
 public:
  explicit PosixOpenFile(int fd) : fd_(fd) {}
  ~PosixOpenFile() override { ::close(fd_); }

 private:
  int fd_;
};

class PosixLockedFile : public LockedFile {
 public:
  PosixLockedFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixLockedFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  const std::string& path() const override { return path_; }
  int fd() const { return fd_; }
  // Takes over `fd` (locked); the old descriptor, and with it the old
  // file's lock, goes.
  void Swap(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
  std::string path_;
};

class PosixTempFile : public TempFile {
 public:
  PosixTempFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixTempFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  const std::string& path() const override { return path_; }
  int fd() const { return fd_; }
  // The file now lives on under another name and descriptor owner.
  int Consume() {
    consumed_ = true;
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  bool consumed() const { return consumed_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  std::string path_;
  bool consumed_ = false;
};

class PosixFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && ::stat(ToNative(path).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
  }

  bool DirectoryExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && ::stat(ToNative(path).c_str(), &st) == 0 &&
           S_ISDIR(st.st_mode);
  }

  Status ListDirectory(const std::string& path,
                       std::vector<DirEntry>* entries) override {
    entries->clear();
    std::string native = ToNative(path);
    DIR* dir = ::opendir(native.c_str());
    if (dir == nullptr) return ErrnoStatus("can't list " + path, errno);
    int dir_fd = ::dirfd(dir);
    while (struct dirent* ent = ::readdir(dir)) {
      DirEntry entry;
      entry.name = ent->d_name;
      // The entry's type comes with it on most file systems; only links
      // (followed, as Windows follows them) and unknown types cost a stat.
      if (ent->d_type == DT_REG || ent->d_type == DT_DIR) {
        entry.is_directory = ent->d_type == DT_DIR;
        entry.is_regular_file = ent->d_type == DT_REG;
      } else {
        struct stat st;
        if (::fstatat(dir_fd, ent->d_name, &st, 0) == 0) {
          entry.is_directory = S_ISDIR(st.st_mode);
          entry.is_regular_file = S_ISREG(st.st_mode);
        }
      }
      entries->push_back(std::move(entry));
    }
    ::closedir(dir);
    return Status::Ok();
  }

  uint32_t GetAttributes(const std::string& path) override {
    struct stat st;
    if (path.empty() || ::stat(ToNative(path).c_str(), &st) != 0) {
      return kInvalidFileAttributes;
    }
    uint32_t attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= kFileAttributeDirectory;
    if ((st.st_mode & S_IWUSR) == 0) attributes |= kFileAttributeReadOnly;
    return attributes == 0 ? kFileAttributeNormal : attributes;
  }

  Status SetAttributes(const std::string& path, uint32_t attributes) override {
    std::string native = ToNative(path);
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) {
      return ErrnoStatus("can't examine " + path, errno);
    }
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & kFileAttributeReadOnly) ? (mode & ~S_IWUSR)
                                                 : (mode | S_IWUSR);
    if (mode == (st.st_mode & 07777)) return Status::Ok();
    if (::chmod(native.c_str(), mode) != 0) {
      return ErrnoStatus("can't change the attributes of " + path, errno);
    }
    return Status::Ok();
  }

  std::unique_ptr<OpenFileHandle> OpenExistingNoShare(
      const std::string& path) override {
    int fd = ::open(ToNative(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixOpenFile>(fd);
  }

  Status LockForUpdate(const std::string& path,
                       std::unique_ptr<LockedFile>* file) override {
    file->reset();
    const std::string native = ToNative(path);
    for (;;) {
      int fd = ::open(native.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) return ErrnoStatus("can't open " + path, errno);
      struct stat held;
      if (::fstat(fd, &held) != 0) {
        int err = errno;
        ::close(fd);
        return ErrnoStatus("can't examine " + path, err);
      }
      if (!S_ISREG(held.st_mode)) {
        ::close(fd);
        return Status::InvalidArgument(path + " is not a regular file");
      }
      if (LockFd(fd, LOCK_EX) != 0) {
        int err = errno;
        ::close(fd);
        return ErrnoStatus("can't lock " + path, err);
      }
      // While we waited, a commit may have renamed a new file over the path;
      // our lock is then on the old file, which nobody will read again.
      struct stat named;
      if (::stat(native.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
          named.st_ino == held.st_ino) {
        *file = std::make_unique<PosixLockedFile>(fd, path);
        return Status::Ok();
      }
      ::close(fd);
    }
  }

  Status ReadLockedFile(LockedFile* file, std::string* contents) override {
    auto* locked = static_cast<PosixLockedFile*>(file);
    return ReadFd(locked->fd(), locked->path(), contents);
  }

  Status ReadWholeFile(const std::string& path,
                       std::string* contents) override {
    return posix_io::ReadFile(ToNative(path), contents);
  }

  Status CreateTempFile(const std::string& target,
                        std::unique_ptr<TempFile>* file) override {
    file->reset();
    static std::atomic<uint32_t> sequence{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[64];
      std::snprintf(suffix, sizeof(suffix), ".%ld-%x-%x.tmp",
                    static_cast<long>(::getpid()),
                    static_cast<unsigned>(now.count() & 0xFFFFFF),
                    static_cast<unsigned>(sequence.fetch_add(1)));
      std::string path = target + suffix;
      int fd = ::open(ToNative(path).c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return ErrnoStatus("can't create a temporary file for " + target,
                           errno);
      }
      // Nobody else knows the name yet, so this never waits.
      if (LockFd(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        ::unlink(ToNative(path).c_str());
        return ErrnoStatus("can't lock " + path, err);
      }
      *file = std::make_unique<PosixTempFile>(fd, path);
      return Status::Ok();
    }
    return Status::IoError("can't find a free temporary name for " + target);
  }

  Status AppendToFile(TempFile* file, const char* data, size_t size) override {
    auto* temp = static_cast<PosixTempFile*>(file);
    return posix_io::WriteFd(temp->fd(), data, size, temp->path());
  }

  Status FlushFile(TempFile* file) override {
    auto* temp = static_cast<PosixTempFile*>(file);
    if (::fsync(temp->fd()) != 0) {
      return ErrnoStatus("can't flush " + temp->path(), errno);
    }
    return Status::Ok();
  }

  Status ReplaceLockedFile(LockedFile* target, TempFile* replacement) override {
    auto* locked = static_cast<PosixLockedFile*>(target);
    auto* temp = static_cast<PosixTempFile*>(replacement);
    struct stat st;
    if (::fstat(locked->fd(), &st) == 0) {
      // Ownership cannot follow without privileges; permissions can.
      ::fchmod(temp->fd(), st.st_mode & 07777);
    }
    const std::string native = ToNative(locked->path());
    if (::rename(ToNative(temp->path()).c_str(), native.c_str()) != 0) {
      return ErrnoStatus("can't replace " + locked->path(), errno);
    }
    locked->Swap(temp->Consume());
    SyncFolder(FolderOf(native));
    return Status::Ok();
  }

  Status WriteLockedFileAt(LockedFile* file, uint64_t offset, const char* data,
                           size_t size) override {
    auto* locked = static_cast<PosixLockedFile*>(file);
    while (size > 0) {
      ssize_t n =
          ::pwrite(locked->fd(), data, size, static_cast<off_t>(offset));
      if (n < 0) {
        if (errno == EINTR) continue;
        return ErrnoStatus("can't write " + locked->path(), errno);
      }
      data += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return Status::Ok();
  }

  Status FlushLockedFile(LockedFile* file) override {
    auto* locked = static_cast<PosixLockedFile*>(file);
    if (::fdatasync(locked->fd()) != 0) {
      return ErrnoStatus("can't flush " + locked->path(), errno);
    }
    return Status::Ok();
  }

  Status InstallNewFile(TempFile* replacement, const std::string& target,
                        bool overwrite,
                        std::unique_ptr<LockedFile>* locked) override {
    auto* temp = static_cast<PosixTempFile*>(replacement);
    const std::string from = ToNative(temp->path());
    const std::string to = ToNative(target);
    if (overwrite) {
      if (::rename(from.c_str(), to.c_str()) != 0) {
        return ErrnoStatus("can't create " + target, errno);
      }
    } else {
      // A hard link is the portable rename that never replaces. File
      // systems without links get a check then a rename, which leaves a
      // moment for a file to appear in between.
      if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
      } else if (errno == EEXIST) {
        return Status::IoError(target + " already exists");
      } else if (errno == EPERM || errno == ENOTSUP || errno == EOPNOTSUPP ||
                 errno == ENOSYS) {
        struct stat st;
        if (::lstat(to.c_str(), &st) == 0) {
          return Status::IoError(target + " already exists");
        }
        if (::rename(from.c_str(), to.c_str()) != 0) {
          return ErrnoStatus("can't create " + target, errno);
        }
      } else {
        return ErrnoStatus("can't create " + target, errno);
      }
    }
    *locked = std::make_unique<PosixLockedFile>(temp->Consume(), target);
    SyncFolder(FolderOf(to));
    return Status::Ok();
  }

  Status DeleteTempFile(TempFile* file) override {
    auto* temp = static_cast<PosixTempFile*>(file);
    if (temp->consumed()) return Status::Ok();
    temp->Close();
    if (::unlink(ToNative(temp->path()).c_str()) != 0) {
      return ErrnoStatus("can't delete " + temp->path(), errno);
    }
    return Status::Ok();
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static PosixFileSystem* fs = new PosixFileSystem;
  return fs;
}

}  // namespace tavik
