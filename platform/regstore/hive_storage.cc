#include "platform/regstore/hive_storage.h"

namespace tavik {

namespace {
int HiveIndex(HiveId hive) { return static_cast<int>(hive); }
}  // namespace

void HiveDirectories(const char* root, const char* xdg_config_home,
                     const char* home, std::string* machine_dir,
                     std::string* user_dir) {
  auto set = [](const char* value) { return value != nullptr && *value; };
  if (set(root)) {
    *machine_dir = root;
    *user_dir = root;
    return;
  }
  *machine_dir = "/var/lib/tavik/registry";
  if (set(xdg_config_home) && xdg_config_home[0] == '/') {
    *user_dir = std::string(xdg_config_home) + "/tavik/registry";
  } else if (set(home)) {
    *user_dir = std::string(home) + "/.config/tavik/registry";
  } else {
    user_dir->clear();
  }
}

long MemoryHiveStorage::Lock(HiveId hive, uint32_t /*timeout_ms*/,
                             std::string* out, bool* may_write) {
  ++lock_count[HiveIndex(hive)];
  *out = text[HiveIndex(hive)];
  *may_write = writable[HiveIndex(hive)];
  return kErrorSuccess;
}

long MemoryHiveStorage::Save(HiveId hive, const std::string& new_text) {
  if (!writable[HiveIndex(hive)]) return kErrorAccessDenied;
  text[HiveIndex(hive)] = new_text;
  ++save_count[HiveIndex(hive)];
  return kErrorSuccess;
}

void MemoryHiveStorage::Unlock(HiveId hive) { --lock_count[HiveIndex(hive)]; }

}  // namespace tavik
