#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_system.h"

namespace tavik {

namespace {

std::string ToNative(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  return native;
}

Status ErrnoStatus(const std::string& what, int err) {
  std::string message = what + ": " + std::strerror(err);
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return Status::NotFound(message);
    case EACCES:
    case EPERM:
    case EROFS:
      return Status::AccessDenied(message);
    default:
      return Status::IoError(message);
  }
}

class PosixOpenFile : public OpenFileHandle {
 public:
  explicit PosixOpenFile(int fd) : fd_(fd) {}
  ~PosixOpenFile() override { ::close(fd_); }

 private:
  int fd_;
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
      struct stat st;
      if (::fstatat(dir_fd, ent->d_name, &st, 0) == 0) {
        entry.is_directory = S_ISDIR(st.st_mode);
        entry.is_regular_file = S_ISREG(st.st_mode);
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
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static PosixFileSystem* fs = new PosixFileSystem;
  return fs;
}

}  // namespace tavik
