// KRegistry: the scene SDK's registry wrapper. One object is one connection
// to a root key in one hive and one registry view; values are read and
// written in subkeys of that root key.
//
// Texts are UTF-8 KStrings, stored as REG_SZ values through the wide
// registry calls: another program reading the value sees exactly the text
// that was written, non-ASCII letters included, and a value of any length
// is read whole.
#ifndef TAVIK_PLATFORM_SDK_KREGISTRY_H_
#define TAVIK_PLATFORM_SDK_KREGISTRY_H_

#include <string>

#include "platform/base/status.h"
#include "platform/os/registry.h"
#include "platform/sdk/kstring.h"

namespace qsnsdk_cm_infra {

class KRegistry {
 public:
  // Uses the process's registry (tavik::DefaultRegistry()).
  KRegistry();
  // Uses `registry`, borrowed; it must outlive this object.
  explicit KRegistry(tavik::Registry* registry);
  // Closes an open connection.
  ~KRegistry();

  KRegistry(const KRegistry&) = delete;
  KRegistry& operator=(const KRegistry&) = delete;

  // Opens `rootKey` in HKEY_LOCAL_MACHINE (`machine`) or HKEY_CURRENT_USER,
  // in the 64-bit view (`use64BitView`) or the 32-bit view, for reading and
  // writing. With `create`, a missing root key and the keys above it are
  // created; without, a missing root key makes Connect fail. `remote` is not
  // supported and must be null. True when the root key is open. A previous
  // connection of this object is closed first.
  bool Connect(const char* rootKey, const char* remote, bool machine,
               bool create, bool use64BitView);
  // Why the last Connect failed, in words, for diagnostics ("" after one
  // that succeeded): the registry's code and what the registry adds to it
  // (Registry::LastErrorDetail).
  const std::string& connect_error() const { return connect_error_; }

  // Fills `out` with the text of the value `valueName` in the subkey
  // `subkey` of the root key (null or "": the root key itself), or with
  // `defaultText` when the value or the subkey does not exist or cannot be
  // read as text, or when not connected. Returns `out`.
  KString& ReadString(const char* subkey, const char* valueName,
                      const char* defaultText, KString& out);
  // As ReadString, but tells the cases apart: Ok with the text; NotFound
  // when the value or the subkey does not exist (out empty); another code
  // when the value exists but cannot be read exactly, or no connection is
  // open. A caller that rewrites the value must not take the latter for an
  // empty value.
  tavik::Status ReadStringValue(const char* subkey, const char* valueName,
                                KString* out);
  // Sets the value `valueName` of `subkey` (created when missing) to `text`.
  // False when not connected or the value could not be written.
  bool WriteString(const char* subkey, const char* valueName, const char* text);
  // Closes the connection. False when none was open.
  bool Close();

  bool IsConnected() const { return root_ != tavik::kNoRegKey; }

 private:
  uint32_t ViewFlag() const;

  tavik::Registry* registry_;
  tavik::RegKey root_ = tavik::kNoRegKey;
  bool use64BitView_ = false;
  std::string connect_error_;
};

}  // namespace qsnsdk_cm_infra

#endif  // TAVIK_PLATFORM_SDK_KREGISTRY_H_
