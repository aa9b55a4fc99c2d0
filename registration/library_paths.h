// The list of library files that other programs read from the registry.
#ifndef TAVIK_REGISTRATION_LIBRARY_PATHS_H_
#define TAVIK_REGISTRATION_LIBRARY_PATHS_H_

#include "platform/kstring.h"

namespace tavik {

// Adds `path` to, or with `remove` removes it from, the list in the 32-bit
// and then the 64-bit registry view, machine-wide or (`perUser`) for the
// current user. Reports nothing; the exit code never depends on it.
void RegisterLibraryPath(const qsnsdk_cm_infra::KString& path, bool perUser,
                         bool remove);

}  // namespace tavik

#endif  // TAVIK_REGISTRATION_LIBRARY_PATHS_H_
