#include "update/update_library_package.h"

#include <memory>
#include <optional>
#include <utility>

#include "platform/base/debug_output.h"
#include "platform/sdk/kpath.h"
#include "platform/vmp/package.h"
#include "update/asset_read_ahead.h"
#include "update/complete_asset_references.h"
#include "update/reference_variants.h"
#include "update/sibling_lookup.h"

namespace tavik {

using qsnsdk_cm_infra::ChangeFileExtension;
using qsnsdk_cm_infra::KDirectoryExist;
using qsnsdk_cm_infra::KQsnSdkManager;
using qsnsdk_cm_infra::KQsnXRefManager;
using qsnsdk_cm_infra::KString;
using vmp::SharedPtr;
using vmp::WideString;

namespace {
constexpr int kFolderCount = 10;
}  // namespace

bool ClearReadOnlyAttribute(const std::string& path, FileSystem* fs) {
  // Held (when it opens) so nobody else opens the file meanwhile.
  Result<std::unique_ptr<OpenFileHandle>> held = fs->OpenExistingNoShare(path);
  Result<uint32_t> attributes = fs->GetAttributes(path);
  if (!attributes.ok() || (*attributes & kFileAttributeReadOnly) == 0) {
    return false;
  }
  return fs->SetAttributes(path, *attributes & ~kFileAttributeReadOnly).ok();
}

SharedPtr<vmp::IProperty> FindProperty(vmp::IGroup* group,
                                       const WideString& name) {
  if (group == nullptr || name.empty()) return SharedPtr<vmp::IProperty>();
  SharedPtr<vmp::IProperty> property = group->property(name);
  if (property && property->isNull() == 0) return property;
  return SharedPtr<vmp::IProperty>();
}

bool SetBoolProperty(vmp::IGroup* group, const WideString& name, bool value,
                     int index) {
  SharedPtr<vmp::IProperty> property = FindProperty(group, name);
  if (!property || index < 0) return false;
  SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(property);
  if (!primitive || primitive->type() != vmp::PrimitiveType::kBool) {
    return false;
  }
  unsigned char byte = value ? 1 : 0;
  return primitive->write(&byte, static_cast<size_t>(index), 1);
}

ExitCode UpdateLibraryPackage(KQsnSdkManager* manager,
                              const KString& libraryPath, bool remove,
                              FileSystem* fs) {
  UpdateRunOptions options;
  options.remove = remove;
  return UpdateLibraryPackage(manager, libraryPath, options, fs).code;
}

namespace {

RunOutcome Finish(UpdateObserver* observer, RunOutcome outcome) {
  if (observer != nullptr) observer->Finished(outcome);
  return outcome;
}

// A package that does not open is a file that cannot be read, or one that
// reads but holds no valid library.
RunCause OpenFailureCause(const Status& status) {
  switch (status.code()) {
    case Status::Code::kAccessDenied:
    case Status::Code::kIoError:
      return RunCause::kUnreadable;
    default:
      return RunCause::kInvalid;
  }
}

}  // namespace

RunOutcome UpdateLibraryPackage(KQsnSdkManager* manager,
                                const KString& libraryPath,
                                const UpdateRunOptions& options,
                                FileSystem* fs) {
  UpdateObserver* observer = options.observer;
  KQsnXRefManager* xref = manager->GetXRefManager();
  KString mediaFolder = ChangeFileExtension(libraryPath, ".qsm");
  if (!KDirectoryExist(mediaFolder, fs)) {
    DebugPrint("%s doesn't exist\n", mediaFolder.Buffer());
    return Finish(observer,
                  RunOutcome::Of(RunCause::kMediaMissing, mediaFolder.str()));
  }
  xref->AddXRefProject("QSM", mediaFolder);
  bool clearedReadOnly = false;
  if (options.dryRun) {
    if (observer != nullptr) {
      Result<uint32_t> attributes = fs->GetAttributes(libraryPath.str());
      observer->ReadOnlyAttribute(attributes.ok() &&
                                  (*attributes & kFileAttributeReadOnly) != 0);
    }
  } else {
    clearedReadOnly = ClearReadOnlyAttribute(libraryPath.str(), fs);
    if (observer != nullptr) observer->ReadOnlyAttribute(clearedReadOnly);
  }
  // On every failure the file is as it was (or as the first commit left
  // it), and so is its read-only mark.
  auto restoreReadOnly = [&] {
    if (!clearedReadOnly) return;
    Result<uint32_t> attributes = fs->GetAttributes(libraryPath.str());
    if (attributes.ok()) {
      fs->SetAttributes(libraryPath.str(),
                        *attributes | kFileAttributeReadOnly);
    }
  };

  // The numbered folders of the media folder, where references mostly lie,
  // are listed while the library is read. The listings are let go before
  // the commit, whose buffers would otherwise come on top of them.
  auto siblings = std::make_unique<SiblingLookup>(fs);
  {
    // Their paths as the lookups of a reference "1\\x" will spell them.
    const std::string probe = "1\\x";
    std::string resolved;
    ReferenceVariants variants;
    if (xref->ResolveInto(probe, &resolved) && variants.Init(probe, resolved)) {
      siblings->ListAhead(variants.prefix(), variants.suffix(), kFolderCount);
    }
  }

  // The one place where the path crosses into the package library's text.
  // A dry run reads the file without the update lock and never commits.
  SharedPtr<vmp::Package> package(
      new vmp::Package(WideString(vmp::UTF8String(libraryPath.str())),
                       !options.dryRun, WideString(), fs));
  if (!package->isValid()) {
    Status why = package->status();
    package.reset();
    restoreReadOnly();
    DebugPrint("%s isn't a valid library: %s\n", libraryPath.Buffer(),
               why.message().c_str());
    return Finish(observer, RunOutcome::Of(OpenFailureCause(why),
                                           libraryPath.str(), std::move(why)));
  }
  SharedPtr<vmp::Document> document = package->document(0);
  vmp::IGroup* packageRoot = nullptr;
  {
    SharedPtr<vmp::IPackage> ipackage = package->ipackage();
    packageRoot = ipackage->metadata()->root();
  }
  if (observer != nullptr) {
    bool present = false;
    bool value = ReadBoolProperty(packageRoot, "read only", &present);
    observer->ReadOnlyProperty(present, value);
  }
  // Only a run that saves needs the package marked writable meanwhile.
  if (!options.dryRun) SetBoolProperty(packageRoot, "read only", false, 0);

  SharedPtr<vmp::IIterator> assets;
  {
    SharedPtr<vmp::IScene> scene = document->scene();
    SharedPtr<vmp::IAssets> holder = scene->assets();
    assets = holder->metadata()->root()->groups();
  }
  bool stopped = false;
  {
    AssetReferenceUpdater updater(xref, kFolderCount, options.remove,
                                  siblings.get(), observer, options.dryRun);
    if (options.dryRun) {
      // Nothing goes back into the package: it is read on another thread
      // while the lists are decided here.
      AssetReadAhead reader(assets.get(), observer != nullptr || kDebugOutput);
      stopped = !updater.UpdateAll(&reader, options.stop);
    } else {
      for (SharedPtr<vmp::IObject> item = assets->current(); item;
           assets->next(), item = assets->current()) {
        updater.Update(vmp::IGroup::to(item).get());
      }
    }
    if (!stopped) updater.Finish();
  }
  siblings.reset();
  if (stopped) {
    return Finish(observer,
                  RunOutcome::Of(RunCause::kInterrupted, libraryPath.str()));
  }

  tavik::Status saved;
  if (!options.dryRun) {
    document->commit();
    saved = package->commit();
    if (saved.ok()) {
      SetBoolProperty(packageRoot, "read only", true, 0);
      saved = package->commit();
    }
  }
  assets.reset();
  document.reset();
  package.reset();
  if (!saved.ok()) {
    restoreReadOnly();
    DebugPrint("%s couldn't be saved: %s\n", libraryPath.Buffer(),
               saved.message().c_str());
    return Finish(observer, RunOutcome::Of(RunCause::kNotSaved,
                                           libraryPath.str(), saved));
  }
  return Finish(observer, RunOutcome::Of(RunCause::kDone, libraryPath.str()));
}

RunOutcome RunLibraryUpdate(const std::string& libraryPath,
                            const UpdateRunOptions& options, FileSystem* fs) {
  std::optional<RunOutcome> refused =
      CheckLibraryFile(libraryPath, options.remove, fs);
  if (refused) return Finish(options.observer, std::move(*refused));
  KQsnSdkManager manager(fs);
  return UpdateLibraryPackage(&manager, KString(libraryPath), options, fs);
}

}  // namespace tavik
