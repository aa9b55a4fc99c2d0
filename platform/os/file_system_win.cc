#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <limits>

#include "platform/base/debug_output.h"
#include "platform/os/file_system.h"
#include "platform/os/win_text.h"

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

// Refusals that another process's open of the file can cause: a sharing
// violation, a lock, or (a holder that shares no deletion, or a delete
// pending on the file) an access refusal, which a real permission problem
// also gives; that case then fails only after the wait.
bool MayBeHeldByAnother(DWORD err) {
  return err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION ||
         err == ERROR_ACCESS_DENIED || err == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

// Calls `call` (a Windows call giving a BOOL) until it succeeds, fails for a
// reason no holder explains, or kHeldFileWaitLimit has passed; the pause
// doubles from 10 ms up to 250 ms. GetLastError() is the last call's.
template <typename Call>
bool RetryWhileHeld(const std::string& path, const char* what, Call call) {
  const ULONGLONG start = ::GetTickCount64();
  const ULONGLONG limit = static_cast<ULONGLONG>(kHeldFileWaitLimit.count());
  DWORD pause = 10;
  DWORD first_refusal = 0;
  for (;;) {
    if (call()) {
      if (first_refusal != 0) {
        DebugPrint(
            "%s was held open by another program (error %lu); waited "
            "%.2f s to %s it\n",
            path.c_str(), static_cast<unsigned long>(first_refusal),
            (::GetTickCount64() - start) / 1000.0, what);
      }
      return true;
    }
    DWORD err = ::GetLastError();
    ULONGLONG waited = ::GetTickCount64() - start;
    if (!MayBeHeldByAnother(err) || waited >= limit) {
      if (first_refusal != 0) {
        DebugPrint(
            "%s stayed held by another program (error %lu); gave up "
            "trying to %s it after %.2f s\n",
            path.c_str(), static_cast<unsigned long>(err), what,
            waited / 1000.0);
      }
      ::SetLastError(err);
      return false;
    }
    if (first_refusal == 0) first_refusal = err;
    ::Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, limit - waited)));
    pause = std::min<DWORD>(pause * 2, 250);
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

// The lock is a byte range far past any data, so it never blocks reads of
// the contents (Windows byte-range locks are mandatory).
constexpr DWORD kLockOffsetLow = 0xFFFFFFFE;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

// Every handle the package keeps shares read, write and delete, so that the
// replace call (which renames and deletes) and other lockers can open the
// file; exclusion comes from the lock alone.
constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool LockHandle(HANDLE handle, bool wait) {
  OVERLAPPED overlapped = {};
  overlapped.Offset = kLockOffsetLow;
  overlapped.OffsetHigh = kLockOffsetHigh;
  DWORD flags =
      LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
  return ::LockFileEx(handle, flags, 0, 1, 0, &overlapped) != FALSE;
}

// The named mutex that runs of this program take before the file's own
// lock. The file lock dies with the file at every replace, and an opener
// that arrives in the moment before the replacing run has locked the new
// file would win it; the mutex is named after the path, so it outlives the
// replace and keeps such openers waiting until the holder is done.
class PathMutex {
 public:
  explicit PathMutex(HANDLE mutex) : mutex_(mutex) {}
  // Released by the thread that took it, as Windows requires: a Package is
  // destroyed by the thread that opened it.
  ~PathMutex() {
    ::ReleaseMutex(mutex_);
    ::CloseHandle(mutex_);
  }

 private:
  HANDLE mutex_;
};

// "Tavik.library.<hash>" of the full, upper-cased path, in the machine-wide
// namespace when allowed, else the session's. Spellings that the full path
// does not unify (links, short names) get different mutexes and are kept
// apart by the file lock alone, as before.
HANDLE OpenPathMutex(const std::wstring& full) {
  std::wstring upper = full;
  if (!upper.empty()) {
    ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
  }
  uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (wchar_t c : upper) {
    hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
  }
  wchar_t name[64];
  for (const wchar_t* space : {L"Global", L"Local"}) {
    std::swprintf(name, 64, L"%ls\\Tavik.library.%016llx", space,
                  static_cast<unsigned long long>(hash));
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
    if (mutex != nullptr) return mutex;
  }
  return nullptr;
}

