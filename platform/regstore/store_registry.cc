#include "platform/regstore/store_registry.h"

#include <algorithm>

namespace tavik {

namespace {

constexpr uint32_t kWriteRights =
    kKeySetValue | kKeyCreateSubKey | 0x00010000 /* DELETE */ |
    0x00040000 /* WRITE_DAC */ | 0x00080000 /* WRITE_OWNER */;

int HiveIndex(HiveId hive) { return static_cast<int>(hive); }

bool IsPredefined(RegKey key) {
  return key == kHkeyLocalMachine || key == kHkeyCurrentUser;
}

HiveId HiveOf(RegKey predefined) {
  return predefined == kHkeyLocalMachine ? HiveId::kLocalMachine
                                         : HiveId::kCurrentUser;
}

}  // namespace

StoreRegistry::StoreRegistry(std::unique_ptr<HiveStorage> storage,
                             bool native64)
    : storage_(std::move(storage)), native64_(native64) {}

StoreRegistry::~StoreRegistry() {
  for (int h = 0; h < 2; ++h) {
    if (hives_[h].users > 0) storage_->Unlock(static_cast<HiveId>(h));
  }
}

class StoreRegistry::HeldHive : public ListLock {
 public:
  HeldHive(StoreRegistry* registry, HiveId hive)
      : registry_(registry), hive_(hive) {}
  ~HeldHive() override { registry_->Release(hive_); }

