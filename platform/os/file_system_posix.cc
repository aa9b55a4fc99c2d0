#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

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

// The file that `native` names once symbolic links in its last component
// are followed, so that a replace renames over the library itself and
// leaves the link a link. A dangling link gives the path it points to; a
// loop gives up after as many steps as the system itself would take.
std::string FollowLinks(const std::string& native) {
  std::string path = native;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string link(static_cast<size_t>(st.st_size) + 256, '\0');
    ssize_t n = ::readlink(path.c_str(), &link[0], link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) break;
    link.resize(static_cast<size_t>(n));
    if (link[0] == '/') {
      path = link;
    } else {
      std::string folder = FolderOf(path);
      path = (folder == "/" ? "" : folder) + "/" + link;
    }
  }
  return path;
}

// flock(LOCK_EX) on `fd`, given up at `deadline`. flock cannot time out,
// so it is polled, at growing intervals up to 50 ms.
Status WaitForLock(int fd, const std::string& path,
                   std::chrono::steady_clock::time_point deadline,
                   std::chrono::milliseconds wait_limit) {
  std::chrono::milliseconds pause(1);
  for (;;) {
    if (LockFd(fd, LOCK_EX | LOCK_NB) == 0) return Status::Ok();
    if (errno != EWOULDBLOCK) return ErrnoStatus("can't lock " + path, errno);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return Status::IoError(path +
                             " is locked by another run; gave up after " +
                             std::to_string(wait_limit.count()) + " ms");
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
}

// True for the name of a temporary file that CreateTempFile makes for the
// file `base`: "<base>.<pid>-<hex>-<hex>.tmp".
bool IsTempNameOf(const std::string& name, const std::string& base) {
  if (name.size() <= base.size() + 1 || name.compare(0, base.size(), base) ||
      name[base.size()] != '.') {
    return false;
  }
  const std::string rest = name.substr(base.size() + 1);
  if (rest.size() < 4 || rest.compare(rest.size() - 4, 4, ".tmp")) {
    return false;
  }
  int parts = 1;
  size_t run = 0;
  for (size_t i = 0; i < rest.size() - 4; ++i) {
    char c = rest[i];
    if (c == '-') {
      if (run == 0) return false;
      ++parts;
      run = 0;
    } else if (std::isxdigit(static_cast<unsigned char>(c))) {
      ++run;
    } else {
      return false;
    }
  }
  return parts == 3 && run > 0;
}

// Removes the temporary files of `native` (links followed) that no live
// run owns. A writer holds its temporary file's flock from the moment it
// makes it until the file is renamed or deleted, so a temporary file whose
// lock can be had is one that a killed run left behind.
void RemoveDeadTempFiles(const std::string& native) {
  const std::string folder = FolderOf(native);
  const size_t slash = native.rfind('/');
  const std::string base =
      slash == std::string::npos ? native : native.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const int dir_fd = ::dirfd(dir);
  bool removed = false;
  while (struct dirent* ent = ::readdir(dir)) {
    if (!IsTempNameOf(ent->d_name, base)) continue;
    int fd = ::openat(dir_fd, ent->d_name,
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    if (LockFd(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
        S_ISREG(held.st_mode) &&
        ::fstatat(dir_fd, ent->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
      removed |= ::unlinkat(dir_fd, ent->d_name, 0) == 0;
    }
    ::close(fd);
  }
  ::closedir(dir);
  if (removed) SyncFolder(folder);
}

// Gives the file open at `fd` the owner, group and permission bits of
// `like`, the mode exactly (umask plays no part), as far as privileges
// allow (posix_io::GiveTo).
void MatchOwnerAndMode(int fd, const struct stat& like) {
  posix_io::GiveTo(fd, like.st_uid, like.st_gid, like.st_mode);
}

class PosixOpenFile : public OpenFileHandle {
 public:
  explicit PosixOpenFile(int fd) : fd_(fd) {}
  ~PosixOpenFile() override { ::close(fd_); }

 private:
  int fd_;
};

class PosixInputFile : public InputFile {
 public:
  PosixInputFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixInputFile() override { ::close(fd_); }
  Result<size_t> Read(char* buffer, size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return ErrnoStatus("can't read " + path_, errno);
    }
  }
  Result<LargeString> ReadAt(uint64_t offset, uint64_t max_bytes) override {
    LargeString contents;
    Status s = posix_io::ReadFdRange(fd_, path_, offset, max_bytes, &contents);
    if (!s.ok()) return s;
    return contents;
  }

 private:
  int fd_;
  std::string path_;
};

class PosixLockedFile : public LockedFile {
 public:
  // `native`: the file itself, links followed.
  PosixLockedFile(int fd, std::string path, std::string native)
      : fd_(fd), path_(std::move(path)), native_(std::move(native)) {}
  ~PosixLockedFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  const std::string& path() const override { return path_; }
  const std::string& native() const { return native_; }
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
  std::string native_;
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

  Result<DirListing> ListDirectory(const std::string& path) override {
    DirListing entries;
    Status s = VisitDirectory(
        path, [&entries](const DirEntry& entry) { entries.push_back(entry); });
    if (!s.ok()) return s;
    return entries;
  }

  Status VisitDirectory(
      const std::string& path,
      const std::function<void(const DirEntry&)>& visit) override {
    std::string native = ToNative(path);
    DIR* dir = ::opendir(native.c_str());
    if (dir == nullptr) return ErrnoStatus("can't list " + path, errno);
    int dir_fd = ::dirfd(dir);
    DirEntry entry;
    // readdir tells the end and a failure apart only by errno; a listing
    // cut short must fail, as callers take a listing for the whole folder.
    for (errno = 0; struct dirent* ent = ::readdir(dir); errno = 0) {
      entry.name = ent->d_name;
      // The entry's type comes with it on most file systems; only links
      // (followed, as Windows follows them) and unknown types cost a stat.
      if (ent->d_type == DT_REG || ent->d_type == DT_DIR) {
        entry.is_directory = ent->d_type == DT_DIR;
        entry.is_regular_file = ent->d_type == DT_REG;
      } else {
        struct stat st;
        entry.is_directory = entry.is_regular_file = false;
        if (::fstatat(dir_fd, ent->d_name, &st, 0) == 0) {
          entry.is_directory = S_ISDIR(st.st_mode);
          entry.is_regular_file = S_ISREG(st.st_mode);
        }
      }
      // The visitor may call back into the file system; errno is ours.
      const int saved = errno;
      visit(entry);
      errno = saved;
    }
    int error = errno;
    ::closedir(dir);
    if (error != 0) return ErrnoStatus("can't list " + path, error);
    return Status::Ok();
  }

  bool ListsConcurrently() override { return true; }

  bool ListingIsExact(const std::string& path) override {
    // Only file systems known to compare names byte for byte; of those,
    // ext4, f2fs and tmpfs can fold letter case in a folder marked so.
    constexpr long kExt4 = 0xEF53, kXfs = 0x58465342, kBtrfs = 0x9123683E,
                   kTmpfs = 0x01021994, kF2fs = 0xF2F52010;
    std::string native = ToNative(path);
    struct statfs fs;
    if (path.empty() || ::statfs(native.c_str(), &fs) != 0) return false;
    long type = static_cast<long>(fs.f_type);
    if (type == kXfs || type == kBtrfs) return true;
    if (type != kExt4 && type != kTmpfs && type != kF2fs) return false;
    int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool known = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    return known && (flags & FS_CASEFOLD_FL) == 0;
  }

  Result<uint32_t> GetAttributes(const std::string& path) override {
    if (path.empty()) return Status::NotFound("can't examine an empty path");
    struct stat st;
    if (::stat(ToNative(path).c_str(), &st) != 0) {
      return ErrnoStatus("can't examine " + path, errno);
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

  Result<std::unique_ptr<OpenFileHandle>> OpenExistingNoShare(
      const std::string& path) override {
    int fd = ::open(ToNative(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus("can't open " + path, errno);
    return std::unique_ptr<OpenFileHandle>(new PosixOpenFile(fd));
  }

  Result<std::unique_ptr<LockedFile>> LockForUpdate(
      const std::string& path, std::chrono::milliseconds wait_limit) override {
    const auto deadline = std::chrono::steady_clock::now() + wait_limit;
    for (;;) {
      // Again on every round: a link may have been pointed elsewhere.
      const std::string native = FollowLinks(ToNative(path));
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
      Status locked = WaitForLock(fd, path, deadline, wait_limit);
      if (!locked.ok()) {
        ::close(fd);
        return locked;
      }
      // While we waited, a commit may have renamed a new file over the path;
      // our lock is then on the old file, which nobody will read again.
      struct stat named;
      if (::stat(native.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
          named.st_ino == held.st_ino) {
        RemoveDeadTempFiles(native);
        return std::unique_ptr<LockedFile>(
            new PosixLockedFile(fd, path, native));
      }
      ::close(fd);
    }
  }

  Result<std::string> ReadLockedFile(LockedFile* file) override {
    auto* locked = static_cast<PosixLockedFile*>(file);
    std::string contents;
    Status s = ReadFd(locked->fd(), locked->path(), &contents);
    if (!s.ok()) return s;
    return contents;
  }

  Result<LargeString> ReadLockedFileRange(LockedFile* file, uint64_t offset,
                                          uint64_t max_bytes) override {
    auto* locked = static_cast<PosixLockedFile*>(file);
    LargeString contents;
    Status s = posix_io::ReadFdRange(locked->fd(), locked->path(), offset,
                                     max_bytes, &contents);
    if (!s.ok()) return s;
    return contents;
  }

  Result<std::string> ReadWholeFile(const std::string& path) override {
    std::string contents;
    Status s = posix_io::ReadFile(ToNative(path), &contents);
    if (!s.ok()) return s;
    return contents;
  }

  Result<std::unique_ptr<InputFile>> OpenForReading(
      const std::string& path) override {
    int fd = ::open(ToNative(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus("can't open " + path, errno);
    return std::unique_ptr<InputFile>(new PosixInputFile(fd, path));
  }

  Result<std::unique_ptr<TempFile>> CreateTempFile(
      const std::string& target) override {
    // The copy is never more readable than the library, not even for the
    // moment between its creation and the rename.
    // Beside the file a link names: a rename cannot cross file systems.
    const std::string native = FollowLinks(ToNative(target));
    struct stat library;
    const bool replacing = ::stat(native.c_str(), &library) == 0;
    const mode_t create_mode = replacing ? (library.st_mode & 0777) : 0666;
    static std::atomic<uint32_t> sequence{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[64];
      std::snprintf(suffix, sizeof(suffix), ".%ld-%x-%x.tmp",
                    static_cast<long>(::getpid()),
                    static_cast<unsigned>(now.count() & 0xFFFFFF),
                    static_cast<unsigned>(sequence.fetch_add(1)));
      std::string path = native + suffix;
      int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                      create_mode);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return ErrnoStatus("can't create a temporary file for " + target,
                           errno);
      }
      // Nobody else knows the name yet, so this never waits; but a run
      // removing dead temporary files may have taken the file for one
      // (locked and removed it between our open and our lock).
      if (LockFd(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) continue;
        ::unlink(path.c_str());
        return ErrnoStatus("can't lock " + path, err);
      }
      struct stat held, named;
      if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 ||
          held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        ::close(fd);
        continue;
      }
      if (replacing) MatchOwnerAndMode(fd, library);
      return std::unique_ptr<TempFile>(new PosixTempFile(fd, path));
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
      // Again, in case the library changed since the temporary was made.
      MatchOwnerAndMode(temp->fd(), st);
    }
    const std::string& native = locked->native();
    if (::rename(temp->path().c_str(), native.c_str()) != 0) {
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

  Result<std::unique_ptr<LockedFile>> InstallNewFile(TempFile* replacement,
                                                     const std::string& target,
                                                     bool overwrite) override {
    auto* temp = static_cast<PosixTempFile*>(replacement);
    const std::string& from = temp->path();
    const std::string to = FollowLinks(ToNative(target));
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
    std::unique_ptr<LockedFile> locked(
        new PosixLockedFile(temp->Consume(), target, to));
    SyncFolder(FolderOf(to));
    return locked;
  }

  Status DeleteTempFile(TempFile* file) override {
    auto* temp = static_cast<PosixTempFile*>(file);
    if (temp->consumed()) return Status::Ok();
    // Removed while still locked, so no other run takes it for a dead one.
    int err = ::unlink(temp->path().c_str()) == 0 ? 0 : errno;
    temp->Close();
    if (err != 0) return ErrnoStatus("can't delete " + temp->path(), err);
    return Status::Ok();
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static PosixFileSystem* fs = new PosixFileSystem;
  return fs;
}

}  // namespace tavik
