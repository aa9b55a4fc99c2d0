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
// key open takes and releases the lock around itself.
#ifndef TAVIK_PLATFORM_REGISTRY_STORE_H_
#define TAVIK_PLATFORM_REGISTRY_STORE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/status.h"

namespace tavik {

enum class HiveId { kLocalMachine = 0, kCurrentUser = 1 };

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER".
const char* HiveName(HiveId hive);

// Value types as Windows numbers them.
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

struct HiveValue {
  std::string name;  // as created; "" is the key's default value
  uint32_t type = kRegSz;
  std::string data;  // REG_SZ: the text's bytes; other types: raw bytes
};

struct HiveKey {
  std::string name;               // as created
  std::vector<HiveValue> values;  // in order of creation
  // Keyed by the name with ASCII letters folded to lower case.
  std::map<std::string, std::unique_ptr<HiveKey>> subkeys;

  HiveValue* FindValue(const std::string& value_name);
  HiveKey* FindSubKey(const std::string& key_name);
};

// The name with ASCII letters folded to lower case.
std::string FoldCase(const std::string& name);

// Splits a key path into its names; see the path rules above. Returns
// kErrorSuccess or the error code.
long SplitKeyPath(const std::string& path, std::vector<std::string>* names);

// The text of a hive:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Velmora]
//   "Name"="text"
//   "Count"=dword:0000002a
//   "Blob"=hex:01,02
//   "Other"=hex(7):41,00,00,00
//
// One section per key, also for a key without values, in depth-first order
// with subkeys sorted by folded name; the hive's own section only when it
// holds values. Lines end in "\n". Inside quotes "\" and "\"" are written
// "\\" and "\"", a line feed "\n", a carriage return "\r", and any other
// control character or byte that is not part of a UTF-8 sequence "\xHH", so
// every name and text reads back byte for byte and the file stays one entry
// a line.
std::string SerializeHive(HiveId hive, const HiveKey& root);

// Parses a hive's text into `root` (emptied first). An empty or blank text
// is an empty hive. Accepts a UTF-8 byte order mark, "\r\n" line ends,
// comment lines starting with ";", repeated sections of one key (merged),
// and hex data continued over lines with a trailing "\". Anything else that
// SerializeHive does not write (deletion entries "[-...]" and "=-", sections
// of another hive, unknown escapes, text after a closing quote) is kCorrupt
// with the line number: such a hive is never rewritten.
Status ParseHive(HiveId hive, const std::string& text, HiveKey* root);

// Where a StoreRegistry's hives live and how they are guarded.
class HiveStorage {
 public:
  virtual ~HiveStorage() = default;

  // Takes the hive's lock, held until Unlock, and reads its text (a hive
  // that does not exist yet reads as the empty text). *writable tells
  // whether Save may be called. On failure nothing is held.
  virtual long Lock(HiveId hive, std::string* text, bool* writable) = 0;
  // Replaces the hive's text as a whole: afterwards the storage holds either
  // the old or the new text, never a mix. Only while locked and writable.
  virtual long Save(HiveId hive, const std::string& text) = 0;
  virtual void Unlock(HiveId hive) = 0;
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

  long Lock(HiveId hive, std::string* text, bool* writable) override;
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
// keeping the old file's permissions.
std::unique_ptr<HiveStorage> NewFileHiveStorage(std::string machine_dir,
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

  long Acquire(HiveId hive);
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
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_REGISTRY_STORE_H_
