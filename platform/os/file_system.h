// FileSystem: every file-system call the tool makes, behind one interface so
// that tests can make a single call fail (see ForwardingFileSystem).
//
// Paths are UTF-8 and may use "\" or "/" as separators. The Windows side
// converts them to UTF-16 and calls the wide API. The POSIX side maps every
// "\" to "/" at the system boundary, so the tool's "\"-separated paths work
// unchanged; the price is that a POSIX file whose name holds a backslash
// cannot be addressed.
#ifndef TAVIK_PLATFORM_OS_FILE_SYSTEM_H_
#define TAVIK_PLATFORM_OS_FILE_SYSTEM_H_

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/result.h"
#include "platform/base/status.h"
#include "platform/os/large_memory.h"

namespace tavik {

// Windows file attribute bits. On POSIX only the read-only bit has a meaning:
// it is set exactly when the owner has no write permission, the mapping that
// Windows compatibility layers use.
constexpr uint32_t kFileAttributeReadOnly = 0x1;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeNormal = 0x80;

struct DirEntry {
  std::string name;  // UTF-8; on POSIX the name's bytes as stored
  bool is_directory = false;
  bool is_regular_file = false;  // after following a symbolic link
};
// A folder of a library's media holds hundreds of thousands of files: its
// listing is large memory.
using DirListing = LargeVector<DirEntry>;

// An open handle that does nothing but stay open; closing is destruction.
class OpenFileHandle {
 public:
  virtual ~OpenFileHandle() = default;
};

// How long a run waits for the lock of a library another run holds before
// it gives up: a holder that hangs must not block every later run.
constexpr std::chrono::milliseconds kLibraryLockWaitLimit{60000};

// How long a call on a library file waits, in all, for another program
// that holds the file open for a moment to let go (see ReplaceLockedFile).
// Virus scanners and search indexers open a file just written, typically
// for tens to a few hundred milliseconds; five seconds covers a slow scan
// of a large library while an installer that runs the tool still sees a
// failure soon enough to report it.
constexpr std::chrono::milliseconds kHeldFileWaitLimit{5000};

// A library file held for update under an exclusive lock, released when the
// handle is destroyed. Another LockForUpdate of the same file (from any
// process) waits until then.
class LockedFile {
 public:
  virtual ~LockedFile() = default;
  virtual const std::string& path() const = 0;
};

// A temporary file being written beside its target. Destroying the handle
// closes the file but leaves it on disk: DeleteTempFile removes it, and
// ReplaceLockedFile / InstallNewFile consume it.
class TempFile {
 public:
  virtual ~TempFile() = default;
  virtual const std::string& path() const = 0;
};

// A file open for reading from its start, closed when destroyed.
class InputFile {
 public:
  virtual ~InputFile() = default;
  // Reads up to `size` bytes from where the last read ended into `buffer`:
  // the count read, which may be less than `size` before the end, and 0
  // only at the end of the file (or for a `size` of 0). Interrupted reads
  // are retried. After a failure the position is unknown.
  virtual Result<size_t> Read(char* buffer, size_t size) = 0;
  // At most `max_bytes` from byte `offset` on, into large memory: fewer
  // only at the end of the file, none from past it. Afterwards the position
  // of Read is unknown. NotSupported for a stream (the default).
  virtual Result<LargeString> ReadAt(uint64_t /*offset*/,
                                     uint64_t /*max_bytes*/) {
    return Status::NotSupported("not readable in ranges");
  }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when a regular file (after links) / a folder is at `path`.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool DirectoryExists(const std::string& path) = 0;

  // The folder's entries in the order the system gives, "." and ".."
  // included. Fails when the folder cannot be listed.
  virtual Result<DirListing> ListDirectory(const std::string& path) = 0;
  // The same entries, handed to `visit` one at a time as they are read, so
  // that a folder of hundreds of thousands of files is never held whole
  // as DirEntry values beside what the caller makes of them. Fails as
  // ListDirectory does; entries handed over before a failure are then not
  // the whole folder. The default lists the folder with ListDirectory (so
  // a test double that overrides ListDirectory is honoured); the POSIX
  // file system reads the folder entry by entry.
  virtual Status VisitDirectory(
      const std::string& path,
      const std::function<void(const DirEntry&)>& visit) {
    Result<DirListing> entries = ListDirectory(path);
    if (!entries.ok()) return entries.status();
    for (const DirEntry& entry : *entries) visit(entry);
    return Status::Ok();
  }