DWORD RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
}

class WinLockedFile : public LockedFile {
 public:
  WinLockedFile(HANDLE handle, std::string path, std::wstring wide,
                std::unique_ptr<PathMutex> mutex)
      : handle_(handle),
        path_(std::move(path)),
        wide_(std::move(wide)),
        mutex_(std::move(mutex)) {}
  ~WinLockedFile() override {
    CloseWriter();
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    mutex_.reset();  // after the file's lock is gone
  }
  const std::string& path() const override { return path_; }
  const std::wstring& wide() const { return wide_; }
  HANDLE handle() const { return handle_; }
  void Swap(HANDLE handle) {
    CloseWriter();
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = handle;
  }
  // A handle with write access on the same file, for writes in place;
  // opened on first use (the lock handle itself is read-only, so that the
  // replace call can share with it) and closed with the lock.
  HANDLE writer() const { return writer_; }
  void SetWriter(HANDLE writer) {
    CloseWriter();
    writer_ = writer;
  }
  void CloseWriter() {
    if (writer_ != INVALID_HANDLE_VALUE) ::CloseHandle(writer_);
    writer_ = INVALID_HANDLE_VALUE;
  }
  // Another opener took the new file's lock before we could (see
  // ReplaceLockedFile); from now on this handle must not replace the file.
  void MarkLost() {
    Swap(INVALID_HANDLE_VALUE);
    lost_ = true;
  }
  bool lost() const { return lost_; }

 private:
  HANDLE handle_;
  HANDLE writer_ = INVALID_HANDLE_VALUE;
  std::string path_;
  std::wstring wide_;
  std::unique_ptr<PathMutex> mutex_;
  bool lost_ = false;
};

class WinInputFile : public InputFile {
 public:
  WinInputFile(HANDLE handle, std::string path)
      : handle_(handle), path_(std::move(path)) {}
  ~WinInputFile() override { ::CloseHandle(handle_); }
  Result<size_t> Read(char* buffer, size_t size) override {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!::ReadFile(handle_, buffer, chunk, &read, nullptr)) {
      return LastErrorStatus("can't read " + path_);
    }
    return static_cast<size_t>(read);
  }
  Result<LargeString> ReadAt(uint64_t offset, uint64_t max_bytes) override;

 private:
  HANDLE handle_;
  std::string path_;
};

class WinTempFile : public TempFile {
 public:
  WinTempFile(HANDLE handle, std::string path, std::wstring wide)
      : handle_(handle), path_(std::move(path)), wide_(std::move(wide)) {}
  ~WinTempFile() override { Close(); }
  const std::string& path() const override { return path_; }
  const std::wstring& wide() const { return wide_; }
  HANDLE handle() const { return handle_; }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  // Done with: renamed into place, or left as the only copy of the new
  // contents; DeleteTempFile must not remove it.
  void MarkConsumed() { consumed_ = true; }
  bool consumed() const { return consumed_; }

 private:
  HANDLE handle_;
  std::string path_;
  std::wstring wide_;
  bool consumed_ = false;
};

// At most `max_bytes` of the file from `from` on (fewer at its end).
template <typename String>
Status ReadHandle(HANDLE handle, const std::string& path, String* contents,
                  uint64_t from = 0,
                  uint64_t max_bytes = std::numeric_limits<uint64_t>::max()) {
  contents->clear();
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle, &size)) {
    return LastErrorStatus("can't examine " + path);
  }
  const uint64_t total = static_cast<uint64_t>(size.QuadPart);
  const uint64_t wanted =
      total > from ? std::min<uint64_t>(total - from, max_bytes) : 0;
  if (wanted > contents->max_size()) {
    return Status::IoError(path + " is too large");
  }
  contents->resize(static_cast<size_t>(wanted));
  size_t filled = 0;
  while (filled < contents->size()) {
    size_t chunk = contents->size() - filled;
    if (chunk > (1u << 30)) chunk = 1u << 30;
    OVERLAPPED at = {};
    unsigned long long offset = from + filled;
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!::ReadFile(handle, &(*contents)[filled], static_cast<DWORD>(chunk),
                    &read, &at)) {
      Status s = LastErrorStatus("can't read " + path);
      contents->clear();
      return s;
    }
    if (read == 0) break;  // shrank meanwhile
    filled += read;
  }
  contents->resize(filled);
  return Status::Ok();
}

