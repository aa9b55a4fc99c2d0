// The library update run: opens the library file as a package with its media
// folder registered for reference resolution, marks it writable through its
// "read only" property, completes (or prunes) the references of every asset,
// commits, marks it read-only and commits once more.
#ifndef TAVIK_UPDATE_UPDATE_LIBRARY_PACKAGE_H_
#define TAVIK_UPDATE_UPDATE_LIBRARY_PACKAGE_H_

#include <string>

#include "platform/base/exit_code.h"
#include "platform/os/file_system.h"
#include "platform/sdk/kstring.h"
#include "platform/sdk/qsn_sdk.h"
#include "platform/vmp/metadata.h"
#include "platform/vmp/strings.h"
#include "update/run_outcome.h"
#include "update/update_observer.h"

namespace tavik {

// Returns the exit code of the run:
//   kDone;
//   kMissingFile: the media folder (the library path with the extension
//     ".qsm") does not exist; nothing has been touched;
//   kInvalidLibrary: the file is not a valid library or its lock could not
//     be had (nothing is written), or a commit failed (the file keeps its
//     last successfully saved content); in every case a read-only
//     attribute cleared for the attempt is set again.
// `manager` and `fs` (the file system of the run) are borrowed.
ExitCode UpdateLibraryPackage(qsnsdk_cm_infra::KQsnSdkManager* manager,
                              const qsnsdk_cm_infra::KString& libraryPath,
                              bool remove, FileSystem* fs);

// The same run with its options, ending in its outcome (run_outcome.h):
// the exit codes above with their causes, kMediaMissing, kUnreadable or
// kInvalid for a package that does not open (by the Status it gives),
// kNotSaved for a failed commit, kInterrupted for a dry run stopped.
// `options.remove` as above; with `options.dryRun` it writes nothing and
// returns what the run would (a save that would fail is not foreseen);
// `options.observer` is told every decision (see update_observer.h).
RunOutcome UpdateLibraryPackage(qsnsdk_cm_infra::KQsnSdkManager* manager,
                                const qsnsdk_cm_infra::KString& libraryPath,
                                const UpdateRunOptions& options,
                                FileSystem* fs);

// Tavik -l [-r] LIB after its registry step, whole: CheckLibraryFile, then
// the update run on a manager of its own. A library refused by the first
// step is Finished with that outcome, so an observer is told every ending.
// What vmpkg's dry runs call, so that they decide as Tavik does.
RunOutcome RunLibraryUpdate(const std::string& libraryPath,
                            const UpdateRunOptions& options, FileSystem* fs);

// Clears the read-only attribute of the file at `path` (UTF-8), leaving its
// other attributes as they are; the file is held open without sharing
// meanwhile. Returns true when the attribute was set and is now cleared.
// The caller keeps the attribute cleared after a successful run.
bool ClearReadOnlyAttribute(const std::string& path, FileSystem* fs);

// Writes one boolean element at `index` of the property `name` of `group`.
// False when the group has no usable property of that name or the write is
// refused.
bool SetBoolProperty(vmp::IGroup* group, const vmp::WideString& name,
                     bool value, int index);

// The usable (non-null) property `name` of `group`, or an empty handle; a
// name without text finds nothing.
vmp::SharedPtr<vmp::IProperty> FindProperty(vmp::IGroup* group,
                                            const vmp::WideString& name);

}  // namespace tavik

#endif  // TAVIK_UPDATE_UPDATE_LIBRARY_PACKAGE_H_