  // True when the listing of the folder at `path` answers for every name in
  // it: a name the listing does not hold reaches no entry of the folder,
  // because the file system compares names byte for byte. False when
  // another spelling may reach a listed entry (letter case, Unicode forms:
  // Windows, case-folding POSIX file systems and folders) or when it cannot
  // be told; callers then ask FileExists. The default answers false.
  virtual bool ListingIsExact(const std::string& /*path*/) { return false; }
  // True when ListDirectory and ListingIsExact may be called from several
  // threads at once (the real file systems); callers then list folders side
  // by side. The default, and every test double, answers false.
  virtual bool ListsConcurrently() { return false; }

  // The path's attribute bits. Fails when the path cannot be examined.
  virtual Result<uint32_t> GetAttributes(const std::string& path) = 0;
  // Only the read-only bit is acted on by the POSIX side; other bits are
  // ignored there. On Windows a refusal that another program's open can
  // cause is retried as ReplaceLockedFile's is.
  virtual Status SetAttributes(const std::string& path,
                               uint32_t attributes) = 0;

  // Opens an existing file for reading with no sharing (on Windows other
  // openers fail while it is held). Fails when it cannot be opened; the
  // handle is never null.
  virtual Result<std::unique_ptr<OpenFileHandle>> OpenExistingNoShare(
      const std::string& path) = 0;

  // --- Atomic replacement of a library file ---------------------------
  //
  // The calls are separate so that a test can fail each step. Handles are
  // only ever given back to the file system that made them. The real file
  // systems implement all of them; the defaults (NotSupported) keep
  // test doubles that derive from FileSystem directly compiling.

  // Like FileExists, but a file that a run of this program is replacing
  // (ReplaceLockedFile) at that moment still counts as present. A miss is
  // trusted only when asked again while holding the path's mutex, so that
  // no such run can be replacing the file meanwhile: on Windows the replace
  // may leave the name empty for an instant (Wine's always does, moving
  // the old file away before the new one takes its place), and a check
  // made then would call a library missing that never was. Waits no longer
  // than `wait_limit` for the replacing run. POSIX renames are atomic, so
  // there, and by default, this is FileExists.
  virtual bool UpdatableFileExists(const std::string& path,
                                   std::chrono::milliseconds /*wait_limit*/) {
    return FileExists(path);
  }

  // Opens an existing file for update and takes its exclusive lock, waiting
  // while another holder has it, but no longer than `wait_limit` in all:
  // then it fails (IoError) and the file is untouched. A symbolic link is
  // followed: the lock, and later replaces, are on the file it names.
  // Temporary files of this file that no live run owns (left by a killed
  // run) are removed once the lock is held. Because a commit renames a new file
  // over the path, the lock taken may turn out to be on a file that has since
  // been replaced; the opener then checks that the path still names the
  // file it locked and starts over otherwise, so the lock returned is
  // always the one on the current file.
  //   POSIX: flock(LOCK_EX) on a descriptor opened read-write, identity by
  //   device and inode. Windows: LockFileEx (exclusive, on a byte range far
  //   past any data, so reads are never blocked) on a handle that shares
  //   read, write and delete, so the replace call can still rename and
  //   delete the file while it is held; an open that meets a sharing
  //   violation (a replace in progress) is retried. Identity by volume
  //   serial and file index. Runs of this program on one machine first
  //   take a named mutex of the file's full path, which, unlike the file's
  //   own lock, outlives a replace (see CreateTempFile).
  virtual Result<std::unique_ptr<LockedFile>> LockForUpdate(
      const std::string& /*path*/, std::chrono::milliseconds /*wait_limit*/) {
    return Unsupported();
  }
  // The locked file's whole contents, read from its start.
  virtual Result<std::string> ReadLockedFile(LockedFile* /*file*/) {
    return Unsupported();
  }
  // At most `max_bytes` of the locked file from byte `offset` on: fewer
  // only at the end of the file, none from past it. The real file systems
  // read just that range; by default the file is read whole and cut.
  virtual Result<LargeString> ReadLockedFileRange(LockedFile* file,
                                                  uint64_t offset,
                                                  uint64_t max_bytes) {
    Result<std::string> whole = ReadLockedFile(file);
    if (!whole.ok()) return whole.status();
    if (offset >= whole->size()) return LargeString();
    return LargeString(whole->data() + offset,
                       static_cast<size_t>(std::min<uint64_t>(
                           max_bytes, whole->size() - offset)));
  }
  // The whole contents of `path`, without any lock. On Windows a file
  // caught in a replace by a run of this program (see UpdatableFileExists)
  // is read once the replace is over.
  virtual Result<std::string> ReadWholeFile(const std::string& /*path*/) {
    return Unsupported();
  }

