#include "registration/library_paths.h"

#include <string>
#include <vector>

#include "platform/base/debug_output.h"
#include "platform/sdk/kregistry.h"

namespace tavik {

using qsnsdk_cm_infra::KRegistry;

const char kMachineLibraryRootKey[] = "SOFTWARE\\Velmora\\VLMRAssetLibrary\\";
const char kUserLibraryRootKey[] = "Software\\Velmora\\VLMRAssetLibrary\\";
const char kVersionKey[] = "2011";
const char kLibraryPathsValue[] = "LibraryPaths";

namespace {

constexpr char kSeparator = '|';

// Every separator splits, so "Q||P" has the entries "Q", "" and "P"; the
// empty list has none.
std::vector<std::string> SplitEntries(const std::string& list) {
  std::vector<std::string> entries;
  if (list.empty()) return entries;
  size_t start = 0;
  while (true) {
    size_t end = list.find(kSeparator, start);
    if (end == std::string::npos) {
      entries.push_back(list.substr(start));
      return entries;
    }
    entries.push_back(list.substr(start, end - start));
    start = end + 1;
  }
}

std::string JoinEntries(const std::vector<std::string>& entries) {
  std::string list;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (i > 0) list.push_back(kSeparator);
    list += entries[i];
  }
  return list;
}

int FindEntry(const std::vector<std::string>& entries,
              const std::string& path) {
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i] == path) return static_cast<int>(i);
  }
  return -1;
}

bool Listable(const KString& path) {
  if (path.IsEmpty()) {
    DebugPrint("can't list an empty path\n");
    return false;
  }
  if (path.Find(KString("|")) >= 0) {
    DebugPrint("can't list %s: it holds the list separator \"|\"\n",
               path.Buffer());
    return false;
  }
  return true;
}

bool Connect(KRegistry& registry, const KString& rootKey, bool perUser,
             bool create, bool use64BitView) {
  if (registry.Connect(rootKey.Buffer(), nullptr, !perUser, create,
                       use64BitView)) {
    return true;
  }
  DebugPrint("can't connect to %s : %s\n", rootKey.Buffer(),
             registry.connect_error().c_str());
  return false;
}

// Takes the hive's list lock for one read-change-write (and delete). A lock
// not had in time, or a hive that cannot be read, fails as a connection
// does, with the same message.
std::unique_ptr<ListLock> LockList(Registry* registry, const KString& rootKey,
                                   bool perUser, uint32_t timeoutMs) {
  std::unique_ptr<ListLock> lock;
  long status = registry->LockList(
      perUser ? kHkeyCurrentUser : kHkeyLocalMachine, timeoutMs, &lock);
  if (status != kErrorSuccess) {
    std::string detail = registry->LastErrorDetail();
    if (detail.empty()) detail = RegistryStatus(status).message();
    if (status == kErrorTimeout) {
      detail = "the list is locked by another run (waited " +
               std::to_string(timeoutMs) + " ms): " + detail;
    }
    DebugPrint("can't connect to %s : %s\n", rootKey.Buffer(), detail.c_str());
    lock.reset();
  }
  return lock;
}

// A missing value or version key is the empty list. False when the value is
// there but cannot be read exactly: it must not be overwritten.
bool ReadList(KRegistry& registry, const KString& rootKey, KString* list) {
  Status status =
      registry.ReadStringValue(kVersionKey, kLibraryPathsValue, list);
  if (status.ok() || status.code() == Status::Code::kNotFound) return true;
  DebugPrint("can't read %s%s: %s\n", rootKey.Buffer(), kVersionKey,
             status.message().c_str());
  return false;
}

}  // namespace

void RegisterLibraryPath(const KString& path, bool perUser, bool remove,
                         Registry* registry, uint32_t lockTimeoutMs) {
  if (!Listable(path)) return;
  KString rootKey(perUser ? kUserLibraryRootKey : kMachineLibraryRootKey);
  for (bool use64BitView : {false, true}) {
    if (remove) {
      RemoveLibraryPath(path, perUser, rootKey, use64BitView, registry,
                        lockTimeoutMs);
    } else {
      AddLibraryPath(path, perUser, rootKey, use64BitView, registry,
                     lockTimeoutMs);
    }
  }
}

void AddLibraryPath(const KString& path, bool perUser, KString rootKey,
                    bool use64BitView, Registry* registry,
                    uint32_t lockTimeoutMs) {
  if (!Listable(path)) return;
  std::unique_ptr<ListLock> lock =
      LockList(registry, rootKey, perUser, lockTimeoutMs);
  if (!lock) return;
  KRegistry connection(registry);
  if (!Connect(connection, rootKey, perUser, true, use64BitView)) return;
  KString list;
  if (ReadList(connection, rootKey, &list)) {
    if (list.IsEmpty()) {
      connection.WriteString(kVersionKey, kLibraryPathsValue, path.Buffer());
    } else if (FindEntry(SplitEntries(list.str()), path.str()) < 0) {
      KString longer = list + KString("|") + path;
      connection.WriteString(kVersionKey, kLibraryPathsValue, longer.Buffer());
    }
  }
  connection.Close();
}

