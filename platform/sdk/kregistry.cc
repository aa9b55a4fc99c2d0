#include "platform/sdk/kregistry.h"

#include <string>

namespace qsnsdk_cm_infra {

namespace {

std::string TextOf(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

tavik::Status StatusOf(long error, const std::string& what) {
  std::string message = what + " (error " + std::to_string(error) + ")";
  switch (error) {
    case tavik::kErrorFileNotFound:
      return tavik::Status::NotFound(message);
    case tavik::kErrorAccessDenied:
      return tavik::Status::AccessDenied(message);
    case tavik::kErrorInvalidData:
    case tavik::kErrorBadDb:
      return tavik::Status::Corrupt(message);
    default:
      return tavik::Status::IoError(message);
  }
}

}  // namespace

KRegistry::KRegistry() : registry_(tavik::DefaultRegistry()) {}

KRegistry::KRegistry(tavik::Registry* registry) : registry_(registry) {}

KRegistry::~KRegistry() { Close(); }

uint32_t KRegistry::ViewFlag() const {
  return use64BitView_ ? tavik::kKeyWow64_64Key : tavik::kKeyWow64_32Key;
}

bool KRegistry::Connect(const char* rootKey, const char* remote, bool machine,
                        bool create, bool use64BitView) {
  Close();
  if (remote != nullptr) return false;
  use64BitView_ = use64BitView;
  tavik::RegKey hive =
      machine ? tavik::kHkeyLocalMachine : tavik::kHkeyCurrentUser;
  uint32_t access = tavik::kKeyRead | tavik::kKeyWrite | ViewFlag();
  tavik::RegKey key = tavik::kNoRegKey;
  long status = create
                    ? registry_->CreateKey(hive, TextOf(rootKey), access, &key)
                    : registry_->OpenKey(hive, TextOf(rootKey), access, &key);
  connect_error_.clear();
  if (status != tavik::kErrorSuccess) {
    connect_error_ = StatusOf(status, "can't open the key").message();
    std::string detail = registry_->LastErrorDetail();
    if (!detail.empty()) connect_error_ += ": " + detail;
    return false;
  }
  root_ = key;
  return true;
}

tavik::Status KRegistry::ReadStringValue(const char* subkey,
                                         const char* valueName, KString* out) {
  *out = KString();
  if (!IsConnected()) return tavik::Status::InvalidArgument("not connected");
  tavik::RegKey key = root_;
  std::string sub = TextOf(subkey);
  if (!sub.empty()) {
    long status = registry_->OpenKey(root_, sub,
                                     tavik::kKeyQueryValue | ViewFlag(), &key);
    if (status != tavik::kErrorSuccess) {
      return StatusOf(status, "can't open " + sub);
    }
  }
  std::string text;
  long status = registry_->QueryString(key, TextOf(valueName), &text);
  if (key != root_) registry_->CloseKey(key);
  if (status != tavik::kErrorSuccess) {
    return StatusOf(status, "can't read " + TextOf(valueName));
  }
  *out = KString(std::move(text));
  return tavik::Status::Ok();
}

KString& KRegistry::ReadString(const char* subkey, const char* valueName,
                               const char* defaultText, KString& out) {
  KString text;
  out = ReadStringValue(subkey, valueName, &text).ok() ? text
                                                       : KString(defaultText);
  return out;
}

bool KRegistry::WriteString(const char* subkey, const char* valueName,
                            const char* text) {
  if (!IsConnected()) return false;
  tavik::RegKey key = root_;
  std::string sub = TextOf(subkey);
  if (!sub.empty() &&
      registry_->CreateKey(root_, sub, tavik::kKeySetValue | ViewFlag(),
                           &key) != tavik::kErrorSuccess) {
    return false;
  }
  long status = registry_->SetString(key, TextOf(valueName), TextOf(text));
  if (key != root_) registry_->CloseKey(key);
  return status == tavik::kErrorSuccess;
}

bool KRegistry::Close() {
  if (!IsConnected()) return false;
  registry_->CloseKey(root_);
  root_ = tavik::kNoRegKey;
  return true;
}

}  // namespace qsnsdk_cm_infra