  // Opens an existing file to be read piece by piece from its start, for
  // files too large to hold whole, or in ranges (ReadAt). Others may read,
  // write, rename and delete the file meanwhile (what they write may or may
  // not be seen): the reader never holds up a run that replaces the file,
  // and on Windows a file caught in a replace is opened once it is over, as
  // by ReadWholeFile. Fails when it cannot be opened (NotFound when there is
  // no such file); the handle is never null.
  virtual Result<std::unique_ptr<InputFile>> OpenForReading(
      const std::string& /*path*/) {
    return Unsupported();
  }

  // Creates a new, empty temporary file in the folder of `target` (named
  // after it, with a suffix no other file has). When `target` exists the
  // new file has its permission bits from the moment it is created,
  // whatever the umask.
  //   POSIX: the file is locked at once, so when it is renamed into place
  //   the lock travels with it and the new library is locked from its first
  //   moment.
  //   Windows: the replace call opens the replacement without sharing, so
  //   the new file can only be locked right after it has taken the name.
  //   The old file stays locked until then, which keeps every opener that
  //   was already waiting out; only an opener arriving in that moment can
  //   win the new file's lock, and then ReplaceLockedFile reports success
  //   (the file was saved) but the LockedFile is lost: later replaces
  //   through it fail instead of overwriting that opener's changes.
  virtual Result<std::unique_ptr<TempFile>> CreateTempFile(
      const std::string& /*target*/) {
    return Unsupported();
  }
  virtual Status AppendToFile(TempFile* /*file*/, const char* /*data*/,
                              size_t /*size*/) {
    return Unsupported();
  }
  // Forces the file's contents to the disk (fsync / FlushFileBuffers).
  virtual Status FlushFile(TempFile* /*file*/) { return Unsupported(); }
  // Atomically puts `replacement` in place of the locked file: afterwards
  // `target` holds the lock on the new file at the same path, the old
  // file's lock is released, and `replacement` is consumed. The new file
  // takes over the old one's permission bits (POSIX) or identity, i.e.
  // attributes, security and creation time (Windows, ReplaceFileW; a plain
  // MoveFileExW only if the target vanished meanwhile). On failure both
  // files are as they were; the one exception is a Windows library that
  // vanished while the move failed too: the new contents then stay in the
  // temporary file, whose path the message gives, and DeleteTempFile keeps
  // it.
  //   On Windows another program that holds the library open without
  //   sharing deletion (a scanner looking at the file just written) makes
  //   the replace fail with a sharing violation or an access refusal while
  //   it holds it. Those refusals are retried, at growing intervals, for at
  //   most kHeldFileWaitLimit in all; the debug output says what was waited
  //   for and how long. The same holds for SetAttributes and DeleteTempFile.
  //   POSIX renames are not refused by other openers.
  virtual Status ReplaceLockedFile(LockedFile* /*target*/,
                                   TempFile* /*replacement*/) {
    return Unsupported();
  }
  // Overwrites `size` bytes at `offset` of the locked file in place
  // (pwrite / WriteFile at an offset). The file's other bytes are not
  // touched; a failure may leave any part of the range written.
  virtual Status WriteLockedFileAt(LockedFile* /*file*/, uint64_t /*offset*/,
                                   const char* /*data*/, size_t /*size*/) {
    return Unsupported();
  }
  // Forces what was written to the locked file to the disk (fdatasync /
  // FlushFileBuffers).
  virtual Status FlushLockedFile(LockedFile* /*file*/) { return Unsupported(); }
  // Renames `replacement` to `target`, which must not exist unless
  // `overwrite`, and returns the lock on the new file.
  virtual Result<std::unique_ptr<LockedFile>> InstallNewFile(
      TempFile* /*replacement*/, const std::string& /*target*/,
      bool /*overwrite*/) {
    return Unsupported();
  }
  // Closes and deletes a temporary file that was not consumed. Does nothing
  // for one that was consumed, or that a failed replace left as the only
  // copy of the new contents (its path is then in the replace's message).
  virtual Status DeleteTempFile(TempFile* /*file*/) { return Unsupported(); }

