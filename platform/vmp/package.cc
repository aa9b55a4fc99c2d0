#include "platform/vmp/package.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/utf.h"
#include "platform/vmp/internal/metadata_store.h"
#include "platform/vmp/internal/package_format.h"

namespace vmp {

namespace {

class RootMetadata : public IMetadata {
 public:
  IGroup* root() override { return root_.get(); }
  void set(std::unique_ptr<IGroup> root) { root_ = std::move(root); }

 private:
  std::unique_ptr<IGroup> root_;
};

}  // namespace

class PackageState {
 public:
  PackageState(tavik::FileSystem* fs, WideString path, bool for_update)
      : fs_(fs), path_(std::move(path)), for_update_(for_update) {}

  // An empty package: the two roots and nothing else.
  void ResetToEmpty(const WideString& package_name,
                    const WideString& scene_name) {
    SetStore(std::make_shared<internal::MetadataStore>());
    store_->AddGroup(internal::kNoIndex, package_name.string());
    store_->AddGroup(internal::kNoIndex, scene_name.string());
  }

  void SetStore(std::shared_ptr<internal::MetadataStore> store) {
    store_ = std::move(store);
    package_metadata_.set(
        internal::MakeOwnedGroup(store_, internal::kPackageRoot));
    scene_metadata_.set(internal::MakeOwnedGroup(store_, internal::kSceneRoot));
    saved_generation_ = store_->generation();
  }

  void Open() {
    tavik::Status s = OpenFile();
    if (s.ok()) return;
    status_ = tavik::Status(s.code(), path_utf8_ + ": " + s.message());
    lock_.reset();
    ResetToEmpty(WideString(), WideString());
  }

  tavik::Status OpenFile() {
    if (!tavik::Utf16ToUtf8(path_.string(), &path_utf8_) ||
        path_utf8_.empty()) {
      path_utf8_ = tavik::Utf16ToUtf8OrReplace(path_.string());
      return tavik::Status::InvalidArgument("not a usable path");
    }
    auto store = std::make_shared<internal::MetadataStore>();
    // The tables are turned into rows as they are read, so that they are let
    // go piece by piece. Under the lock the pieces are of one file; without
    // it (a reader, which must never hold up an update) they are too,
    // because writers replace the file rather than rewrite it, and a slot
    // written in place is laid over the heap, never into it.
    internal::RangeReader read;
    std::unique_ptr<tavik::InputFile> input;
    if (for_update_) {
      tavik::Result<std::unique_ptr<tavik::LockedFile>> lock =
          fs_->LockForUpdate(path_utf8_, tavik::kLibraryLockWaitLimit);
      if (!lock.ok()) return lock.status();
      lock_ = std::move(*lock);
      read = [this](uint64_t offset, uint64_t max_bytes) {
        return fs_->ReadLockedFileRange(lock_.get(), offset, max_bytes);
      };
    } else {
      tavik::Result<std::unique_ptr<tavik::InputFile>> opened =
          fs_->OpenForReading(path_utf8_);
      if (!opened.ok()) return opened.status();
      input = std::move(*opened);
      read = [&input](uint64_t offset, uint64_t max_bytes) {
        return input->ReadAt(offset, max_bytes);
      };
    }
    tavik::Status s = internal::ReadPackage(read, store.get(), &slots_);
    input.reset();
    if (!s.ok()) return s;
    SetStore(std::move(store));
    return tavik::Status::Ok();
  }

  tavik::Status Commit() {
    if (!status_.ok()) {
      return tavik::Status(
          status_.code(),
          "nothing written, the package did not open: " + status_.message());
    }
    if (!for_update_) {
      return tavik::Status::NotSupported(path_utf8_ +
                                         ": opened read-only, not written");
    }
    if (!creating_ && store_->generation() == saved_generation_) {
      return tavik::Status::Ok();
    }
    const uint64_t generation = store_->generation();
    // Values rewritten at their size in a file that has update slots are
    // saved by writing one slot; anything else writes the file whole. A
    // failed slot write leaves the file as it was (the slot in force is
    // never touched), so the whole write can still follow.
    if (!creating_ && slots_.version == 2 && !store_->reshaped() &&
        WriteSlot().ok()) {
      saved_generation_ = generation;
      return tavik::Status::Ok();
    }
    tavik::Status s = WriteWhole();
    if (!s.ok()) return s;
    creating_ = false;
    saved_generation_ = generation;
    return tavik::Status::Ok();
  }

