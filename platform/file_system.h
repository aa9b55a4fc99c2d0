// FileSystem: every file-system call the tool makes, behind one interface so
// that tests can make a single call fail (see ForwardingFileSystem).
//
// Paths are UTF-8 and may use "\" or "/" as separators. The Windows side
// converts them to UTF-16 and calls the wide API. The POSIX side maps every
// "\" to "/" at the system boundary, so the tool's "\"-separated paths work
// unchanged; the price is that a POSIX file whose name holds a backslash
// cannot be addressed.
#ifndef TAVIK_PLATFORM_FILE_SYSTEM_H_
#define TAVIK_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace tavik {

// Windows file attribute bits. On POSIX only the read-only bit has a meaning:
// it is set exactly when the owner has no write permission, the mapping that
// Windows compatibility layers use.
constexpr uint32_t kFileAttributeReadOnly = 0x1;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeNormal = 0x80;
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFF;

struct DirEntry {
  std::string name;  // UTF-8; on POSIX the name's bytes as stored
  bool is_directory = false;
  bool is_regular_file = false;  // after following a symbolic link
};

// An open handle that does nothing but stay open; closing is destruction.
class OpenFileHandle {
 public:
  virtual ~OpenFileHandle() = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when a regular file (after links) / a folder is at `path`.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;

  // Fills `entries` with the folder's entries in the order the system gives,
  // "." and ".." included. Fails (entries empty) when the folder cannot be
  // listed.
  virtual Status ListDirectory(const std::string& path,
                               std::vector<DirEntry>* entries) = 0;

  // kInvalidFileAttributes when the path cannot be examined.
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  // Only the read-only bit is acted on by the POSIX side; other bits are
  // ignored there.
  virtual Status SetAttributes(const std::string& path,
                               uint32_t attributes) = 0;

  // Opens an existing file for reading with no sharing (on Windows other
  // openers fail while it is held). Null when it cannot be opened.
  virtual std::unique_ptr<OpenFileHandle> OpenExistingNoShare(
      const std::string& path) = 0;
};

// The process's real file system. Never null; lives until the process ends.
FileSystem* DefaultFileSystem();

// Forwards every call to `target` (not owned). Tests derive from it and
// override the one call they want to fail.
class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem* target) : target_(target) {}

  bool FileExists(const std::string& path) override {
    return target_->FileExists(path);
  }
  bool DirectoryExists(const std::string& path) override {
    return target_->DirectoryExists(path);
  }
  Status ListDirectory(const std::string& path,
                       std::vector<DirEntry>* entries) override {
    return target_->ListDirectory(path, entries);
  }
  uint32_t GetAttributes(const std::string& path) override {
    return target_->GetAttributes(path);
  }
  Status SetAttributes(const std::string& path, uint32_t attributes) override {
    return target_->SetAttributes(path, attributes);
  }
  std::unique_ptr<OpenFileHandle> OpenExistingNoShare(
      const std::string& path) override {
    return target_->OpenExistingNoShare(path);
  }

 protected:
  FileSystem* target() const { return target_; }

 private:
  FileSystem* target_;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_FILE_SYSTEM_H_
