#include <cerrno>

#include "platform/os/posix_files.h"
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

class FileHiveStorage : public HiveStorage {
 public:
  FileHiveStorage(PosixFiles* files, std::string machine_dir,
                  std::string user_dir)
      : files_(files), dirs_{std::move(machine_dir), std::move(user_dir)} {}

  long Lock(HiveId hive, uint32_t timeout_ms, std::string* text,
            bool* writable) override {
    int index = static_cast<int>(hive);
    const std::string& dir = dirs_[index];
    *writable = false;
    if (dir.empty()) return kErrorFileNotFound;
    // Failing to make the folder is not an error: a reader gets by without.
    files_->MakeFolders(dir);
    std::string file = FilePath(hive);
    std::string lock = file + ".lock";
    // Exclusive when the lock file can be written, shared when it can only
    // be read, and none when it cannot be opened at all (a reader still
    // sees whole files, since saves replace the file by rename).
    bool exclusive = true;
    Result<std::unique_ptr<HeldLockFile>> held =
        files_->OpenLockFile(lock, true);
    if (!held.ok()) {
      exclusive = false;
      held = files_->OpenLockFile(lock, false);
    }
    if (held.ok()) {
      Status locked = files_->Lock(held->get(), timeout_ms);
      if (!locked.ok()) {
        return locked.os_error() == EWOULDBLOCK ? kErrorTimeout
                                                : kErrorRegistryIoFailed;
      }
    }
    Result<std::string> read = files_->ReadFile(file);
    if (read.ok()) {
      *text = std::move(*read);
    } else if (read.status().os_error() == ENOENT) {
      text->clear();  // a hive file that does not exist yet: the empty hive
    } else {
      return ErrorOf(read.status());
    }
    bool file_exists = files_->Mode(file).ok();
    *writable = exclusive && files_->MayWrite(dir) &&
                (!file_exists || files_->MayWrite(file));
    if (held.ok()) locks_[index] = std::move(*held);
    return kErrorSuccess;
  }

  long Save(HiveId hive, const std::string& text) override {
    std::string file = FilePath(hive);
    std::string temp = file + ".tmp";
    Result<unsigned> mode = files_->Mode(file);
    Status s = files_->WriteNewFile(temp, text, mode.value_or(0644));
    if (s.ok()) {
      s = files_->Rename(temp, file);
      if (!s.ok()) files_->Remove(temp);
    }
    return ErrorOf(s);
  }

  void Unlock(HiveId hive) override {
    locks_[static_cast<int>(hive)].reset();  // releases the lock
  }

  std::string Where(HiveId hive) const override {
    return dirs_[static_cast<int>(hive)].empty() ? std::string()
                                                 : FilePath(hive);
  }

 private:
  std::string FilePath(HiveId hive) const {
    return dirs_[static_cast<int>(hive)] + "/" + HiveName(hive) + ".reg";
  }

  PosixFiles* files_;
  std::string dirs_[2];
  std::unique_ptr<HeldLockFile> locks_[2];
};

}  // namespace

std::unique_ptr<HiveStorage> NewFileHiveStorage(PosixFiles* files,
                                                std::string machine_dir,
                                                std::string user_dir) {
  return std::make_unique<FileHiveStorage>(files, std::move(machine_dir),
                                           std::move(user_dir));
}

}  // namespace tavik
