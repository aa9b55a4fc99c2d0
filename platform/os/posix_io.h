// The POSIX I/O that every writer of a file shares: errno turned into a
// Status, whole reads and writes that survive EINTR, flock locks, files
// written and renamed into place durably. POSIX only (there is no Windows
// half); the file system and the registry store's hive files are built on
// it.
#ifndef TAVIK_PLATFORM_OS_POSIX_IO_H_
#define TAVIK_PLATFORM_OS_POSIX_IO_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/status.h"
#include "platform/os/large_memory.h"

namespace tavik {
namespace posix_io {

// "`what`: <strerror>", coded NotFound (ENOENT, ENOTDIR), AccessDenied
// (EACCES, EPERM, EROFS) or IoError, with `err` as its os_error().
Status ErrnoStatus(const std::string& what, int err);

// flock(fd, operation), retried while interrupted. 0 or -1 with errno set.
int LockFd(int fd, int operation);

// As LockFd, but waits at most `timeout_ms` for a lock another holds (0:
// only tries): -1 with errno EWOULDBLOCK when the time ran out. The wait
// is a detached thread blocked in flock on a duplicate of `fd`; after a
// timeout it ends by itself once it gets the lock (and drops it at once),
// or with the process.
int LockFdWithin(int fd, int operation, uint32_t timeout_ms);

// The whole contents of the open file `fd`, read from offset 0 to its end
// (also when it grows meanwhile). `path` names the file in messages.
Status ReadFd(int fd, const std::string& path, std::string* contents);
// At most `max_bytes` from byte `offset` on (fewer only at the end).
Status ReadFdRange(int fd, const std::string& path, uint64_t offset,
                   uint64_t max_bytes, LargeString* contents);

// The whole contents of the file at `path`; NotFound when there is none.
Status ReadFile(const std::string& path, std::string* contents);

// Writes all `size` bytes at the descriptor's position.
Status WriteFd(int fd, const char* data, size_t size, const std::string& path);

// Who a file belongs to, and its permission bits.
struct FileOwnership {
  uint32_t uid = 0;
  uint32_t gid = 0;
  unsigned mode = 0644;
};

// Creates `path` anew (removing a file left there first) with exactly the
// permission bits `as.mode`, and as far as the process may the owner and
// group of `as` (see GiveTo), before any content is written; then writes
// `contents` and forces them to disk. On failure no file is left at `path`.
Status WriteNewFile(const std::string& path, const std::string& contents,
                    const FileOwnership& as);

// Gives the open file `fd` the owner `uid` and group `gid` when they are not
// its own already, or when that is refused (only root may give a file away)
// the group alone, which a user may give to a group of theirs; then sets
// `mode` exactly, last, as a change of owner may clear set-id bits. Owner
// and group are best effort; false (errno set) when the mode is refused.
bool GiveTo(int fd, uint32_t uid, uint32_t gid, unsigned mode);

// rename(from, to), then makes the rename itself durable by syncing the
// folder of `to` (best effort: some file systems refuse, and the rename has
// happened anyway).
Status DurableRename(const std::string& from, const std::string& to);

// fsync of the folder, best effort (see DurableRename).
void SyncFolder(const std::string& folder);

// The folder part of a "/"-separated path: "." for a bare name, "/" for a
// name in the root.
std::string FolderOf(const std::string& path);

}  // namespace posix_io
}  // namespace tavik

#endif  // TAVIK_PLATFORM_OS_POSIX_IO_H_
