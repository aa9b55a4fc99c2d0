// The scene SDK's manager and its cross-reference manager, which resolves the
// references stored in a library against registered project folders.
//
// Resolution rules of GetResolvedUrl(reference, out):
//  - "/" and "\" are both separators in a reference; the result uses "\"
//    only, on every system, with runs of separators collapsed (a UNC prefix
//    "\\\\" is kept) and no trailing separator.
//  - An absolute reference ("X:\\..." or "X:/...", "\\\\server\\share\\...",
//    or one starting with a separator, which is absolute on POSIX) resolves
//    to itself, normalised as above. A drive-letter reference resolves only
//    where drive letters name files (DriveLetterPathsNameFiles, kpath.h:
//    Windows); elsewhere it is unresolvable, never read against the current
//    folder.
//  - A relative reference resolves under a registered project's folder: the
//    first project, in registration order, under whose folder something
//    exists at the joined path; when nothing exists under any of them, the
//    first project's folder. "." segments are dropped and ".." steps back
//    one segment, lexically (as Windows reads paths, whatever links lie
//    between): a reference that climbs out of the project's folder
//    ("../lib.qsm/3/a.png") resolves under the folder's parent, and so on up
//    to the folder's root, above which it is unresolvable for that project.
//    A relative project folder climbs into leading ".." segments instead.
//  - Unresolvable (false, `out` unchanged): an empty reference, a relative
//    reference with no project registered, one naming no segment at all
//    (".", "a/.."), or one climbing above the root of every project's folder.
#ifndef TAVIK_PLATFORM_SDK_QSN_SDK_H_
#define TAVIK_PLATFORM_SDK_QSN_SDK_H_

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/os/file_system.h"
#include "platform/sdk/kstring.h"

namespace qsnsdk_cm_infra {

class KQsnXRefManager {
 public:
  // `fs` null means the process's real file system.
  explicit KQsnXRefManager(tavik::FileSystem* fs = nullptr);

  // Registers (or re-points) project `name` at `folder`. False for an empty
  // name or folder; the folder need not exist.
  bool AddXRefProject(const KString& name, const KString& folder);

  // See the rules at the top of this file.
  bool GetResolvedUrl(const KString& reference, KString& out) const;
  // The same answer written into `out`, whose buffer is reused: for callers
  // that resolve one reference after another. `out` is unchanged when the
  // reference is unresolvable.
  bool ResolveInto(std::string_view reference, std::string* out) const;

 private:
  tavik::FileSystem* fs_;
  std::vector<std::pair<KString, KString>> projects_;  // name, folder
};

class KQsnSdkManager {
 public:
  // The manager of this run. The SDK owns it; it is never destroyed by the
  // tool and lives until the process ends. Every call gives a new manager.
  static KQsnSdkManager* Create();

  KQsnXRefManager* GetXRefManager() { return &xref_; }

  explicit KQsnSdkManager(tavik::FileSystem* fs = nullptr) : xref_(fs) {}

 private:
  KQsnXRefManager xref_;
};

// "\"-separated form of `path`, normalised as GetResolvedUrl describes.
// Exposed for the code that derives paths the same way.
KString NormalizeSeparators(const KString& path);

}  // namespace qsnsdk_cm_infra

#endif  // TAVIK_PLATFORM_SDK_QSN_SDK_H_
