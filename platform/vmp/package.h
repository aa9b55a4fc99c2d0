// The asset package: a library file holding two metadata trees, the
// package's own (its root group holds "read only") and the scene's (its root
// group holds one child group per asset, in order).
//
//   SharedPtr<Package> package(new Package(path, true, "", fs));
//   if (!package->isValid()) ...            // package->status() says why
//   SharedPtr<Document> document = package->document(0);
//   IGroup* package_root = package->ipackage()->metadata()->root();
//   IGroup* scene_root =
//       document->scene()->assets()->metadata()->root();
//   ... change metadata ...
//   document->commit();
//   if (!package->commit().ok()) ...        // the file is as it was
//
// Opening for update takes an exclusive lock on the file that is held until
// the Package is destroyed; a second opener (another process, or another
// Package in this one) waits for it, at most tavik::kLibraryLockWaitLimit,
// and then fails to open (the file untouched). A file that is not a package
// (wrong magic, unsupported version, truncated, checksum mismatch, inconsistent
// tables) or cannot be read gives a failed package: isValid() false,
// status() the reason, the metadata of an empty package (root groups
// without children or properties, so callers that do not check still run),
// and every commit refused; such a package never writes.
//
// commit saves atomically: the whole file is written to a temporary file
// beside the library, flushed to disk and renamed over the library (on
// Windows by the replace call that keeps the file's identity: attributes,
// security, creation time). When any step fails the library is left byte
// for byte as it was, the temporary file is removed, and the failure is
// returned; the in-memory metadata keeps the changes so a later commit may
// still save them.
//
// On Windows the new file can be locked only just after it has replaced the
// old one; should another updater open the library in that moment, this
// package's later commits fail rather than overwrite that updater's work
// (see tavik::FileSystem::CreateTempFile).
//
// The file format is described in docs/package-format.md.
#ifndef TAVIK_PLATFORM_VMP_PACKAGE_H_
#define TAVIK_PLATFORM_VMP_PACKAGE_H_

#include <memory>

#include "platform/base/status.h"
#include "platform/os/file_system.h"
#include "platform/vmp/metadata.h"
#include "platform/vmp/shared_ptr.h"
#include "platform/vmp/strings.h"

namespace vmp {

class PackageState;

// Holds a metadata tree; its root group is valid as long as the object that
// handed out this IMetadata (package, IPackage, asset holder) or any handle
// into the same package lives.
class IMetadata {
 public:
  virtual IGroup* root() = 0;

 protected:
  virtual ~IMetadata() = default;
};

class IPackage {
 public:
  virtual ~IPackage() = default;
  // The package's own metadata; never null.
  virtual IMetadata* metadata() = 0;
};

// The object of a scene that holds the assets.
class IAssets {
 public:
  virtual ~IAssets() = default;
  // The scene metadata: its root group's child groups are the assets.
  virtual IMetadata* metadata() = 0;
};

class IScene {
 public:
  virtual ~IScene() = default;
  virtual SharedPtr<IAssets> assets() = 0;
};

class Document {
 public:
  explicit Document(std::shared_ptr<PackageState> state);
  ~Document();

  SharedPtr<IScene> scene();
  // Hands the document's changes to its package. The document's metadata
  // lives in the package, so this writes nothing; it fails only when the
  // package failed to open or is not open for update. The file is written
  // by Package::commit.
  tavik::Status commit();

 private:
  std::shared_ptr<PackageState> state_;
};

class Package : public ICountedObject {
 public:
  // The counter that handles made from a raw Package pointer share.
  IPointerCounter* pointerCounter() override;

  // Opens the library file at `path`. `forUpdate` true takes the exclusive lock
  // (waiting for another holder) and allows commit; false reads the file
  // without a lock and refuses commit. `options` must be empty (reserved;
  // any other text fails the open). Every file call goes through `fs` (not
  // null, not owned, outliving the package): the caller passes the real
  // file system (tavik::DefaultFileSystem()) or a test's.
  Package(const WideString& path, bool forUpdate, const WideString& options,
          tavik::FileSystem* fs);
  virtual ~Package();

  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;

  // A new, empty package to be written to `path` by its first commit, which
  // fails when a file already exists there unless `overwrite`. With
  // `overwrite`, a file already there is locked at once, as an open for
  // update locks it (waiting at most tavik::kLibraryLockWaitLimit; when the
  // wait ends or the lock cannot be had the package fails: isValid() false,
  // the file untouched), and the first commit replaces it atomically as a
  // commit of an opened package does. After that commit the package holds
  // the new file's lock like an opened one. `fs` as for the constructor.
  static SharedPtr<Package> create(const WideString& path, bool overwrite,
                                   tavik::FileSystem* fs);

  bool isValid() const;
  // Ok, or why the open failed.
  const tavik::Status& status() const;
  const WideString& path() const;

  // Document 0 (the only one); an empty handle for any other index.
  SharedPtr<Document> document(int index);
  SharedPtr<IPackage> ipackage();

  // Writes the package to its file as described above. Ok without writing
  // when nothing changed since the last successful commit or the open.
  // Fails, writing nothing, for a failed or read-only package.
  tavik::Status commit();

 private:
  struct CreateTag {};
  Package(CreateTag, const WideString& path, bool overwrite,
          tavik::FileSystem* fs);

  IPointerCounter* counter_;
  std::shared_ptr<PackageState> state_;
};

}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_PACKAGE_H_
