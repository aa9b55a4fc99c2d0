#include "platform/os/memory_file_system.h"

#include <algorithm>
#include <utility>

namespace tavik {

class MemoryFileSystem::Locked : public LockedFile {
 public:
  Locked(MemoryFileSystem* owner, std::string path)
      : owner_(owner), path_(std::move(path)) {
    owner_->locked_.insert(Key(path_));
  }
  ~Locked() override { owner_->locked_.erase(Key(path_)); }
  const std::string& path() const override { return path_; }

 private:
  MemoryFileSystem* owner_;
  std::string path_;
};

class MemoryFileSystem::Temp : public TempFile {
 public:
  explicit Temp(std::string path) : path_(std::move(path)) {}
  const std::string& path() const override { return path_; }
  bool consumed = false;

 private:
  std::string path_;
};

namespace {

class MemoryInputFile : public InputFile {
 public:
  explicit MemoryInputFile(std::string contents)
      : contents_(std::move(contents)) {}
  Result<size_t> Read(char* buffer, size_t size) override {
    size_t n = std::min(size, contents_.size() - offset_);
    contents_.copy(buffer, n, offset_);
    offset_ += n;
    return n;
  }
  Result<LargeString> ReadAt(uint64_t offset, uint64_t max_bytes) override {
    if (offset >= contents_.size()) return LargeString();
    return LargeString(contents_.data() + offset,
                       static_cast<size_t>(std::min<uint64_t>(
                           max_bytes, contents_.size() - offset)));
  }

