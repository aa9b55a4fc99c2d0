// Where the registry store's hives are kept and how they are guarded: in
// memory (tests) or in files beside a lock file (POSIX).
#ifndef TAVIK_PLATFORM_REGSTORE_HIVE_STORAGE_H_
#define TAVIK_PLATFORM_REGSTORE_HIVE_STORAGE_H_

#include <memory>
#include <string>

#include "platform/regstore/hive.h"

namespace tavik {

class PosixFiles;

// Where a StoreRegistry's hives live and how they are guarded.
class HiveStorage {
 public:
  virtual ~HiveStorage() = default;

  // Takes the hive's lock, held until Unlock, and reads its text (a hive
  // that does not exist yet reads as the empty text). *writable tells
  // whether Save may be called. Waits at most `timeout_ms` for a lock that
  // another holds, then fails with kErrorTimeout. On failure nothing is
  // held.
  virtual long Lock(HiveId hive, uint32_t timeout_ms, std::string* text,
                    bool* writable) = 0;
  // Replaces the hive's text as a whole: afterwards the storage holds either
  // the old or the new text, never a mix. Only while locked and writable.
  virtual long Save(HiveId hive, const std::string& text) = 0;
  virtual void Unlock(HiveId hive) = 0;
  // Where the hive is kept, for messages: its file, or "" (in memory).
  virtual std::string Where(HiveId /*hive*/) const { return std::string(); }
  // Why the last Lock found the hive not writable, in words ("" when it
  // was, or when there is nothing more to say than that).
  virtual std::string WhyNotWritable(HiveId /*hive*/) const {
    return std::string();
  }
};

// Hives kept in memory: for tests, and to show the store's behaviour on any
// system. The texts and flags are public so that a test can set up a hive
// and look at what was saved.
class MemoryHiveStorage : public HiveStorage {
 public:
  std::string text[2];
  bool writable[2] = {true, true};
  int lock_count[2] = {0, 0};  // Lock calls not yet matched by Unlock
  int save_count[2] = {0, 0};

  long Lock(HiveId hive, uint32_t timeout_ms, std::string* text,
            bool* writable) override;
  long Save(HiveId hive, const std::string& text) override;
  void Unlock(HiveId hive) override;
};

// Hive files HKEY_LOCAL_MACHINE.reg in `machine_dir` and
// HKEY_CURRENT_USER.reg in `user_dir` (UTF-8 text as above), POSIX only.
// The lock is an flock on "<hive file>.lock" beside the file: exclusive
// when the process may write the folder, otherwise shared, and none when it
// can neither create nor open it (a reader then still sees whole files,
// since saves replace the file by rename). A missing folder is
// created (with the folders above it) when the process may. A hive may be
// written when its folder and its file (if there is one) are writable for the
// process. Saving writes
// "<hive file>.tmp", flushes it to disk and renames it over the hive file,
// keeping the old file's owner, group and permissions (a new hive file, its
// lock file and its folders are the process's, or for root those of the
// folder they are made in: see PosixFiles); a failed save leaves the old
// file as it was. Every file call goes through `files` (not owned, outliving
// the storage): the process's real ones (DefaultPosixFiles) or a test's.
std::unique_ptr<HiveStorage> NewFileHiveStorage(PosixFiles* files,
                                                std::string machine_dir,
                                                std::string user_dir);

// The folders of the hive files, from the environment variables passed in
// (null or empty: unset). TAVIK_REGISTRY_ROOT (`root`) holds both hives.
// Without it the machine hive is in /var/lib/tavik/registry and the user
// hive in `xdg_config_home`/tavik/registry, or `home`/.config/tavik/registry
// when XDG_CONFIG_HOME is unset or not absolute; with neither, *user_dir is
// empty and the user hive cannot be opened.
void HiveDirectories(const char* root, const char* xdg_config_home,
                     const char* home, std::string* machine_dir,
                     std::string* user_dir);

}  // namespace tavik

#endif  // TAVIK_PLATFORM_REGSTORE_HIVE_STORAGE_H_