Result<LargeString> WinInputFile::ReadAt(uint64_t offset, uint64_t max_bytes) {
  LargeString contents;
  Status s = ReadHandle(handle_, path_, &contents, offset, max_bytes);
  if (!s.ok()) return s;
  return contents;
}

bool SameFile(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return ::GetFileInformationByHandle(a, &ia) &&
         ::GetFileInformationByHandle(b, &ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh &&
         ia.nFileIndexLow == ib.nFileIndexLow;
}

// Same file: same volume and file index, and not on its way out (a file
// replaced while we waited is delete-pending until the last handle goes).
bool StillNamedBy(HANDLE held, const std::wstring& wide) {
  BY_HANDLE_FILE_INFORMATION held_info;
  if (!::GetFileInformationByHandle(held, &held_info)) return false;
  FILE_STANDARD_INFO standard;
  if (::GetFileInformationByHandleEx(held, FileStandardInfo, &standard,
                                     sizeof(standard)) &&
      standard.DeletePending) {
    return false;
  }
  HANDLE named =
      ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION named_info;
  bool same =
      ::GetFileInformationByHandle(named, &named_info) &&
      named_info.dwVolumeSerialNumber == held_info.dwVolumeSerialNumber &&
      named_info.nFileIndexHigh == held_info.nFileIndexHigh &&
      named_info.nFileIndexLow == held_info.nFileIndexLow;
  ::CloseHandle(named);
  return same;
}

// A read-only handle on the temporary file that holds the lock: opened before
// the writer closes, so the file never stands unlocked, and read-only so the
// replace call's own opening of the file can share with it.
HANDLE OpenLockedReader(WinTempFile* temp) {
  HANDLE reader =
      ::CreateFileW(temp->wide().c_str(), GENERIC_READ, kShareAll, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return reader;
  temp->Close();
  if (!LockHandle(reader, false)) {
    ::CloseHandle(reader);
    return INVALID_HANDLE_VALUE;
  }
  return reader;
}

// A relative path made absolute against the current folder. ReplaceFileW
// is handed absolute paths: some implementations resolve the replacement's
// folder wrongly for relative ones.
std::wstring FullPath(const std::wstring& path) {
  DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  DWORD length = ::GetFullPathNameW(path.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

// Runs `ask` while holding the path's mutex, so that no run of this
// program is replacing the file meanwhile; after `wait_limit`, or without a
// mutex, runs it anyway. Asking after a wait alone is not enough: another
// run may take the mutex and start a replace in between.
template <typename Ask>
auto AskBetweenReplaces(const std::wstring& wide,
                        std::chrono::milliseconds wait_limit, Ask ask) {
  HANDLE m = OpenPathMutex(FullPath(wide));
  if (m == nullptr) return ask();
  DWORD waited =
      ::WaitForSingleObject(m, static_cast<DWORD>(std::min<long long>(
                                   wait_limit.count(), INFINITE - 1)));
  auto answer = ask();
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    ::ReleaseMutex(m);
  }
  ::CloseHandle(m);
  return answer;
}

// True for the name of a temporary file that CreateTempFile makes for the
// file `base`: "<base>.<decimal>-<hex>-<hex>.tmp".
bool IsTempNameOf(const std::wstring& name, const std::wstring& base) {
  if (name.size() <= base.size() + 5 ||
      ::CompareStringOrdinal(name.c_str(), static_cast<int>(base.size()),
                             base.c_str(), static_cast<int>(base.size()),
                             TRUE) != CSTR_EQUAL ||
      name[base.size()] != L'.' ||
      name.compare(name.size() - 4, 4, L".tmp") != 0) {
    return false;
  }
  int parts = 1;
  size_t run = 0;
  for (size_t i = base.size() + 1; i < name.size() - 4; ++i) {
    wchar_t c = name[i];
    if (c == L'-') {
      if (run == 0) return false;
      ++parts;
      run = 0;
    } else if ((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') ||
               (c >= L'A' && c <= L'F')) {
      ++run;
    } else {
      return false;
    }
  }
  return parts == 3 && run > 0;
}

// Removes the temporary files of `wide` that no live run owns. A writer
// keeps its temporary file open until the replace (which it does holding
// the library's lock, as the caller does now), so a file that opens
// without sharing is one a killed run left; it goes when that handle
// closes.
void RemoveDeadTempFiles(const std::wstring& wide) {
  size_t slash = wide.find_last_of(L"\\/");
  std::wstring folder =
      slash == std::wstring::npos ? L"" : wide.substr(0, slash + 1);
  std::wstring base =
      slash == std::wstring::npos ? wide : wide.substr(slash + 1);
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((wide + L".*.tmp").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if ((data.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !IsTempNameOf(data.cFileName, base)) {
      continue;
    }
    HANDLE dead =
        ::CreateFileW((folder + data.cFileName).c_str(), DELETE, 0, nullptr,
                      OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (dead != INVALID_HANDLE_VALUE) ::CloseHandle(dead);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
}

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

  bool ListsConcurrently() override { return true; }

  Result<DirListing> ListDirectory(const std::string& path) override {
    DirListing entries;
    std::wstring pattern;
    if (!ToWide(path, &pattern)) {
      return Status::InvalidArgument("not UTF-8: " + path);
    }
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') {
      pattern += L'\\';
    }
    pattern += L'*';
    // The basic information level leaves out the 8.3 names, and the large
    // fetch asks for the entries in big batches: one listing of a folder of
    // many thousands of files is a few calls into the system.
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
      return LastErrorStatus("can't list " + path);
    }
    do {
      DirEntry entry;
      entry.name = FromWide(data.cFileName);
      entry.is_directory =
          (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      entry.is_regular_file = !entry.is_directory;
      entries.push_back(std::move(entry));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return entries;
  }

  Result<uint32_t> GetAttributes(const std::string& path) override {
    std::wstring wide;
    if (path.empty()) return Status::NotFound("can't examine an empty path");
    if (!ToWide(path, &wide)) {
      return Status::InvalidArgument("not UTF-8: " + path);
    }
    DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return LastErrorStatus("can't examine " + path);
    }
    return static_cast<uint32_t>(attributes);
  }

  Status SetAttributes(const std::string& path, uint32_t attributes) override {
    std::wstring wide;
    if (!ToWide(path, &wide))
      return Status::InvalidArgument("not UTF-8: " + path);
    if (!RetryWhileHeld(path, "change the attributes of", [&] {
          return ::SetFileAttributesW(wide.c_str(), attributes) != FALSE;
        })) {
      return LastErrorStatus("can't change the attributes of " + path);
    }
    return Status::Ok();
  }

  Result<std::unique_ptr<OpenFileHandle>> OpenExistingNoShare(
      const std::string& path) override {
    std::wstring wide;
    if (!ToWide(path, &wide)) {
      return Status::InvalidArgument("not UTF-8: " + path);
    }
    HANDLE handle =
        ::CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      return LastErrorStatus("can't open " + path);
    }
    return std::unique_ptr<OpenFileHandle>(new WinOpenFile(handle));
  }

  bool UpdatableFileExists(const std::string& path,
                           std::chrono::milliseconds wait_limit) override {
    if (FileExists(path)) return true;
    std::wstring wide;
    if (!ToWide(path, &wide)) return false;
    return AskBetweenReplaces(wide, wait_limit,
                              [&] { return FileExists(path); });
  }

  Result<std::unique_ptr<LockedFile>> LockForUpdate(
      const std::string& path, std::chrono::milliseconds wait_limit) override {
    const auto deadline = std::chrono::steady_clock::now() + wait_limit;
    std::wstring wide;
    if (!ToWide(path, &wide)) {
      return Status::InvalidArgument("not UTF-8: " + path);
    }
    auto timed_out = [&] {
      return Status::IoError(path +
                             " is locked by another run; gave up after " +
                             std::to_string(wait_limit.count()) + " ms");
    };
    std::unique_ptr<PathMutex> mutex;
    if (HANDLE m = OpenPathMutex(FullPath(wide))) {
      DWORD waited = ::WaitForSingleObject(m, RemainingMs(deadline));
      // An abandoned mutex was held by a run that died: the file's own lock
      // went with it, and the file is whole (replaces are atomic).
      if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        ::CloseHandle(m);
        return timed_out();
      }
      mutex = std::make_unique<PathMutex>(m);
    }
    // The file lock still keeps out other programs, and runs that name the
    // file differently. A sharing violation means a replace (or a foreign
    // no-share opener) has the file for a moment: try again.
    for (;;) {
      HANDLE handle =
          ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        if (::GetLastError() == ERROR_SHARING_VIOLATION) {
          if (RemainingMs(deadline) == 0) return timed_out();
          ::Sleep(10);
          continue;
        }
        return LastErrorStatus("can't open " + path);
      }
      // LockFileEx waits without a limit; polled instead, at growing
      // intervals up to 50 ms.
      DWORD pause = 1;
      while (!LockHandle(handle, false)) {
        DWORD err = ::GetLastError();
        if (err != ERROR_LOCK_VIOLATION && err != ERROR_IO_PENDING) {
          Status s = LastErrorStatus("can't lock " + path);
          ::CloseHandle(handle);
          return s;
        }
        DWORD left = RemainingMs(deadline);
        if (left == 0) {
          ::CloseHandle(handle);
          return timed_out();
        }
        ::Sleep(std::min(pause, left));
        pause = std::min<DWORD>(pause * 2, 50);
      }
      if (StillNamedBy(handle, wide)) {
        RemoveDeadTempFiles(wide);
        return std::unique_ptr<LockedFile>(
            new WinLockedFile(handle, path, wide, std::move(mutex)));
      }
      // Replaced while we waited: our lock is on a file nobody will read.
      ::CloseHandle(handle);
    }
  }

  Result<std::string> ReadLockedFile(LockedFile* file) override {
    auto* locked = static_cast<WinLockedFile*>(file);
    std::string contents;
    Status s = ReadHandle(locked->handle(), locked->path(), &contents);
    if (!s.ok()) return s;
    return contents;
  }

  Result<LargeString> ReadLockedFileRange(LockedFile* file, uint64_t offset,
                                          uint64_t max_bytes) override {
    auto* locked = static_cast<WinLockedFile*>(file);
    LargeString contents;
    Status s = ReadHandle(locked->handle(), locked->path(), &contents, offset,
                          max_bytes);
    if (!s.ok()) return s;
    return contents;
  }

  Result<std::string> ReadWholeFile(const std::string& path) override {
    Result<HANDLE> handle = OpenToRead(path, FILE_ATTRIBUTE_NORMAL);
    if (!handle.ok()) return handle.status();
    std::string contents;
    Status s = ReadHandle(*handle, path, &contents);
    ::CloseHandle(*handle);
    if (!s.ok()) return s;
    return contents;
  }

  Result<std::unique_ptr<InputFile>> OpenForReading(
      const std::string& path) override {
    Result<HANDLE> handle = OpenToRead(path, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!handle.ok()) return handle.status();
    return std::unique_ptr<InputFile>(new WinInputFile(*handle, path));
  }

  Result<std::unique_ptr<TempFile>> CreateTempFile(
      const std::string& target) override {
    static std::atomic<unsigned> sequence{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      char suffix[64];
      std::snprintf(suffix, sizeof(suffix), ".%lu-%lx-%x.tmp",
                    static_cast<unsigned long>(::GetCurrentProcessId()),
                    static_cast<unsigned long>(::GetTickCount() & 0xFFFFFF),
                    sequence.fetch_add(1));
      std::string path = target + suffix;
      std::wstring wide;
      if (!ToWide(path, &wide)) {
        return Status::InvalidArgument("not UTF-8: " + target);
      }
      HANDLE handle =
          ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        DWORD err = ::GetLastError();
        if (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) continue;
        return LastErrorStatus("can't create a temporary file for " + target);
      }
      return std::unique_ptr<TempFile>(new WinTempFile(handle, path, wide));
    }
    return Status::IoError("can't find a free temporary name for " + target);
  }

  Status AppendToFile(TempFile* file, const char* data, size_t size) override {
    auto* temp = static_cast<WinTempFile*>(file);
    while (size > 0) {
      DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!::WriteFile(temp->handle(), data, chunk, &written, nullptr)) {
        return LastErrorStatus("can't write " + temp->path());
      }
      if (written == 0) return Status::IoError("can't write " + temp->path());
      data += written;
      size -= written;
    }
    return Status::Ok();
  }

  Status FlushFile(TempFile* file) override {
    auto* temp = static_cast<WinTempFile*>(file);
    if (!::FlushFileBuffers(temp->handle())) {
      return LastErrorStatus("can't flush " + temp->path());
    }
    return Status::Ok();
  }

  Status ReplaceLockedFile(LockedFile* target, TempFile* replacement) override {
    auto* locked = static_cast<WinLockedFile*>(target);
    auto* temp = static_cast<WinTempFile*>(replacement);
    if (locked->lost()) {
      return Status::IoError(locked->path() +
                             " was taken by another updater after the last "
                             "save; not written");
    }
    // ReplaceFileW opens the replacement without sharing, so no handle of
    // ours may stay open on it: the writer closes now, and the new file is
    // locked only once it has the name. Until then we keep the old file's
    // lock, so openers waiting on it stay out; they re-check and move on to
    // the new file. ReplaceFileW keeps the library's identity (attributes,
    // security, creation time). Without a backup name a failure either
    // leaves both files as they were or, for ERROR_UNABLE_TO_MOVE_
    // REPLACEMENT, has already removed the library and left the new
    // contents under the temporary name; that case, and a library that
    // vanished meanwhile, get a plain move.
    temp->Close();
    // Only the read-only lock handle stays open on the old file, as the
    // replace call's sharing expects.
    locked->CloseWriter();
    // The refusals retried leave both files as they were.
    const std::wstring replaced_path = FullPath(locked->wide());
    const std::wstring replacement_path = FullPath(temp->wide());
    if (!RetryWhileHeld(locked->path(), "replace", [&] {
          return ::ReplaceFileW(replaced_path.c_str(), replacement_path.c_str(),
                                nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                nullptr, nullptr) != FALSE;
        })) {
      DWORD err = ::GetLastError();
      bool vanished = ::GetFileAttributesW(locked->wide().c_str()) ==
                      INVALID_FILE_ATTRIBUTES;
      if (err != ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
          !((err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) &&
            vanished)) {
        ::SetLastError(err);
        return LastErrorStatus("can't replace " + locked->path());
      }
      if (!::MoveFileExW(temp->wide().c_str(), locked->wide().c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        err = ::GetLastError();
        if (vanished || err == ERROR_FILE_NOT_FOUND) {
          // The library is gone; the temporary file is all there is.
          temp->MarkConsumed();
          ::SetLastError(err);
          return LastErrorStatus("can't replace " + locked->path() +
                                 "; its new contents are in " + temp->path());
        }
        ::SetLastError(err);
        return LastErrorStatus("can't replace " + locked->path());
      }
    }
    temp->MarkConsumed();
    // An opener arriving in the moment between the rename and this lock can
    // win the new file. It then reads what we just saved, and we give up
    // our claim rather than overwrite its changes with a later save.
    HANDLE reader =
        ::CreateFileW(locked->wide().c_str(), GENERIC_READ, kShareAll, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reader != INVALID_HANDLE_VALUE && LockHandle(reader, false) &&
        StillNamedBy(reader, locked->wide())) {
      locked->Swap(reader);
    } else {
      if (reader != INVALID_HANDLE_VALUE) ::CloseHandle(reader);
      locked->MarkLost();
    }
    return Status::Ok();
  }

  Status WriteLockedFileAt(LockedFile* file, uint64_t offset, const char* data,
                           size_t size) override {
    auto* locked = static_cast<WinLockedFile*>(file);
    if (locked->lost()) {
      return Status::IoError(locked->path() +
                             " was taken by another updater after the last "
                             "save; not written");
    }
    if (locked->writer() == INVALID_HANDLE_VALUE) {
      HANDLE writer =
          ::CreateFileW(locked->wide().c_str(), GENERIC_WRITE, kShareAll,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (writer == INVALID_HANDLE_VALUE) {
        return LastErrorStatus("can't open " + locked->path() + " to write");
      }
      if (!SameFile(writer, locked->handle())) {
        ::CloseHandle(writer);
        return Status::IoError(locked->path() +
                               " is no longer the file that was locked");
      }
      locked->SetWriter(writer);
    }
    while (size > 0) {
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!::WriteFile(locked->writer(), data, chunk, &written, &at) ||
          written == 0) {
        return LastErrorStatus("can't write " + locked->path());
      }
      data += written;
      size -= written;
      offset += written;
    }
    return Status::Ok();
  }

  Status FlushLockedFile(LockedFile* file) override {
    auto* locked = static_cast<WinLockedFile*>(file);
    if (locked->writer() == INVALID_HANDLE_VALUE ||
        !::FlushFileBuffers(locked->writer())) {
      return LastErrorStatus("can't flush " + locked->path());
    }
    return Status::Ok();
  }

  Result<std::unique_ptr<LockedFile>> InstallNewFile(TempFile* replacement,
                                                     const std::string& target,
                                                     bool overwrite) override {
    auto* temp = static_cast<WinTempFile*>(replacement);
    std::wstring wide;
    if (!ToWide(target, &wide)) {
      return Status::InvalidArgument("not UTF-8: " + target);
    }
    HANDLE reader = OpenLockedReader(temp);
    if (reader == INVALID_HANDLE_VALUE) {
      return LastErrorStatus("can't lock " + temp->path());
    }
    DWORD flags =
        MOVEFILE_WRITE_THROUGH | (overwrite ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!::MoveFileExW(temp->wide().c_str(), wide.c_str(), flags)) {
      DWORD err = ::GetLastError();
      ::CloseHandle(reader);
      if (err == ERROR_ALREADY_EXISTS || err == ERROR_FILE_EXISTS) {
        return Status::IoError(target + " already exists");
      }
      ::SetLastError(err);
      return LastErrorStatus("can't create " + target);
    }
    temp->MarkConsumed();
    // No run-wide mutex: the file is new, so no other run can be waiting.
    return std::unique_ptr<LockedFile>(
        new WinLockedFile(reader, target, wide, nullptr));
  }

  Status DeleteTempFile(TempFile* file) override {
    auto* temp = static_cast<WinTempFile*>(file);
    if (temp->consumed()) return Status::Ok();
    temp->Close();
    if (!RetryWhileHeld(temp->path(), "delete", [&] {
          return ::DeleteFileW(temp->wide().c_str()) != FALSE;
        })) {
      return LastErrorStatus("can't delete " + temp->path());
    }
    return Status::Ok();
  }

 private:
  // An existing file opened for reading that shares everything, so that
  // the reader never holds up a replace; one caught in a replace (see
  // UpdatableFileExists) is opened once it is over, and the handle then
  // keeps that file whatever is renamed over it later.
  static Result<HANDLE> OpenToRead(const std::string& path, DWORD flags) {
    std::wstring wide;
    if (!ToWide(path, &wide)) {
      return Status::InvalidArgument("not UTF-8: " + path);
    }
    auto open = [&] {
      return ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    };
    HANDLE handle = open();
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD err = ::GetLastError();
      if (err == ERROR_FILE_NOT_FOUND || err == ERROR_SHARING_VIOLATION) {
        handle = AskBetweenReplaces(wide, kLibraryLockWaitLimit, open);
      } else {
        ::SetLastError(err);
      }
    }
    if (handle == INVALID_HANDLE_VALUE) {
      return LastErrorStatus("can't open " + path);
    }
    return handle;
  }
};

}  // namespace

FileSystem* DefaultFileSystem() {
  static WinFileSystem* fs = new WinFileSystem;
  return fs;
}

}  // namespace tavik
