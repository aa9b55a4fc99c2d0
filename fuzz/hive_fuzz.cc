// A hive file is text a person may edit: parsing must refuse what the store
// does not write without crashing, and what it accepts must save to a text
// that parses back to the same hive.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/regstore/hive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tavik::HiveId;
  using tavik::HiveKey;
  std::string text(reinterpret_cast<const char*>(data), size);
  for (HiveId hive : {HiveId::kLocalMachine, HiveId::kCurrentUser}) {
    HiveKey root;
    if (!tavik::ParseHive(hive, text, &root).ok()) continue;
    std::string saved = tavik::SerializeHive(hive, root);
    HiveKey again;
    if (!tavik::ParseHive(hive, saved, &again).ok()) std::abort();
    if (tavik::SerializeHive(hive, again) != saved) std::abort();
  }
  return 0;
}
