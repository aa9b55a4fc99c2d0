// The hive model of the registry store and its text, the format of a
// registry export. Keys and values only; locking, saving and the Windows
// calls are the business of hive_storage.h and store_registry.h.
#ifndef TAVIK_PLATFORM_REGSTORE_HIVE_H_
#define TAVIK_PLATFORM_REGSTORE_HIVE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/os/registry.h"

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

// Sets a value of `key`, replacing one of the same (folded) name.
void SetValue(HiveKey* key, HiveValue value);

// The key at `names` below `root`, made with the keys on the way when
// missing; *created (may be null) is set when any key was made.
HiveKey* CreatePath(HiveKey* root, const std::vector<std::string>& names,
                    bool* created);

}  // namespace tavik

#endif  // TAVIK_PLATFORM_REGSTORE_HIVE_H_