 private:
  static Status Unsupported() {
    return Status::NotSupported("not supported by this file system");
  }
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
  bool UpdatableFileExists(const std::string& path,
                           std::chrono::milliseconds wait_limit) override {
    return target_->UpdatableFileExists(path, wait_limit);
  }
  bool DirectoryExists(const std::string& path) override {
    return target_->DirectoryExists(path);
  }
  Result<DirListing> ListDirectory(const std::string& path) override {
    return target_->ListDirectory(path);
  }
  bool ListingIsExact(const std::string& path) override {
    return target_->ListingIsExact(path);
  }
  Result<uint32_t> GetAttributes(const std::string& path) override {
    return target_->GetAttributes(path);
  }
  Status SetAttributes(const std::string& path, uint32_t attributes) override {
    return target_->SetAttributes(path, attributes);
  }
  Result<std::unique_ptr<OpenFileHandle>> OpenExistingNoShare(
      const std::string& path) override {
    return target_->OpenExistingNoShare(path);
  }
  Result<std::unique_ptr<LockedFile>> LockForUpdate(
      const std::string& path, std::chrono::milliseconds wait_limit) override {
    return target_->LockForUpdate(path, wait_limit);
  }
  Result<std::string> ReadLockedFile(LockedFile* file) override {
    return target_->ReadLockedFile(file);
  }
  Result<LargeString> ReadLockedFileRange(LockedFile* file, uint64_t offset,
                                          uint64_t max_bytes) override {
    return target_->ReadLockedFileRange(file, offset, max_bytes);
  }
  Result<std::string> ReadWholeFile(const std::string& path) override {
    return target_->ReadWholeFile(path);
  }
  Result<std::unique_ptr<InputFile>> OpenForReading(
      const std::string& path) override {
    return target_->OpenForReading(path);
  }
  Result<std::unique_ptr<TempFile>> CreateTempFile(
      const std::string& target) override {
    return target_->CreateTempFile(target);
  }
  Status AppendToFile(TempFile* file, const char* data, size_t size) override {
    return target_->AppendToFile(file, data, size);
  }
  Status FlushFile(TempFile* file) override { return target_->FlushFile(file); }
  Status ReplaceLockedFile(LockedFile* target, TempFile* replacement) override {
    return target_->ReplaceLockedFile(target, replacement);
  }
  Status WriteLockedFileAt(LockedFile* file, uint64_t offset, const char* data,
                           size_t size) override {
    return target_->WriteLockedFileAt(file, offset, data, size);
  }
  Status FlushLockedFile(LockedFile* file) override {
    return target_->FlushLockedFile(file);
  }
  Result<std::unique_ptr<LockedFile>> InstallNewFile(TempFile* replacement,
                                                     const std::string& target,
                                                     bool overwrite) override {
    return target_->InstallNewFile(replacement, target, overwrite);
  }
  Status DeleteTempFile(TempFile* file) override {
    return target_->DeleteTempFile(file);
  }

 protected:
  FileSystem* target() const { return target_; }

 private:
  FileSystem* target_;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_FILE_SYSTEM_H_
