#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/base/utf.h"
#include "platform/os/registry.h"
#include "platform/os/win_text.h"

namespace tavik {

namespace {

static_assert(kErrorSuccess == ERROR_SUCCESS, "error codes");
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND, "error codes");
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED, "error codes");
static_assert(kErrorInvalidData == ERROR_INVALID_DATA, "error codes");
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER, "error codes");
static_assert(kErrorProcNotFound == ERROR_PROC_NOT_FOUND, "error codes");
static_assert(kErrorMoreData == ERROR_MORE_DATA, "error codes");
static_assert(kErrorTimeout == ERROR_TIMEOUT, "error codes");
static_assert(kErrorNoUnicodeTranslation == ERROR_NO_UNICODE_TRANSLATION,
              "error codes");
static_assert(kKeyAllAccess == KEY_ALL_ACCESS, "access rights");
static_assert(kKeyRead == KEY_READ && kKeyWrite == KEY_WRITE, "access rights");
static_assert(kKeyWow64_64Key == KEY_WOW64_64KEY &&
                  kKeyWow64_32Key == KEY_WOW64_32KEY,
              "view flags");
static_assert(sizeof(RegKey) == sizeof(HKEY), "handles");

HKEY ToHkey(RegKey key) { return reinterpret_cast<HKEY>(key); }
RegKey FromHkey(HKEY key) { return reinterpret_cast<RegKey>(key); }

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// A held named mutex; released on the thread that took it.
class MutexListLock : public ListLock {
 public:
  explicit MutexListLock(HANDLE mutex) : mutex_(mutex) {}
  ~MutexListLock() override {
    ::ReleaseMutex(mutex_);
    ::CloseHandle(mutex_);
  }

 private:
  HANDLE mutex_;
};

// The user's SID as text ("S-1-5-21-..."); empty when it cannot be had.
std::wstring UserSid() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return std::wstring();
  }
  std::wstring sid;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size);
  LPWSTR text = nullptr;
  if (size != 0 &&
      ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
      ::ConvertSidToStringSidW(
          reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    sid = text;
    ::LocalFree(text);
  }
  ::CloseHandle(token);
  return sid;
}

typedef LONG(WINAPI* RegDeleteKeyExAFunction)(HKEY, LPCSTR, REGSAM, DWORD);

class WinRegistry : public Registry {
 public:
  long CreateKey(RegKey parent, const std::string& subkey, uint32_t access,
                 RegKey* result) override {
    *result = kNoRegKey;
    std::wstring wide;
    if (!ToWide(subkey, &wide)) return ERROR_NO_UNICODE_TRANSLATION;
    HKEY key = nullptr;
    LONG status = ::RegCreateKeyExW(ToHkey(parent), wide.c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, access, nullptr,
                                    &key, nullptr);
    if (status == ERROR_SUCCESS) *result = FromHkey(key);
    return status;
  }

  long OpenKey(RegKey parent, const std::string& subkey, uint32_t access,
               RegKey* result) override {
    *result = kNoRegKey;
    std::wstring wide;
    if (!ToWide(subkey, &wide)) return ERROR_NO_UNICODE_TRANSLATION;
    HKEY key = nullptr;
    LONG status =
        ::RegOpenKeyExW(ToHkey(parent), wide.c_str(), 0, access, &key);
    if (status == ERROR_SUCCESS) *result = FromHkey(key);
    return status;
  }

