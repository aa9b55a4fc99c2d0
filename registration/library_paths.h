// The list of library files that other programs read from the registry: the
// string value "LibraryPaths" of the version key "2011" under the library
// root key, "SOFTWARE\Velmora\VLMRAssetLibrary\" in HKEY_LOCAL_MACHINE or
// (per user) "Software\Velmora\VLMRAssetLibrary\" in HKEY_CURRENT_USER, one
// list in each registry view.
//
// The value holds the library paths in the order of registration, joined by
// "|", each exactly as given. Entries are whole: a path is listed when one
// entry equals it (letter case included), never because it is part of a
// longer entry. Adding appends "|" and the path, or writes the path alone to
// a missing or empty value; a listed path is not added again. Removing takes
// out the first entry equal to the path together with one separator (the
// one after it when it is the first entry, else the one before it) and
// leaves every other entry as it was; a list that becomes empty is written
// empty, and then its version key, and the library root key when no subkey
// is left, are deleted (LibraryKeyLocation::DeleteEmptyVersionKey).
//
// A path holding "|" cannot be told apart from two entries, and an empty one
// from the gap in "Q||P": such a path leaves the list alone. A value that
// exists but cannot be read exactly (another value type, text that does not
// convert) is left alone too, rather than taken for an empty list and
// overwritten.
//
// Each view's read-change-write, and the deletion of the keys it empties,
// happens under the hive's list lock (Registry::LockList), so concurrent
// runs never lose each other's change. A lock not had within
// `lockTimeoutMs` (kListLockTimeoutMs, 60 s, in the tool) skips that view
// as a failed connection does: "can't connect to %s : the list is locked
// by another run ..." and the list left as it is.
//
// Nothing here reports to the caller; failures go to DebugPrint only, and
// the tool's exit code never depends on them. Every routine takes the
// registry to work on (borrowed); the driver passes the process's.
#ifndef TAVIK_REGISTRATION_LIBRARY_PATHS_H_
#define TAVIK_REGISTRATION_LIBRARY_PATHS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/os/registry.h"
#include "platform/sdk/kstring.h"

namespace tavik {

using qsnsdk_cm_infra::KString;

extern const char kMachineLibraryRootKey[];  // "SOFTWARE\Velmora\..."
extern const char kUserLibraryRootKey[];     // "Software\Velmora\..."
extern const char kVersionKey[];             // "2011"
extern const char kLibraryPathsValue[];      // "LibraryPaths"

// Adds `path` to, or with `remove` removes it from, the list in the 32-bit
// and then the 64-bit registry view, machine-wide or (`perUser`) for the
// current user. The second view is handled whatever happened in the first.
void RegisterLibraryPath(const KString& path, bool perUser, bool remove,
                         Registry* registry,
                         uint32_t lockTimeoutMs = kListLockTimeoutMs);

// Adds `path` in one view. Creates the library root key when it is missing;
// "can't connect to %s : %s\n" (the key, the reason) when it cannot be
// opened for writing.
void AddLibraryPath(const KString& path, bool perUser, KString rootKey,
                    bool use64BitView, Registry* registry,
                    uint32_t lockTimeoutMs = kListLockTimeoutMs);

// Removes `path` in one view. Creates nothing; "can't connect to %s : %s\n"
// when the library root key is missing or cannot be opened for writing.
// When the list it wrote reads back empty, deletes the emptied keys after
// the connection is closed, still holding the list lock.
void RemoveLibraryPath(const KString& path, bool perUser, KString rootKey,
                       bool use64BitView, Registry* registry,
                       uint32_t lockTimeoutMs = kListLockTimeoutMs);

// Where one view's list lives, for the deletion of its emptied keys.
struct LibraryKeyLocation {
  bool perUser = false;
  bool use64BitView = false;
  KString rootKey;  // ends in "\"

  // Deletes the version key `rootKey` + "2011" with its values, and then the
  // library root key with its values when no subkey is left under it;
  // nothing above the library root key. A version key with a subkey of its
  // own is not deleted, and then the root key is not looked at either.
  //
  // Uses RegDeleteKeyExA, looked up at run time in Advapi32.dll, addressing
  // the view explicitly (KEY_WOW64_64KEY or KEY_WOW64_32KEY) in both
  // deletions and in opening the root key to count its subkeys, so that the
  // result is the same for a 32-bit and a 64-bit build. Where Windows lacks
  // RegDeleteKeyExA (single-view systems) RegDeleteKeyA and RegOpenKeyA act
  // in the process's own view, so the calls for both views reach the same
  // keys. When Advapi32.dll cannot be loaded nothing is deleted. Every
  // failure ends the operation silently, leaving the keys as they are.
  void DeleteEmptyVersionKey(Registry* registry) const;
};

// The entries of a list value, split at every "|" as the routines above
// split it ("Q||P" holds "Q", "" and "P"; the empty text none).
std::vector<std::string> SplitLibraryPaths(const std::string& list);

// One view's list as it stands, for inspection (vmpkg registry). Opens no
// key for writing and changes nothing.
struct LibraryPathsReading {
  std::string key;  // the version key, "HKEY_...\...\2011"
  // Ok with the entries; NotFound when the version key or the value is
  // missing (no entries); another code when it cannot be read: a hive that
  // cannot be parsed (Corrupt), a value that is not exact text, no access.
  Status read;
  // Ok when the user may write the list (the nearest existing key on its
  // path opens for writing); AccessDenied when not.
  Status writable;
  std::vector<std::string> entries;
};
LibraryPathsReading ReadLibraryPaths(bool perUser, bool use64BitView,
                                     Registry* registry);

}  // namespace tavik

#endif  // TAVIK_REGISTRATION_LIBRARY_PATHS_H_
