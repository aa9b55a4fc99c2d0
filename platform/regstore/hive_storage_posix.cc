#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <cstdio>

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

// "user 1000 (name), group 1000 (name), mode 0644".
std::string Describe(const FileOwnership& owner) {
  auto named = [](const char* kind, uint32_t id, const char* name) {
    std::string text = std::string(kind) + " " + std::to_string(id);
    return name != nullptr ? text + " (" + name + ")" : text;
  };
  char buffer[4096];
  struct passwd user;
  struct passwd* user_found = nullptr;
  ::getpwuid_r(owner.uid, &user, buffer, sizeof(buffer), &user_found);
  std::string text =
      named("user", owner.uid, user_found ? user_found->pw_name : nullptr);
  struct group group;
  struct group* group_found = nullptr;
  ::getgrgid_r(owner.gid, &group, buffer, sizeof(buffer), &group_found);
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", owner.mode);
  return text + ", " +
         named("group", owner.gid,
               group_found ? group_found->gr_name : nullptr) +
         ", mode " + mode;
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
    std::string& why = why_not_writable_[index];
    why.clear();
    Result<std::unique_ptr<HeldLockFile>> held =
        files_->OpenLockFile(lock, true);
    if (!held.ok()) {
      exclusive = false;
      why = "its lock file cannot be opened for writing: " +
            held.status().message();
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
    Result<FileOwnership> owner = files_->Ownership(file);
    if (exclusive && !files_->MayWrite(dir)) {
      why = "the folder " + dir + " may not be written";
    } else if (exclusive && owner.ok() && !files_->MayWrite(file)) {
      why = "the file belongs to " + Describe(*owner);
    }
    *writable = why.empty();
    if (held.ok()) locks_[index] = std::move(*held);
    return kErrorSuccess;
  }

  long Save(HiveId hive, const std::string& text) override {
    std::string file = FilePath(hive);
    std::string temp = file + ".tmp";
    // Whoever writes it, a hive keeps its owner: root's change to a user's
    // hive must not take the file away from the user's next run.
    Result<FileOwnership> owner = files_->Ownership(file);
    Status s = files_->WriteNewFile(
        temp, text, owner.ok() ? *owner : files_->OwnershipOfNew(file));
    if (s.ok()) {
      s = files_->Rename(temp, file);
      if (!s.ok()) files_->Remove(temp);
    }
    return ErrorOf(s);
  }

  void Unlock(HiveId hive) override {
    locks_[static_cast<int>(hive)].reset();  // releases the lock
  }

  std::string WhyNotWritable(HiveId hive) const override {
    return why_not_writable_[static_cast<int>(hive)];
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
  std::string why_not_writable_[2];
};

}  // namespace

std::unique_ptr<HiveStorage> NewFileHiveStorage(PosixFiles* files,
                                                std::string machine_dir,
                                                std::string user_dir) {
  return std::make_unique<FileHiveStorage>(files, std::move(machine_dir),
                                           std::move(user_dir));
}

}  // namespace tavik