  long QueryString(RegKey key, const std::string& name,
                   std::string* text) override {
    text->clear();
    std::wstring wide_name;
    if (!ToWide(name, &wide_name)) return ERROR_NO_UNICODE_TRANSLATION;
    // The value may grow between the size query and the read; ask again
    // until the buffer holds all of it.
    std::vector<BYTE> data;
    DWORD type = 0;
    DWORD size = 0;
    LONG status = ::RegQueryValueExW(ToHkey(key), wide_name.c_str(), nullptr,
                                     &type, nullptr, &size);
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
      data.resize(size + sizeof(wchar_t));
      size = static_cast<DWORD>(data.size());
      status = ::RegQueryValueExW(ToHkey(key), wide_name.c_str(), nullptr,
                                  &type, data.data(), &size);
      if (status == ERROR_SUCCESS) break;
    }
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    if (size % sizeof(wchar_t) != 0) return ERROR_INVALID_DATA;
    std::wstring wide(size / sizeof(wchar_t), L'\0');
    if (size > 0) std::memcpy(&wide[0], data.data(), size);
    // One terminating NUL is the rule; a value stored without it is read as
    // it is. A NUL inside the text would cut it for every C reader.
    if (!wide.empty() && wide.back() == L'\0') wide.pop_back();
    if (wide.find(L'\0') != std::wstring::npos) return ERROR_INVALID_DATA;
    std::u16string utf16(wide.begin(), wide.end());
    if (!Utf16ToUtf8(utf16, text)) {
      text->clear();
      return ERROR_INVALID_DATA;
    }
    return ERROR_SUCCESS;
  }

  long SetString(RegKey key, const std::string& name,
                 const std::string& text) override {
    std::wstring wide_name;
    std::wstring wide_text;
    if (!ToWide(name, &wide_name) || !ToWide(text, &wide_text)) {
      return ERROR_NO_UNICODE_TRANSLATION;
    }
    DWORD size = static_cast<DWORD>((wide_text.size() + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(ToHkey(key), wide_name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(wide_text.c_str()),
                            size);
  }

  long CloseKey(RegKey key) override { return ::RegCloseKey(ToHkey(key)); }

  KeyDeletion ProbeKeyDeletion() override {
    if (!probed_) {
      probed_ = true;
      advapi_ = ::LoadLibraryA("Advapi32.dll");
      if (advapi_ != nullptr) {
        delete_key_ex_ =
            reinterpret_cast<RegDeleteKeyExAFunction>(reinterpret_cast<void*>(
                ::GetProcAddress(advapi_, "RegDeleteKeyExA")));
      }
    }
    if (advapi_ == nullptr) return KeyDeletion::kNone;
    return delete_key_ex_ != nullptr ? KeyDeletion::kViewAware
                                     : KeyDeletion::kPlain;
  }

  long DeleteKeyInView(RegKey hive, const std::string& subkey,
                       uint32_t viewFlag) override {
    if (ProbeKeyDeletion() != KeyDeletion::kViewAware) {
      return ERROR_PROC_NOT_FOUND;
    }
    if (!IsAscii(subkey)) return ERROR_INVALID_PARAMETER;
    return delete_key_ex_(ToHkey(hive), subkey.c_str(), viewFlag, 0);
  }

  long DeleteKeyInDefaultView(RegKey hive, const std::string& subkey) override {
    if (!IsAscii(subkey)) return ERROR_INVALID_PARAMETER;
    return ::RegDeleteKeyA(ToHkey(hive), subkey.c_str());
  }

  long OpenKeyAnsi(RegKey parent, const std::string& subkey, uint32_t access,
                   RegKey* result) override {
    *result = kNoRegKey;
    if (!IsAscii(subkey)) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG status =
        ::RegOpenKeyExA(ToHkey(parent), subkey.c_str(), 0, access, &key);
    if (status == ERROR_SUCCESS) *result = FromHkey(key);
    return status;
  }

  long OpenKeyAnsiDefault(RegKey parent, const std::string& subkey,
                          RegKey* result) override {
    *result = kNoRegKey;
    if (!IsAscii(subkey)) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG status = ::RegOpenKeyA(ToHkey(parent), subkey.c_str(), &key);
    if (status == ERROR_SUCCESS) *result = FromHkey(key);
    return status;
  }

  long CountSubKeys(RegKey key, uint32_t* count) override {
    DWORD subkeys = 0;
    LONG status = ::RegQueryInfoKeyA(ToHkey(key), nullptr, nullptr, nullptr,
                                     &subkeys, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
    *count = subkeys;
    return status;
  }

  long LockList(RegKey hive, uint32_t timeout_ms,
                std::unique_ptr<ListLock>* lock) override {
    lock->reset();
    std::wstring name = L"Global\\Tavik.VLMRAssetLibrary.";
    if (hive == kHkeyLocalMachine) {
      name += L"LocalMachine";
    } else if (hive == kHkeyCurrentUser) {
      std::wstring sid = UserSid();
      // Without a SID the user's sessions can still share the session's
      // own namespace.
      name = sid.empty() ? L"Local\\Tavik.VLMRAssetLibrary.CurrentUser"
                         : name + L"CurrentUser." + sid;
    } else {
      return ERROR_INVALID_HANDLE;
    }
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    if (mutex == nullptr && ::GetLastError() == ERROR_ACCESS_DENIED) {
      // Made by a process whose default rights give this one less than full
      // access; waiting and releasing is all that is needed.
      mutex =
          ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    }
    if (mutex == nullptr) return static_cast<long>(::GetLastError());
    switch (::WaitForSingleObject(mutex, timeout_ms)) {
      case WAIT_OBJECT_0:
      case WAIT_ABANDONED:  // its holder ended; see the header
        *lock = std::make_unique<MutexListLock>(mutex);
        return ERROR_SUCCESS;
      case WAIT_TIMEOUT:
        ::CloseHandle(mutex);
        return ERROR_TIMEOUT;
      default: {
        long error = static_cast<long>(::GetLastError());
        ::CloseHandle(mutex);
        return error;
      }
    }
  }

 private:
  bool probed_ = false;
  HMODULE advapi_ = nullptr;
  RegDeleteKeyExAFunction delete_key_ex_ = nullptr;
};

}  // namespace

Registry* DefaultRegistry() {
  static WinRegistry* registry = new WinRegistry;
  return registry;
}

}  // namespace tavik