  // The file written anew beside the library, flushed, and renamed over it.
  tavik::Status WriteWhole() {
    tavik::Result<std::unique_ptr<tavik::TempFile>> created =
        fs_->CreateTempFile(path_utf8_);
    if (!created.ok()) return created.status();
    std::unique_ptr<tavik::TempFile> temp = std::move(*created);
    tavik::Status s;
    std::unordered_map<uint32_t, uint64_t> value_offsets;
    bool written = internal::WritePackage(
        *store_,
        [&](const char* data, size_t size) {
          s = fs_->AppendToFile(temp.get(), data, size);
          return s.ok();
        },
        &value_offsets);
    if (written) s = fs_->FlushFile(temp.get());
    if (s.ok()) {
      if (creating_ && !lock_) {
        tavik::Result<std::unique_ptr<tavik::LockedFile>> installed =
            fs_->InstallNewFile(temp.get(), path_utf8_, overwrite_);
        s = installed.status();
        if (installed.ok()) lock_ = std::move(*installed);
      } else {
        s = fs_->ReplaceLockedFile(lock_.get(), temp.get());
      }
    }
    if (!s.ok()) {
      // The temporary file is ours alone; removing it cannot touch the
      // library, and a failure to remove it is not the caller's news.
      fs_->DeleteTempFile(temp.get());
      return s;
    }
    store_->file_value_offsets = std::move(value_offsets);
    store_->MarkWrittenWhole();
    slots_ = internal::FileSlots();
    slots_.version = internal::kPackageVersion;
    slots_.current = 0;
    slots_.sequence = 1;
    return tavik::Status::Ok();
  }

  // The values rewritten since the file was last written whole, laid over it
  // by the update slot that is not in force, which then takes over.
  tavik::Status WriteSlot() {
    std::vector<internal::Patch> patches = slots_.patches;
    for (uint32_t property : store_->rewritten()) {
      const internal::PropertyRow& row = store_->properties[property];
      internal::Patch patch;
      patch.offset = store_->file_value_offsets.at(property);
      patch.bytes.assign(store_->heap.at(row.value_offset()),
                         row.value_count * vmp::ElementSize(row.type));
      if (patch.bytes.empty()) continue;
      // A later patch of the same value replaces the earlier one.
      patches.erase(std::remove_if(patches.begin(), patches.end(),
                                   [&](const internal::Patch& p) {
                                     return p.offset == patch.offset &&
                                            p.bytes.size() ==
                                                patch.bytes.size();
                                   }),
                    patches.end());
      patches.push_back(std::move(patch));
    }
    std::string slot;
    if (!internal::EncodeSlot(slots_.sequence + 1, patches, &slot)) {
      return tavik::Status::NotSupported("too many changes for a slot");
    }
    const int next = 1 - slots_.current;
    tavik::Status s = fs_->WriteLockedFileAt(
        lock_.get(), internal::SlotOffset(next), slot.data(), slot.size());
    if (s.ok()) s = fs_->FlushLockedFile(lock_.get());
    if (!s.ok()) return s;
    slots_.current = next;
    slots_.sequence += 1;
    slots_.patches = std::move(patches);
    store_->MarkRewrittenSaved();
    return tavik::Status::Ok();
  }

  void Release() { lock_.reset(); }

  const tavik::Status& status() const { return status_; }
  const WideString& path() const { return path_; }
  IMetadata* package_metadata() { return &package_metadata_; }
  IMetadata* scene_metadata() { return &scene_metadata_; }
  bool writable() const { return status_.ok() && for_update_; }

  void set_creating(bool overwrite) {
    creating_ = true;
    overwrite_ = overwrite;
    if (!tavik::Utf16ToUtf8(path_.string(), &path_utf8_) ||
        path_utf8_.empty()) {
      path_utf8_ = tavik::Utf16ToUtf8OrReplace(path_.string());
      status_ =
          tavik::Status::InvalidArgument(path_utf8_ + ": not a usable path");
    }
  }
  void set_status(tavik::Status status) { status_ = std::move(status); }

