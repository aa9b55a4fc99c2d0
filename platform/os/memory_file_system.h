// MemoryFileSystem: a FileSystem held in memory, for tests that must not
// touch the disk. Paths are taken as they are, "\" and "/" alike, and
// compared exactly (letter case included); folders exist when made with
// MakeFolder or when a file is put below them. Locks are not waited for: a
// second LockForUpdate of a locked file fails, since a test's single thread
// could never see it released.
#ifndef TAVIK_PLATFORM_OS_MEMORY_FILE_SYSTEM_H_
#define TAVIK_PLATFORM_OS_MEMORY_FILE_SYSTEM_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/os/file_system.h"

namespace tavik {

class MemoryFileSystem : public FileSystem {
 public:
  // Puts a file with `contents` at `path`, making the folders above it.
  void PutFile(const std::string& path, const std::string& contents);
  // Makes the folder and the folders above it.
  void MakeFolder(const std::string& path);
  // Removes the file or the folder with everything below it.
  void Remove(const std::string& path);
  // The file's contents; "" when there is no such file.
  std::string Contents(const std::string& path) const;
  // The names of the entries directly in `folder`, sorted.
  std::vector<std::string> Names(const std::string& folder) const;

  bool FileExists(const std::string& path) override;
  bool DirectoryExists(const std::string& path) override;
  Result<DirListing> ListDirectory(const std::string& path) override;
  Result<uint32_t> GetAttributes(const std::string& path) override;
  Status SetAttributes(const std::string& path, uint32_t attributes) override;
  Result<std::unique_ptr<OpenFileHandle>> OpenExistingNoShare(
      const std::string& path) override;
  Result<std::unique_ptr<LockedFile>> LockForUpdate(
      const std::string& path, std::chrono::milliseconds wait_limit) override;
  Result<std::string> ReadLockedFile(LockedFile* file) override;
  Result<std::string> ReadWholeFile(const std::string& path) override;
  // Reads the contents as they were when it was opened.
  Result<std::unique_ptr<InputFile>> OpenForReading(
      const std::string& path) override;
  Result<std::unique_ptr<TempFile>> CreateTempFile(
      const std::string& target) override;
  Status AppendToFile(TempFile* file, const char* data, size_t size) override;
  Status FlushFile(TempFile* file) override;
  Status ReplaceLockedFile(LockedFile* target, TempFile* replacement) override;
  Status WriteLockedFileAt(LockedFile* file, uint64_t offset, const char* data,
                           size_t size) override;
  Status FlushLockedFile(LockedFile* file) override;
  Result<std::unique_ptr<LockedFile>> InstallNewFile(TempFile* replacement,
                                                     const std::string& target,
                                                     bool overwrite) override;
  Status DeleteTempFile(TempFile* file) override;

 private:
  struct Node {
    bool folder = false;
    bool read_only = false;
    std::string contents;
  };
  class Locked;
  class Temp;

  static std::string Key(const std::string& path);
  Node* Find(const std::string& path);
  Result<std::unique_ptr<LockedFile>> Lock(const std::string& path);

  std::map<std::string, Node> nodes_;  // by Key(path)
  std::set<std::string> locked_;       // keys of locked files
  int next_temp_ = 0;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_MEMORY_FILE_SYSTEM_H_
