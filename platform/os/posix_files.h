// PosixFiles: the file calls of a POSIX writer that keeps whole files
// beside a lock file (the registry store's hives), behind one interface so
// that a test can make a single call fail (see ForwardingPosixFiles). The
// real one is built on the POSIX I/O helper (posix_io.h). POSIX only; paths
// are native ("/"-separated).
#ifndef TAVIK_PLATFORM_OS_POSIX_FILES_H_
#define TAVIK_PLATFORM_OS_POSIX_FILES_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/base/result.h"
#include "platform/base/status.h"
#include "platform/os/posix_io.h"

namespace tavik {

using posix_io::FileOwnership;

// An open lock file; closing it (destruction) releases its lock.
class HeldLockFile {
 public:
  virtual ~HeldLockFile() = default;
};

class PosixFiles {
 public:
  virtual ~PosixFiles() = default;

  // Files and folders these calls create belong to whoever runs them, but
  // for root: what root creates takes the owner and group of the folder it
  // is made in, so that root's run in a user's store (sudo, a service)
  // leaves the store the user's, writable by the user's next run.

  // Creates `dir` and the folders above it that are missing, as far as the
  // process may; what cannot be made is left for the later calls to find.
  virtual void MakeFolders(const std::string& dir) = 0;
  // True when the process (its effective ids) may write `path`.
  virtual bool MayWrite(const std::string& path) = 0;
  // Owner, group and permission bits of the file or folder at `path`
  // (links followed); fails when there is none.
  virtual Result<FileOwnership> Ownership(const std::string& path) = 0;
  // The owner and group that a file made at `path` gets (the process's, or
  // for root the folder's), with mode 0644.
  virtual FileOwnership OwnershipOfNew(const std::string& path) = 0;

  // Opens the lock file `path`: for writing, creating it (mode 0644), when
  // `exclusive`, else for reading. Fails when it cannot be opened.
  virtual Result<std::unique_ptr<HeldLockFile>> OpenLockFile(
      const std::string& path, bool exclusive) = 0;
  // Takes the lock of a lock file, exclusive or shared as the file was
  // opened, waiting while another holder has it but no longer than
  // `timeout_ms` (0: only tries). When the time runs out it fails with
  // os_error() EWOULDBLOCK.
  virtual Status Lock(HeldLockFile* file, uint32_t timeout_ms) = 0;

  // The whole contents of `path`. NotFound with os_error() ENOENT when
  // there is no such file (as opposed to, say, ENOTDIR).
  virtual Result<std::string> ReadFile(const std::string& path) = 0;
  // Creates `path` anew with exactly the permission bits `as.mode` (the
  // umask plays no part) and, as far as the process may, the owner and
  // group of `as` (root: both; others: the group when it is one of theirs),
  // all before any content is written; then writes `contents` and forces
  // them to disk. On failure no file is left at `path`.
  virtual Status WriteNewFile(const std::string& path,
                              const std::string& contents,
                              const FileOwnership& as) = 0;
  // Renames `from` over `to` and makes the rename durable.
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  virtual Status Remove(const std::string& path) = 0;
};

// The real calls. Never null; lives until the process ends.
PosixFiles* DefaultPosixFiles();

// Forwards every call to `target` (not owned). Tests derive from it and
// override the one call they want to fail.
class ForwardingPosixFiles : public PosixFiles {
 public:
  explicit ForwardingPosixFiles(PosixFiles* target) : target_(target) {}

  void MakeFolders(const std::string& dir) override {
    target_->MakeFolders(dir);
  }
  bool MayWrite(const std::string& path) override {
    return target_->MayWrite(path);
  }
  Result<FileOwnership> Ownership(const std::string& path) override {
    return target_->Ownership(path);
  }
  FileOwnership OwnershipOfNew(const std::string& path) override {
    return target_->OwnershipOfNew(path);
  }
  Result<std::unique_ptr<HeldLockFile>> OpenLockFile(const std::string& path,
                                                     bool exclusive) override {
    return target_->OpenLockFile(path, exclusive);
  }
  Status Lock(HeldLockFile* file, uint32_t timeout_ms) override {
    return target_->Lock(file, timeout_ms);
  }
  Result<std::string> ReadFile(const std::string& path) override {
    return target_->ReadFile(path);
  }
  Status WriteNewFile(const std::string& path, const std::string& contents,
                      const FileOwnership& as) override {
    return target_->WriteNewFile(path, contents, as);
  }
  Status Rename(const std::string& from, const std::string& to) override {
    return target_->Rename(from, to);
  }
  Status Remove(const std::string& path) override {
    return target_->Remove(path);
  }

 private:
  PosixFiles* target_;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_POSIX_FILES_H_
