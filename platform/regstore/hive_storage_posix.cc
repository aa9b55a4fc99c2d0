#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/os/posix_io.h"
#include "platform/regstore/hive_storage.h"

namespace tavik {

namespace {

long ErrorOf(const Status& status) {
  switch (status.code()) {
    case Status::Code::kOk:
      return kErrorSuccess;
    case Status::Code::kNotFound:
      return kErrorFileNotFound;
    case Status::Code::kAccessDenied:
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

// A hive file that does not exist yet reads as the empty text.
long ReadHiveFile(const std::string& path, std::string* text) {
  Status s = posix_io::ReadFile(path, text);
  if (s.code() == Status::Code::kNotFound && errno == ENOENT) return 0;
  return ErrorOf(s);
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

  long Lock(HiveId hive, uint32_t timeout_ms, std::string* text,
            bool* writable) override {
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
    if (fd >= 0 && posix_io::LockFdWithin(fd, exclusive ? LOCK_EX : LOCK_SH,
                                          timeout_ms) != 0) {
      bool timed_out = errno == EWOULDBLOCK;
      ::close(fd);
      return timed_out ? kErrorTimeout : kErrorRegistryIoFailed;
    }
    long status = ReadHiveFile(file, text);
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
    std::string file = FilePath(hive);
    std::string temp = file + ".tmp";
    unsigned mode = 0644;
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) mode = st.st_mode & 07777;
    Status s = posix_io::WriteNewFile(temp, text, mode);
    if (s.ok()) {
      s = posix_io::DurableRename(temp, file);
      if (!s.ok()) ::unlink(temp.c_str());
    }
    return ErrorOf(s);
  }

  void Unlock(HiveId hive) override {
    int& fd = lock_fds_[static_cast<int>(hive)];
    if (fd >= 0) ::close(fd);  // releases the flock
    fd = -1;
  }

  std::string Where(HiveId hive) const override {
    return dirs_[static_cast<int>(hive)].empty() ? std::string()
                                                 : FilePath(hive);
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
