#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/os/posix_files.h"
#include "platform/os/registry.h"
#include "platform/regstore/store_registry.h"

namespace tavik {

namespace {

std::string HomeFromPasswd() {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof(buffer), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::string();
  }
  return found->pw_dir;
}

}  // namespace

Registry* DefaultRegistry() {
  static Registry* registry = [] {
    const char* home = std::getenv("HOME");
    std::string passwd_home;
    if (home == nullptr || *home == '\0') {
      passwd_home = HomeFromPasswd();
      home = passwd_home.c_str();
    }
    std::string machine_dir;
    std::string user_dir;
    HiveDirectories(std::getenv("TAVIK_REGISTRY_ROOT"),
                    std::getenv("XDG_CONFIG_HOME"), home, &machine_dir,
                    &user_dir);
    return new StoreRegistry(
        NewFileHiveStorage(DefaultPosixFiles(), machine_dir, user_dir));
  }();
  return registry;
}

}  // namespace tavik