 private:
  std::string contents_;
  size_t offset_ = 0;
};

}  // namespace

std::string MemoryFileSystem::Key(const std::string& path) {
  std::string key = path;
  std::replace(key.begin(), key.end(), '\\', '/');
  while (key.size() > 1 && key.back() == '/') key.pop_back();
  return key;
}

MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

void MemoryFileSystem::MakeFolder(const std::string& path) {
  std::string key = Key(path);
  for (size_t slash = key.find('/', 1); slash != std::string::npos;
       slash = key.find('/', slash + 1)) {
    nodes_[key.substr(0, slash)].folder = true;
  }
  if (!key.empty()) nodes_[key].folder = true;
}

void MemoryFileSystem::PutFile(const std::string& path,
                               const std::string& contents) {
  std::string key = Key(path);
  size_t slash = key.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeFolder(key.substr(0, slash));
  Node& node = nodes_[key];
  node.folder = false;
  node.contents = contents;
}

void MemoryFileSystem::Remove(const std::string& path) {
  std::string key = Key(path);
  nodes_.erase(key);
  std::string prefix = key + "/";
  for (auto it = nodes_.lower_bound(prefix);
       it != nodes_.end() &&
       it->first.compare(0, prefix.size(), prefix) == 0;) {
    it = nodes_.erase(it);
  }
}

std::string MemoryFileSystem::Contents(const std::string& path) const {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() || it->second.folder ? std::string()
                                                 : it->second.contents;
}

std::vector<std::string> MemoryFileSystem::Names(
    const std::string& folder) const {
  std::string prefix = Key(folder) + "/";
  std::vector<std::string> names;
  for (auto it = nodes_.lower_bound(prefix);
       it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    std::string rest = it->first.substr(prefix.size());
    if (rest.find('/') == std::string::npos) names.push_back(rest);
  }
  return names;
}

bool MemoryFileSystem::FileExists(const std::string& path) {
  Node* node = Find(path);
  return node != nullptr && !node->folder;
}

bool MemoryFileSystem::DirectoryExists(const std::string& path) {
  Node* node = Find(path);
  return node != nullptr && node->folder;
}

Result<DirListing> MemoryFileSystem::ListDirectory(const std::string& path) {
  if (!DirectoryExists(path)) return Status::NotFound("can't list " + path);
  DirListing entries;
  entries.push_back({".", true, false});
  entries.push_back({"..", true, false});
  for (const std::string& name : Names(path)) {
    bool folder = Find(Key(path) + "/" + name)->folder;
    entries.push_back({name, folder, !folder});
  }
  return entries;
}

Result<uint32_t> MemoryFileSystem::GetAttributes(const std::string& path) {
  Node* node = Find(path);
  if (node == nullptr) return Status::NotFound("can't examine " + path);
  uint32_t attributes =
      node->folder ? kFileAttributeDirectory : kFileAttributeNormal;
  if (node->read_only) attributes |= kFileAttributeReadOnly;
  return attributes;
}

Status MemoryFileSystem::SetAttributes(const std::string& path,
                                       uint32_t attributes) {
  Node* node = Find(path);
  if (node == nullptr) return Status::NotFound("no file " + path);
  node->read_only = (attributes & kFileAttributeReadOnly) != 0;
  return Status::Ok();
}

Result<std::unique_ptr<OpenFileHandle>> MemoryFileSystem::OpenExistingNoShare(
    const std::string& path) {
  if (!FileExists(path)) return Status::NotFound("can't open " + path);
  return std::make_unique<OpenFileHandle>();
}

Result<std::unique_ptr<LockedFile>> MemoryFileSystem::Lock(
    const std::string& path) {
  if (locked_.count(Key(path)) != 0) {
    return Status::IoError(path + " is locked by another holder");
  }
  return std::unique_ptr<LockedFile>(new Locked(this, path));
}

Result<std::unique_ptr<LockedFile>> MemoryFileSystem::LockForUpdate(
    const std::string& path, std::chrono::milliseconds /*wait_limit*/) {
  Node* node = Find(path);
  if (node == nullptr || node->folder) {
    return Status::NotFound("can't open " + path);
  }
  if (node->read_only) return Status::AccessDenied("can't open " + path);
  return Lock(path);
}

Result<std::string> MemoryFileSystem::ReadLockedFile(LockedFile* file) {
  return ReadWholeFile(file->path());
}

Result<std::string> MemoryFileSystem::ReadWholeFile(const std::string& path) {
  if (!FileExists(path)) return Status::NotFound("can't open " + path);
  return Find(path)->contents;
}

Result<std::unique_ptr<InputFile>> MemoryFileSystem::OpenForReading(
    const std::string& path) {
  if (!FileExists(path)) return Status::NotFound("can't open " + path);
  return std::unique_ptr<InputFile>(new MemoryInputFile(Find(path)->contents));
}

Result<std::unique_ptr<TempFile>> MemoryFileSystem::CreateTempFile(
    const std::string& target) {
  std::string path = target + "." + std::to_string(next_temp_++) + ".tmp";
  PutFile(path, std::string());
  return std::unique_ptr<TempFile>(new Temp(path));
}

Status MemoryFileSystem::AppendToFile(TempFile* file, const char* data,
                                      size_t size) {
  Node* node = Find(file->path());
  if (node == nullptr) return Status::NotFound("can't write " + file->path());
  node->contents.append(data, size);
  return Status::Ok();
}

Status MemoryFileSystem::FlushFile(TempFile* file) {
  return FileExists(file->path())
             ? Status::Ok()
             : Status::NotFound("can't flush " + file->path());
}

Status MemoryFileSystem::WriteLockedFileAt(LockedFile* file, uint64_t offset,
                                           const char* data, size_t size) {
  Node* node = Find(file->path());
  if (node == nullptr || node->folder) {
    return Status::NotFound("can't write " + file->path());
  }
  if (offset + size > node->contents.size()) {
    node->contents.resize(offset + size, '\0');
  }
  node->contents.replace(offset, size, data, size);
  return Status::Ok();
}

Status MemoryFileSystem::FlushLockedFile(LockedFile* file) {
  return FileExists(file->path())
             ? Status::Ok()
             : Status::NotFound("can't flush " + file->path());
}

Status MemoryFileSystem::ReplaceLockedFile(LockedFile* target,
                                           TempFile* replacement) {
  Node* node = Find(replacement->path());
  if (node == nullptr) {
    return Status::NotFound("can't replace " + target->path());
  }
  Node& old = nodes_[Key(target->path())];
  bool read_only = old.read_only;
  old = *node;
  old.read_only = read_only;  // the new file takes over the old identity
  Remove(replacement->path());
  static_cast<Temp*>(replacement)->consumed = true;
  return Status::Ok();
}

Result<std::unique_ptr<LockedFile>> MemoryFileSystem::InstallNewFile(
    TempFile* replacement, const std::string& target, bool overwrite) {
  if (!overwrite && Find(target) != nullptr) {
    return Status::AccessDenied("can't create " + target + ": it exists");
  }
  Node* node = Find(replacement->path());
  if (node == nullptr) return Status::NotFound("can't create " + target);
  nodes_[Key(target)] = *node;
  Remove(replacement->path());
  static_cast<Temp*>(replacement)->consumed = true;
  return Lock(target);
}

Status MemoryFileSystem::DeleteTempFile(TempFile* file) {
  if (!static_cast<Temp*>(file)->consumed) Remove(file->path());
  return Status::Ok();
}

}  // namespace tavik