 private:
  StoreRegistry* registry_;
  HiveId hive_;
};

long StoreRegistry::LockList(RegKey hive, uint32_t timeout_ms,
                             std::unique_ptr<ListLock>* lock) {
  lock->reset();
  if (!IsPredefined(hive)) return kErrorInvalidHandle;
  long status = Acquire(HiveOf(hive), timeout_ms);
  if (status != kErrorSuccess) return status;
  *lock = std::make_unique<HeldHive>(this, HiveOf(hive));
  return kErrorSuccess;
}

long StoreRegistry::Acquire(HiveId hive, uint32_t timeout_ms) {
  LoadedHive& loaded = hives_[HiveIndex(hive)];
  if (loaded.users > 0) {
    ++loaded.users;
    return kErrorSuccess;
  }
  std::string text;
  bool writable = false;
  long status = storage_->Lock(hive, timeout_ms, &text, &writable);
  if (status == kErrorTimeout) {
    last_error_detail_ = HiveText(hive) + " is locked by another run";
    return status;
  }
  if (status != kErrorSuccess) {
    last_error_detail_ = HiveText(hive) + " cannot be read (error " +
                         std::to_string(status) + ")";
    return status;
  }
  Status parsed = ParseHive(hive, text, &loaded.root);
  if (!parsed.ok()) {
    storage_->Unlock(hive);
    std::string where = storage_->Where(hive);
    last_error_detail_ =
        (where.empty() ? std::string() : where + ": ") + parsed.message();
    return kErrorBadDb;
  }
  loaded.users = 1;
  loaded.writable = writable;
  loaded.saved_text = std::move(text);
  return kErrorSuccess;
}

std::string StoreRegistry::HiveText(HiveId hive) const {
  std::string where = storage_->Where(hive);
  return where.empty() ? std::string(HiveName(hive))
                       : std::string(HiveName(hive)) + " (" + where + ")";
}

long StoreRegistry::WriteDenied(HiveId hive) {
  last_error_detail_ = HiveText(hive) + " may not be written by this user";
  std::string why = storage_->WhyNotWritable(hive);
  if (!why.empty()) last_error_detail_ += ": " + why;
  return kErrorAccessDenied;
}

void StoreRegistry::Release(HiveId hive) {
  LoadedHive& loaded = hives_[HiveIndex(hive)];
  if (--loaded.users > 0) return;
  loaded.root.values.clear();
  loaded.root.subkeys.clear();
  loaded.saved_text.clear();
  storage_->Unlock(hive);
}

long StoreRegistry::Commit(HiveId hive) {
  LoadedHive& loaded = hives_[HiveIndex(hive)];
  std::string text = SerializeHive(hive, loaded.root);
  long status = storage_->Save(hive, text);
  if (status != kErrorSuccess) {
    // The storage still holds the last saved text; so must we.
    ParseHive(hive, loaded.saved_text, &loaded.root);
    return status;
  }
  loaded.saved_text = std::move(text);
  return kErrorSuccess;
}

long StoreRegistry::Resolve(RegKey key, Target* target) {
  if (IsPredefined(key)) {
    target->hive = HiveOf(key);
    target->path.clear();
    long status = Acquire(target->hive);
    if (status != kErrorSuccess) return status;
    target->acquired = true;
    target->access =
        hives_[HiveIndex(target->hive)].writable ? kKeyAllAccess : kKeyRead;
    return kErrorSuccess;
  }
  auto it = keys_.find(key);
  if (it == keys_.end()) return kErrorInvalidHandle;
  target->hive = it->second.hive;
  target->path = it->second.path;
  target->access = it->second.access;
  target->acquired = false;
  return kErrorSuccess;
}

long StoreRegistry::Reach(RegKey parent, const std::string& subkey,
                          uint32_t view, Target* target,
                          std::vector<std::string>* path) {
  std::vector<std::string> names;
  long status = SplitKeyPath(subkey, &names);
  if (status != kErrorSuccess) return status;
  status = Resolve(parent, target);
  if (status != kErrorSuccess) return status;
  if (!target->acquired) {
    status = Acquire(target->hive);
    if (status != kErrorSuccess) return status;
  }
  *path = target->path;
  path->insert(path->end(), names.begin(), names.end());
  *path = Redirect(target->hive, std::move(*path), view);
  return kErrorSuccess;
}

void StoreRegistry::Finish(const Target& target) {
  if (target.acquired) Release(target.hive);
}

HiveKey* StoreRegistry::Find(HiveId hive,
                             const std::vector<std::string>& path) {
  HiveKey* key = &hives_[HiveIndex(hive)].root;
  for (const std::string& name : path) {
    key = key->FindSubKey(name);
    if (key == nullptr) return nullptr;
  }
  return key;
}

std::vector<std::string> StoreRegistry::Redirect(HiveId hive,
                                                 std::vector<std::string> path,
                                                 uint32_t access) const {
  uint32_t view = access & kKeyWow64Res;
  bool view32 = view == kKeyWow64_32Key || (view == 0 && !native64_);
  if (view32 && hive == HiveId::kLocalMachine && path.size() >= 2 &&
      FoldCase(path[0]) == "software" && FoldCase(path[1]) != "wow6432node") {
    path.insert(path.begin() + 1, "WOW6432Node");
  }
  return path;
}

long StoreRegistry::Open(RegKey parent, const std::string& subkey,
                         uint32_t access, bool create, RegKey* result) {
  *result = kNoRegKey;
  if ((access & kKeyWow64Res) == kKeyWow64Res) return kErrorInvalidParameter;
  Target target;
  std::vector<std::string> path;
  // The new key holds the hive for as long as it is open.
  long status = Reach(parent, subkey, access, &target, &path);
  if (status != kErrorSuccess) return status;
  LoadedHive& loaded = hives_[HiveIndex(target.hive)];

  if (Find(target.hive, target.path) == nullptr) {
    status = kErrorKeyDeleted;
  } else if ((access & kWriteRights) != 0 && !loaded.writable) {
    status = WriteDenied(target.hive);
  } else if (Find(target.hive, path) == nullptr) {
    if (!create) {
      status = kErrorFileNotFound;
    } else if (!loaded.writable) {
      status = WriteDenied(target.hive);
    } else {
      CreatePath(&loaded.root, path, nullptr);
      status = Commit(target.hive);
    }
  }
  if (status != kErrorSuccess) {
    Release(target.hive);
    return status;
  }
  RegKey key = next_key_;
  next_key_ += 4;
  keys_[key] = OpenedKey{target.hive, std::move(path), access};
  *result = key;
  return kErrorSuccess;
}

long StoreRegistry::CreateKey(RegKey parent, const std::string& subkey,
                              uint32_t access, RegKey* result) {
  return Open(parent, subkey, access, true, result);
}

long StoreRegistry::OpenKey(RegKey parent, const std::string& subkey,
                            uint32_t access, RegKey* result) {
  return Open(parent, subkey, access, false, result);
}

long StoreRegistry::OpenKeyAnsi(RegKey parent, const std::string& subkey,
                                uint32_t access, RegKey* result) {
  return Open(parent, subkey, access, false, result);
}

long StoreRegistry::OpenKeyAnsiDefault(RegKey parent, const std::string& subkey,
                                       RegKey* result) {
  *result = kNoRegKey;
  // The rights the caller may have: all of them on a writable hive.
  HiveId hive;
  if (IsPredefined(parent)) {
    hive = HiveOf(parent);
  } else {
    auto it = keys_.find(parent);
    if (it == keys_.end()) return kErrorInvalidHandle;
    hive = it->second.hive;
  }
  long status = Acquire(hive);
  if (status != kErrorSuccess) return status;
  uint32_t access = hives_[HiveIndex(hive)].writable ? kKeyAllAccess : kKeyRead;
  status = Open(parent, subkey, access, false, result);
  Release(hive);
  return status;
}

long StoreRegistry::QueryString(RegKey key, const std::string& name,
                                std::string* text) {
  text->clear();
  Target target;
  long status = Resolve(key, &target);
  if (status != kErrorSuccess) return status;
  HiveKey* node = Find(target.hive, target.path);
  HiveValue* value = node ? node->FindValue(name) : nullptr;
  if (node == nullptr) {
    status = kErrorKeyDeleted;
  } else if ((target.access & kKeyQueryValue) == 0) {
    status = kErrorAccessDenied;
  } else if (value == nullptr) {
    status = kErrorFileNotFound;
  } else if (value->type != kRegSz) {
    status = kErrorInvalidData;
  } else {
    *text = value->data;
  }
  Finish(target);
  return status;
}

long StoreRegistry::SetString(RegKey key, const std::string& name,
                              const std::string& text) {
  Target target;
  long status = Resolve(key, &target);
  if (status != kErrorSuccess) return status;
  HiveKey* node = Find(target.hive, target.path);
  if (node == nullptr) {
    status = kErrorKeyDeleted;
  } else if ((target.access & kKeySetValue) == 0 ||
             !hives_[HiveIndex(target.hive)].writable) {
    status = kErrorAccessDenied;
  } else {
    SetValue(node, HiveValue{name, kRegSz, text});
    status = Commit(target.hive);
  }
  Finish(target);
  return status;
}

long StoreRegistry::CloseKey(RegKey key) {
  if (IsPredefined(key)) return kErrorSuccess;
  auto it = keys_.find(key);
  if (it == keys_.end()) return kErrorInvalidHandle;
  HiveId hive = it->second.hive;
  keys_.erase(it);
  Release(hive);
  return kErrorSuccess;
}

long StoreRegistry::Delete(RegKey parent, const std::string& subkey,
                           uint32_t view) {
  std::vector<std::string> names;
  long status = SplitKeyPath(subkey, &names);
  if (status != kErrorSuccess) return status;
  if (names.empty()) return kErrorInvalidParameter;
  Target target;
  std::vector<std::string> path;
  status = Reach(parent, subkey, view, &target, &path);
  if (status != kErrorSuccess) return status;
  std::vector<std::string> parent_path(path.begin(), path.end() - 1);
  HiveKey* above = Find(target.hive, parent_path);
  HiveKey* key = above ? above->FindSubKey(path.back()) : nullptr;
  if (!hives_[HiveIndex(target.hive)].writable) {
    status = kErrorAccessDenied;
  } else if (key == nullptr) {
    status = kErrorFileNotFound;
  } else if (!key->subkeys.empty()) {
    status = kErrorAccessDenied;
  } else {
    above->subkeys.erase(FoldCase(path.back()));
    status = Commit(target.hive);
  }
  Release(target.hive);
  return status;
}

long StoreRegistry::DeleteKeyInView(RegKey hive, const std::string& subkey,
                                    uint32_t viewFlag) {
  if ((viewFlag & ~kKeyWow64Res) != 0 || viewFlag == kKeyWow64Res) {
    return kErrorInvalidParameter;
  }
  return Delete(hive, subkey, viewFlag);
}

long StoreRegistry::DeleteKeyInDefaultView(RegKey hive,
                                           const std::string& subkey) {
  return Delete(hive, subkey, 0);
}

long StoreRegistry::CountSubKeys(RegKey key, uint32_t* count) {
  *count = 0;
  Target target;
  long status = Resolve(key, &target);
  if (status != kErrorSuccess) return status;
  HiveKey* node = Find(target.hive, target.path);
  if (node == nullptr) {
    status = kErrorKeyDeleted;
  } else if ((target.access & kKeyQueryValue) == 0) {
    status = kErrorAccessDenied;
  } else {
    *count = static_cast<uint32_t>(node->subkeys.size());
  }
  Finish(target);
  return status;
}

}  // namespace tavik
