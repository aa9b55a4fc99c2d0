// Registry: the registry calls the tool makes, in the shape of the Windows
// API, behind one interface so that tests can make a single call fail (see
// ForwardingRegistry) or hide the view-aware key deletion.
//
// Every call returns a Windows error code (kErrorSuccess, 0, on success) and
// takes the Windows flag values below, so the Windows implementation passes
// them through unchanged. On Windows the calls are the registry API itself;
// on POSIX they reach the registry store of hive files (platform/regstore/,
// a layer above this one) that behaves as 64-bit Windows 7 and later does.
//
// Texts are UTF-8. The "wide" calls (CreateKey, OpenKey, QueryString,
// SetString) keep any text exact: on Windows they convert to UTF-16 and call
// the W functions, so a non-ASCII path is stored as itself and not in the
// machine's code page. The key-deletion family mirrors the ANSI functions
// the deletion of emptied keys is built on; their texts are key paths of
// ASCII letters, and on Windows a non-ASCII text is refused with
// kErrorInvalidParameter rather than sent through the code page to a key of
// another name.
#ifndef TAVIK_PLATFORM_OS_REGISTRY_H_
#define TAVIK_PLATFORM_OS_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/base/status.h"

namespace tavik {

// An open key, or one of the predefined hive keys. Zero is no key.
using RegKey = std::uintptr_t;
constexpr RegKey kNoRegKey = 0;

// The predefined keys carry the values of HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE: 32-bit constants sign-extended into a pointer-sized
// handle, exactly as <windows.h> defines them.
constexpr RegKey PredefinedRegKey(uint32_t value) {
  return static_cast<RegKey>(
      static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
}
constexpr RegKey kHkeyCurrentUser = PredefinedRegKey(0x80000001u);
constexpr RegKey kHkeyLocalMachine = PredefinedRegKey(0x80000002u);

// Access rights (REGSAM).
constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyAllAccess = 0xF003F;
// View flags: which registry view a path is looked up in. Without either,
// a process sees its own view (the 32-bit view for a 32-bit process).
constexpr uint32_t kKeyWow64_64Key = 0x0100;
constexpr uint32_t kKeyWow64_32Key = 0x0200;
constexpr uint32_t kKeyWow64Res = 0x0300;

// Windows error codes the implementations return.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;  // no such key or value
constexpr long kErrorAccessDenied = 5;  // no right; key has subkeys
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidData = 13;  // value not readable as text
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorProcNotFound = 127;  // RegDeleteKeyExA not available
constexpr long kErrorBadPathname = 161;
constexpr long kErrorMoreData = 234;
constexpr long kErrorBadDb = 1009;  // hive cannot be parsed
constexpr long kErrorRegistryIoFailed = 1016;
constexpr long kErrorKeyDeleted = 1018;  // handle to a deleted key
constexpr long kErrorNoUnicodeTranslation = 1113;
constexpr long kErrorTimeout = 1460;  // the list lock was not had in time

// A registry call's Windows code as the Status the layers above use:
// NotFound (kErrorFileNotFound), AccessDenied (kErrorAccessDenied),
// InvalidArgument (a bad path or parameter), Corrupt (kErrorBadDb,
// kErrorInvalidData), NotSupported (kErrorProcNotFound) or IoError.
inline Status RegistryStatus(long code) {
  const std::string what = "registry error " + std::to_string(code);
  switch (code) {
    case kErrorSuccess:
      return Status::Ok();
    case kErrorFileNotFound:
    case kErrorKeyDeleted:
      return Status::NotFound(what);
    case kErrorAccessDenied:
      return Status::AccessDenied(what);
    case kErrorInvalidParameter:
    case kErrorBadPathname:
    case kErrorInvalidHandle:
    case kErrorNoUnicodeTranslation:
      return Status::InvalidArgument(what);
    case kErrorBadDb:
    case kErrorInvalidData:
      return Status::Corrupt(what);
    case kErrorProcNotFound:
      return Status::NotSupported(what);
    default:
      return Status::IoError(what);
  }
}

// Which key deletion the system offers (LoadLibraryA("Advapi32.dll") and
// GetProcAddress(..., "RegDeleteKeyExA")).
// How long a run waits for a hive's list lock before it skips the registry
// step (see Registry::LockList).
constexpr uint32_t kListLockTimeoutMs = 60 * 1000;

// A held list lock (Registry::LockList); destroying it releases the lock.
class ListLock {
 public:
  virtual ~ListLock() = default;
};

enum class KeyDeletion {
  kNone,       // Advapi32.dll could not be loaded
  kPlain,      // only RegDeleteKeyA, in the process's own view
  kViewAware,  // RegDeleteKeyExA as well
};

class Registry {
 public:
  virtual ~Registry() = default;

  // RegCreateKeyExW: opens `subkey` of `parent` (a hive or an open key),
  // creating it and any missing keys on the way. `access` is the rights
  // wanted, with at most one view flag. On success *result is an open key
  // that the caller closes with CloseKey; otherwise it is kNoRegKey.
  virtual long CreateKey(RegKey parent, const std::string& subkey,
                         uint32_t access, RegKey* result) = 0;
  // RegOpenKeyExW: as CreateKey, but a missing key is kErrorFileNotFound and
  // nothing is created.
  virtual long OpenKey(RegKey parent, const std::string& subkey,
                       uint32_t access, RegKey* result) = 0;
  // RegQueryValueExW of a string value (REG_SZ or REG_EXPAND_SZ, the latter
  // not expanded) of any length. kErrorFileNotFound when there is no such
  // value; kErrorInvalidData when the value is of another type or its data
  // is not exactly convertible text (odd length, embedded NUL, a lone
  // surrogate): a caller that writes back must never get a lossy copy.
  virtual long QueryString(RegKey key, const std::string& name,
                           std::string* text) = 0;
  // RegSetValueExW with REG_SZ. kErrorNoUnicodeTranslation when the text
  // cannot be stored exactly (on Windows: text that is not UTF-8).
  virtual long SetString(RegKey key, const std::string& name,
                         const std::string& text) = 0;
  // RegCloseKey. Closing a hive key is a no-op that succeeds.
  virtual long CloseKey(RegKey key) = 0;

  // The key-deletion family.
  virtual KeyDeletion ProbeKeyDeletion() = 0;
  // RegDeleteKeyExA(hive, subkey, viewFlag, 0): deletes the key with its
  // values in the given view. kErrorAccessDenied when it has subkeys,
  // kErrorFileNotFound when it does not exist, kErrorProcNotFound when
  // ProbeKeyDeletion() is not kViewAware.
  virtual long DeleteKeyInView(RegKey hive, const std::string& subkey,
                               uint32_t viewFlag) = 0;
  // RegDeleteKeyA(hive, subkey): the same in the process's own view.
  virtual long DeleteKeyInDefaultView(RegKey hive,
                                      const std::string& subkey) = 0;
  // RegOpenKeyExA(parent, subkey, 0, access, result).
  virtual long OpenKeyAnsi(RegKey parent, const std::string& subkey,
                           uint32_t access, RegKey* result) = 0;
  // RegOpenKeyA(parent, subkey, result): the process's own view, the rights
  // the caller may have.
  virtual long OpenKeyAnsiDefault(RegKey parent, const std::string& subkey,
                                  RegKey* result) = 0;
  // RegQueryInfoKeyA asking for the subkey count only.
  virtual long CountSubKeys(RegKey key, uint32_t* count) = 0;

  // Serialises the runs that change the library list of `hive`
  // (kHkeyLocalMachine or kHkeyCurrentUser, both views): waits at most
  // `timeout_ms` for the hive's list lock and on success sets *lock, held
  // until it is destroyed. A run holds it from reading the list to the last
  // change (the deletion of emptied keys included), so a change of another
  // run can never fall between them. kErrorTimeout when the wait ran out
  // (another run holds the lock: a hung or stopped process); nothing is held
  // on any failure.
  //
  // On Windows it is a named mutex, one per hive: "Global\" for the machine
  // list, which every session shares, and, for the user's list, which every
  // session of that user shares (HKEY_CURRENT_USER is per user, not per
  // session), "Global\" with the user's SID in the name. A mutex whose
  // holder ended without releasing it (WAIT_ABANDONED) counts as acquired:
  // the registry itself is never half-changed (each call is atomic), and the
  // list is read afresh under the lock. A mutex made by another user that
  // this one may not open fails the call (kErrorAccessDenied); that user
  // could not write that list either. The mutex must be released on the
  // thread that took it: the lock is not to be handed to another thread.
  //
  // On POSIX it is the registry store's hive lock (an flock on the hive's
  // lock file), held by the store until the lock is destroyed; the hive's
  // text read when it was taken is the one every call sees meanwhile.
  virtual long LockList(RegKey hive, uint32_t timeout_ms,
                        std::unique_ptr<ListLock>* lock) = 0;
  // For diagnostics: what the code of the last call that failed does not
  // say, in words (the hive file and line that cannot be parsed, a hive
  // the user may not write); "" when there is nothing more to say.
  virtual std::string LastErrorDetail() { return std::string(); }
};

// The process's registry: the Windows registry on Windows; on POSIX the
// hive files named by TAVIK_REGISTRY_ROOT or the default places (see
// docs/registry.md). Never null; lives until the process ends. Defined in
// registry_win.cc on Windows and by the registry store on POSIX; a target
// gets it by linking tavik_system_registry.
Registry* DefaultRegistry();

// Forwards every call to `target` (not owned). Tests derive from it and
// override the one call they want to fail or watch.
class ForwardingRegistry : public Registry {
 public:
  explicit ForwardingRegistry(Registry* target) : target_(target) {}

  long CreateKey(RegKey parent, const std::string& subkey, uint32_t access,
                 RegKey* result) override {
    return target_->CreateKey(parent, subkey, access, result);
  }
  long OpenKey(RegKey parent, const std::string& subkey, uint32_t access,
               RegKey* result) override {
    return target_->OpenKey(parent, subkey, access, result);
  }
  long QueryString(RegKey key, const std::string& name,
                   std::string* text) override {
    return target_->QueryString(key, name, text);
  }
  long SetString(RegKey key, const std::string& name,
                 const std::string& text) override {
    return target_->SetString(key, name, text);
  }
  long CloseKey(RegKey key) override { return target_->CloseKey(key); }
  KeyDeletion ProbeKeyDeletion() override {
    return target_->ProbeKeyDeletion();
  }
  long DeleteKeyInView(RegKey hive, const std::string& subkey,
                       uint32_t viewFlag) override {
    return target_->DeleteKeyInView(hive, subkey, viewFlag);
  }
  long DeleteKeyInDefaultView(RegKey hive, const std::string& subkey) override {
    return target_->DeleteKeyInDefaultView(hive, subkey);
  }
  long OpenKeyAnsi(RegKey parent, const std::string& subkey, uint32_t access,
                   RegKey* result) override {
    return target_->OpenKeyAnsi(parent, subkey, access, result);
  }
  long OpenKeyAnsiDefault(RegKey parent, const std::string& subkey,
                          RegKey* result) override {
    return target_->OpenKeyAnsiDefault(parent, subkey, result);
  }
  long CountSubKeys(RegKey key, uint32_t* count) override {
    return target_->CountSubKeys(key, count);
  }
  long LockList(RegKey hive, uint32_t timeout_ms,
                std::unique_ptr<ListLock>* lock) override {
    return target_->LockList(hive, timeout_ms, lock);
  }
  std::string LastErrorDetail() override { return target_->LastErrorDetail(); }

 protected:
  Registry* target() const { return target_; }

 private:
  Registry* target_;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_REGISTRY_H_
