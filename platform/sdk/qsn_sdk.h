// The scene SDK's manager and its cross-reference manager, which resolves the
// references stored in a library against registered project folders.
//
// Resolution rules of GetResolvedUrl(reference, out). One rule for every
// form of reference, the same on every system: the text is read as Windows
// reads a path.
//  - "/" and "\" are both separators in a reference; the result uses "\"
//    only, on every system, with runs of separators collapsed (a UNC prefix
//    "\\\\" is kept) and no trailing separator.
//  - "." pieces are dropped and ".." takes back the piece before it, on the
//    text (lexically, whatever links lie between), and stops at the root:
//    "C:\\..\\x" is "C:\\x", "/../x" is "\\x", "\\\\srv\\share\\..\\x" is
//    "\\\\srv\\share\\x", as both systems stop there. A piece before ".."
//    need not exist.
//  - An absolute reference ("X:\\..." or "X:/...", "\\\\server\\share\\...",
//    or one starting with a separator, which is absolute on POSIX) resolves
//    to itself, read as above. A drive-letter reference resolves only
//    where drive letters name files (DriveLetterPathsNameFiles, kpath.h:
//    Windows); elsewhere it is unresolvable, never read against the current
//    folder.
//  - A relative reference resolves under a registered project's folder: the
//    first project, in registration order, under whose folder something
//    exists at the joined path; when nothing exists under any of them, the
//    first project's folder. One whose ".." pieces climb out of the folder
//    ("../lib.qsm/3/a.png") is read on the folder's lexical form (its own
//    "." and ".." applied) and climbs up to the folder's root, where it
//    stops; one that stays inside is read under the folder as given. A
//    relative project folder climbs into leading ".." pieces instead: they
//    are read where the library path is.
//  - Unresolvable (false, `out` unchanged): an empty reference, a relative
//    reference with no project registered, or one naming no piece of its
//    own (".", "a/..", "../..").
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
  // `fs` (not null) is borrowed and must outlive the manager.
  explicit KQsnXRefManager(tavik::FileSystem* fs);

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
  struct Project {
    KString name;
    std::string folder;       // as given, separators normalised
    std::string lexical;      // its "." and ".." applied
    size_t lexical_root = 0;  // the bytes of `lexical` that are its root
  };

  tavik::FileSystem* fs_;
  std::vector<Project> projects_;
};

class KQsnSdkManager {
 public:
  // The manager of this run, asking `fs` (not null, which must live as long)
  // about files. The SDK owns it; it is never destroyed by the tool and
  // lives until the process ends. Every call gives a new manager.
  static KQsnSdkManager* Create(tavik::FileSystem* fs);

  KQsnXRefManager* GetXRefManager() { return &xref_; }

  // `fs` as for Create.
  explicit KQsnSdkManager(tavik::FileSystem* fs) : xref_(fs) {}

 private:
  KQsnXRefManager xref_;
};

// "\"-separated form of `path`, normalised as GetResolvedUrl describes.
// Exposed for the code that derives paths the same way.
KString NormalizeSeparators(const KString& path);

}  // namespace qsnsdk_cm_infra

#endif  // TAVIK_PLATFORM_SDK_QSN_SDK_H_
