#include <windows.h>

#include "platform/file_system.h"
#include "platform/win_text.h"

namespace tavik {

namespace {

Status LastErrorStatus(const std::string& what) {
  DWORD err = ::GetLastError();
  std::string message = what + " (error " + std::to_string(err) + ")";
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return Status::NotFound(message);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return Status::AccessDenied(message);
    default:
      return Status::IoError(message);
  }
}

DWORD AttributesOf(const std::string& path) {
  std::wstring wide;
  if (path.empty() || !ToWide(path, &wide)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(wide.c_str());
}

class WinOpenFile : public OpenFileHandle {
 public:
  explicit WinOpenFile(HANDLE handle) : handle_(handle) {}
  ~WinOpenFile() override { ::CloseHandle(handle_); }

 private:
  HANDLE handle_;
};

class WinFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  }

  bool DirectoryExists(const std::string& path) override {
    DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }

  Status ListDirectory(const std::string& path,
                       std::vector<DirEntry>* entries) override {
    entries->clear();
    std::wstring pattern;
    if (!ToWide(path, &pattern)) {
      return Status::InvalidArgument("not UTF-8: " + path);
    }
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') {
      pattern += L'\\';
    }
    pattern += L'*';
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
      return LastErrorStatus("can't list " + path);
    }
    do {
      DirEntry entry;
      entry.name = FromWide(data.cFileName);
      entry.is_directory =
          (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.is_regular_file = !entry.is_directory;
      entries->push_back(std::move(entry));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return Status::Ok();
  }

  uint32_t GetAttributes(const std::string& path) override {
    return AttributesOf(path);
  }

  Status SetAttributes(const std::string& path, uint32_t attributes) override {
    std::wstring wide;
    if (!ToWide(path, &wide))
      return Status::InvalidArgument("not UTF-8: " + path);
    if (!::SetFileAttributesW(wide.c_str(), attributes)) {
      return LastErrorStatus("can't change the attributes of " + path);
    }
    return Status::Ok();
  }

  std::unique_ptr<OpenFileHandle> OpenExistingNoShare(
      const std::string& path) override {
    std::wstring wide;
    if (!ToWide(path, &wide)) return nullptr;
    HANDLE handle =
        ::CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<WinOpenFile>(handle);
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static WinFileSystem* fs = new WinFileSystem;
  return fs;
}

}  // namespace tavik