void RemoveLibraryPath(const KString& path, bool perUser, KString rootKey,
                       bool use64BitView, Registry* registry,
                       uint32_t lockTimeoutMs) {
  if (!Listable(path)) return;
  std::unique_ptr<ListLock> lock =
      LockList(registry, rootKey, perUser, lockTimeoutMs);
  if (!lock) return;
  bool emptied = false;
  {
    KRegistry connection(registry);
    if (!Connect(connection, rootKey, perUser, false, use64BitView)) return;
    KString list;
    if (ReadList(connection, rootKey, &list) && !list.IsEmpty()) {
      std::vector<std::string> entries = SplitEntries(list.str());
      int index = FindEntry(entries, path.str());
      if (index >= 0) {
        entries.erase(entries.begin() + index);
        KString shorter(JoinEntries(entries));
        connection.WriteString(kVersionKey, kLibraryPathsValue,
                               shorter.Buffer());
        // Read back: a failed write, or a writer that ignores the lock, has
        // left a list that the deletion must not take with it.
        KString now;
        emptied = shorter.IsEmpty() && ReadList(connection, rootKey, &now) &&
                  now.IsEmpty();
      }
    }
    connection.Close();
  }
  // Still under the lock: a run adding a path waits for the deletion.
  if (emptied) {
    LibraryKeyLocation location;
    location.perUser = perUser;
    location.use64BitView = use64BitView;
    location.rootKey = rootKey;
    location.DeleteEmptyVersionKey(registry);
  }
}

void LibraryKeyLocation::DeleteEmptyVersionKey(Registry* registry) const {
  RegKey hive = perUser ? kHkeyCurrentUser : kHkeyLocalMachine;
  std::string versionKey = (rootKey + KString(kVersionKey)).str();
  KeyDeletion deletion = registry->ProbeKeyDeletion();
  if (deletion == KeyDeletion::kNone) return;

  RegKey root = kNoRegKey;
  if (deletion == KeyDeletion::kViewAware) {
    uint32_t view = use64BitView ? kKeyWow64_64Key : kKeyWow64_32Key;
    if (!RegistryStatus(registry->DeleteKeyInView(hive, versionKey, view))
             .ok() ||
        !RegistryStatus(registry->OpenKeyAnsi(hive, rootKey.str(),
                                              kKeyAllAccess | view, &root))
             .ok()) {
      return;
    }
  } else {
    if (!RegistryStatus(registry->DeleteKeyInDefaultView(hive, versionKey))
             .ok() ||
        !RegistryStatus(
             registry->OpenKeyAnsiDefault(hive, rootKey.str(), &root))
             .ok()) {
      return;
    }
  }
  uint32_t subkeys = 0;
  Status counted = RegistryStatus(registry->CountSubKeys(root, &subkeys));
  registry->CloseKey(root);
  if (!counted.ok() || subkeys != 0) return;
  if (deletion == KeyDeletion::kViewAware) {
    registry->DeleteKeyInView(hive, rootKey.str(),
                              use64BitView ? kKeyWow64_64Key : kKeyWow64_32Key);
  } else {
    registry->DeleteKeyInDefaultView(hive, rootKey.str());
  }
}

std::vector<std::string> SplitLibraryPaths(const std::string& list) {
  return SplitEntries(list);
}

namespace {

// The registry's code and its own words, as one Status.
Status RegistryFailure(long code, const std::string& what, Registry* registry) {
  std::string message = what + " (error " + std::to_string(code) + ")";
  std::string detail = registry->LastErrorDetail();
  if (!detail.empty()) message += ": " + detail;
  switch (code) {
    case kErrorFileNotFound:
      return Status::NotFound(message);
    case kErrorAccessDenied:
      return Status::AccessDenied(message);
    case kErrorBadDb:
    case kErrorInvalidData:
      return Status::Corrupt(message);
    default:
      return Status::IoError(message);
  }
}

}  // namespace

LibraryPathsReading ReadLibraryPaths(bool perUser, bool use64BitView,
                                     Registry* registry) {
  LibraryPathsReading reading;
  RegKey hive = perUser ? kHkeyCurrentUser : kHkeyLocalMachine;
  uint32_t view = use64BitView ? kKeyWow64_64Key : kKeyWow64_32Key;
  std::string versionKey =
      std::string(perUser ? kUserLibraryRootKey : kMachineLibraryRootKey) +
      kVersionKey;
  reading.key =
      std::string(perUser ? "HKEY_CURRENT_USER\\" : "HKEY_LOCAL_MACHINE\\") +
      versionKey;

  RegKey key = kNoRegKey;
  long code = registry->OpenKey(hive, versionKey, kKeyRead | view, &key);
  if (code != kErrorSuccess) {
    reading.read = RegistryFailure(code, "can't open the key", registry);
  } else {
    std::string list;
    code = registry->QueryString(key, kLibraryPathsValue, &list);
    registry->CloseKey(key);
    if (code != kErrorSuccess) {
      reading.read = RegistryFailure(
          code, std::string("can't read ") + kLibraryPathsValue, registry);
    } else {
      reading.entries = SplitEntries(list);
    }
  }

  // Whether a run could write the list: the nearest key on its path that
  // exists decides (Windows answers a missing key before the rights).
  std::string path = versionKey;
  while (true) {
    code = registry->OpenKey(hive, path, kKeyWrite | view, &key);
    if (code == kErrorSuccess) {
      registry->CloseKey(key);
      break;
    }
    size_t cut = path.rfind('\\');
    if (code != kErrorFileNotFound || cut == std::string::npos) {
      if (code != kErrorFileNotFound) {
        reading.writable = RegistryFailure(
            code, "can't open " + path + " for writing", registry);
      }
      break;
    }
    path.resize(cut);
  }
  return reading;
}

}  // namespace tavik
