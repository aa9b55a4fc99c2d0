// The registry store: the registry of a system that has none, behind the
// Windows-shaped Registry interface. It behaves as the registry of 64-bit
// Windows 7 and later does for the calls the tool makes:
//  - Two hives, HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, each a tree of
//    keys with values. Key and value names compare without regard to the
//    letter case of ASCII letters and keep the case they were created with.
//  - Two views. In the 32-bit view a path below HKEY_LOCAL_MACHINE\SOFTWARE
//    lands under HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node (a path naming
//    WOW6432Node itself is not redirected again); HKEY_CURRENT_USER\Software
//    is shared by both views. A call without a view flag uses the view of
//    the process (`native64`).
//  - Creating a key creates the missing keys above it. Deleting a key that
//    has subkeys fails with kErrorAccessDenied; a deleted key takes its
//    values with it, and handles still open on it report kErrorKeyDeleted.
//  - A hive the process may not write refuses any call that asks for write
//    access (set-value, create-subkey or delete rights, a creation, a
//    deletion) with kErrorAccessDenied, as Windows does for a user who is
//    not an administrator.
//  - Key paths are "\"-separated; one trailing "\" is allowed. A leading
//    "\" or an empty name inside is kErrorBadPathname; a key name holding a
//    control character or bytes that are not UTF-8 is kErrorInvalidParameter
//    (a section header could not show it). Value names and texts may hold
//    any bytes.
//  - Only string values (REG_SZ) are written by the store's callers; values
//    of other types found in a hive are kept unchanged and read as
//    kErrorInvalidData by QueryString.
//
// Each hive is kept as text in the format of a registry export (see
// SerializeHive) by a HiveStorage. A hive's text is read when the first key
// of that hive is opened (which takes the storage's lock), every change is
// saved at once, and the lock is released when the last key of the hive is
// closed, so a caller that keeps one key open from connecting to closing has
// the hive to itself for that time. A call on a hive key (HKEY_...) with no
// key open takes and releases the lock around itself. LockList takes the
// hive the same way and keeps it until the ListLock is destroyed, whatever
// keys are opened and closed meanwhile. Every wait for the storage's lock
// is bounded: kListLockTimeoutMs, or the time given to LockList.
#ifndef TAVIK_PLATFORM_REGSTORE_STORE_REGISTRY_H_
#define TAVIK_PLATFORM_REGSTORE_STORE_REGISTRY_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/registry.h"
#include "platform/regstore/hive.h"
#include "platform/regstore/hive_storage.h"

namespace tavik {

// The Registry over a HiveStorage. `native64`: the process's own view is
// the 64-bit view. For one thread at a time, as the tool is; handles are
// valid in this object only.
class StoreRegistry : public Registry {
 public:
  explicit StoreRegistry(std::unique_ptr<HiveStorage> storage,
                         bool native64 = sizeof(void*) == 8);
  ~StoreRegistry() override;

  long CreateKey(RegKey parent, const std::string& subkey, uint32_t access,
                 RegKey* result) override;
  long OpenKey(RegKey parent, const std::string& subkey, uint32_t access,
               RegKey* result) override;
  long QueryString(RegKey key, const std::string& name,
                   std::string* text) override;
  long SetString(RegKey key, const std::string& name,
                 const std::string& text) override;
  long CloseKey(RegKey key) override;
  KeyDeletion ProbeKeyDeletion() override { return KeyDeletion::kViewAware; }
  long DeleteKeyInView(RegKey hive, const std::string& subkey,
                       uint32_t viewFlag) override;
  long DeleteKeyInDefaultView(RegKey hive, const std::string& subkey) override;
  long OpenKeyAnsi(RegKey parent, const std::string& subkey, uint32_t access,
                   RegKey* result) override;
  long OpenKeyAnsiDefault(RegKey parent, const std::string& subkey,
                          RegKey* result) override;
  long CountSubKeys(RegKey key, uint32_t* count) override;
  // The ListLock must be destroyed before this registry.
  long LockList(RegKey hive, uint32_t timeout_ms,
                std::unique_ptr<ListLock>* lock) override;
  // The hive file and line that cannot be parsed, the hive file that cannot
  // be read or locked, or the hive the user may not write.
  std::string LastErrorDetail() override { return last_error_detail_; }

  HiveStorage* storage() const { return storage_.get(); }

 private:
  struct LoadedHive {
    int users = 0;
    bool writable = false;
    std::string saved_text;
    HiveKey root;
  };
  struct OpenedKey {
    HiveId hive;
    std::vector<std::string> path;  // after redirection
    uint32_t access;
  };
  // A key reached by a call: the hive, its path, and the rights the call
  // may use.
  struct Target {
    HiveId hive;
    std::vector<std::string> path;
    uint32_t access;
    bool acquired;  // the call took the hive and must release it
  };

  class HeldHive;

  long Acquire(HiveId hive, uint32_t timeout_ms = kListLockTimeoutMs);
  // kErrorAccessDenied for a write to `hive`, with its detail.
  long WriteDenied(HiveId hive);
  // The hive's name, and its file when it has one.
  std::string HiveText(HiveId hive) const;
  void Release(HiveId hive);
  long Commit(HiveId hive);
  long Resolve(RegKey key, Target* target);
  void Finish(const Target& target);
  // Reaches `subkey` below `parent`: on success the hive is taken (the
  // caller releases it on every path out) and `path` is the key's path
  // after redirection by the view bits of `view`.
  long Reach(RegKey parent, const std::string& subkey, uint32_t view,
             Target* target, std::vector<std::string>* path);
  long Open(RegKey parent, const std::string& subkey, uint32_t access,
            bool create, RegKey* result);
  long Delete(RegKey parent, const std::string& subkey, uint32_t view);
  HiveKey* Find(HiveId hive, const std::vector<std::string>& path);
  std::vector<std::string> Redirect(HiveId hive, std::vector<std::string> path,
                                    uint32_t access) const;

  std::unique_ptr<HiveStorage> storage_;
  bool native64_;
  LoadedHive hives_[2];
  std::map<RegKey, OpenedKey> keys_;
  RegKey next_key_ = 0x1000;
  std::string last_error_detail_;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_REGSTORE_STORE_REGISTRY_H_