  // An existing file that a new package overwrites is replaced as an update
  // replaces it: under its lock, so a run updating it is waited for (at
  // most kLibraryLockWaitLimit) instead of having its file swapped under it.
  void LockFileToOverwrite() {
    if (!status_.ok() || !fs_->FileExists(path_utf8_)) return;
    tavik::Result<std::unique_ptr<tavik::LockedFile>> lock =
        fs_->LockForUpdate(path_utf8_, tavik::kLibraryLockWaitLimit);
    if (!lock.ok()) {
      const tavik::Status& s = lock.status();
      status_ = tavik::Status(s.code(), path_utf8_ + ": " + s.message());
      return;
    }
    lock_ = std::move(*lock);
  }

 private:
  tavik::FileSystem* fs_;
  WideString path_;
  std::string path_utf8_;
  bool for_update_;
  bool creating_ = false;
  bool overwrite_ = false;
  tavik::Status status_;
  std::shared_ptr<internal::MetadataStore> store_;
  std::unique_ptr<tavik::LockedFile> lock_;
  RootMetadata package_metadata_;
  RootMetadata scene_metadata_;
  uint64_t saved_generation_ = 0;
  // The update slots of the file on disk (version 0: none, a new file).
  internal::FileSlots slots_;
};

namespace {

class PackageObject : public IPackage {
 public:
  explicit PackageObject(std::shared_ptr<PackageState> state)
      : state_(std::move(state)) {}
  IMetadata* metadata() override { return state_->package_metadata(); }

 private:
  std::shared_ptr<PackageState> state_;
};

class AssetsObject : public IAssets {
 public:
  explicit AssetsObject(std::shared_ptr<PackageState> state)
      : state_(std::move(state)) {}
  IMetadata* metadata() override { return state_->scene_metadata(); }

 private:
  std::shared_ptr<PackageState> state_;
};

class SceneObject : public IScene {
 public:
  explicit SceneObject(std::shared_ptr<PackageState> state)
      : state_(std::move(state)) {}
  SharedPtr<IAssets> assets() override {
    return SharedPtr<IAssets>(new AssetsObject(state_));
  }

 private:
  std::shared_ptr<PackageState> state_;
};

}  // namespace

Document::Document(std::shared_ptr<PackageState> state)
    : state_(std::move(state)) {}

Document::~Document() = default;

SharedPtr<IScene> Document::scene() {
  return SharedPtr<IScene>(new SceneObject(state_));
}

tavik::Status Document::commit() {
  if (!state_->status().ok()) return state_->status();
  if (!state_->writable()) {
    return tavik::Status::NotSupported("package opened read-only");
  }
  return tavik::Status::Ok();
}

Package::Package(const WideString& path, bool forUpdate,
                 const WideString& options, tavik::FileSystem* fs)
    : counter_(new _CounterImp<Package>(this)),
      state_(std::make_shared<PackageState>(fs, path, forUpdate)) {
  state_->ResetToEmpty(WideString(), WideString());
  if (!options.empty()) {
    state_->set_status(
        tavik::Status::InvalidArgument("unknown package options"));
    return;
  }
  state_->Open();
}

Package::Package(CreateTag, const WideString& path, bool overwrite,
                 tavik::FileSystem* fs)
    : counter_(new _CounterImp<Package>(this)),
      state_(std::make_shared<PackageState>(fs, path, true)) {
  state_->ResetToEmpty(WideString("package"), WideString("scene"));
  state_->set_creating(overwrite);
  if (overwrite) state_->LockFileToOverwrite();
}

Package::~Package() {
  state_->Release();
  // A counter that no handle ever referenced dies with its object; one that
  // is referenced is deleted by its last reference, after this destructor.
  if (counter_->referenceCount() == 0) delete counter_;
}

IPointerCounter* Package::pointerCounter() { return counter_; }

SharedPtr<Package> Package::create(const WideString& path, bool overwrite,
                                   tavik::FileSystem* fs) {
  return SharedPtr<Package>(new Package(CreateTag{}, path, overwrite, fs));
}

bool Package::isValid() const { return state_->status().ok(); }

const tavik::Status& Package::status() const { return state_->status(); }

const WideString& Package::path() const { return state_->path(); }

SharedPtr<Document> Package::document(int index) {
  if (index != 0) return SharedPtr<Document>();
  return SharedPtr<Document>(new Document(state_));
}

SharedPtr<IPackage> Package::ipackage() {
  return SharedPtr<IPackage>(new PackageObject(state_));
}

tavik::Status Package::commit() { return state_->Commit(); }

}  // namespace vmp
