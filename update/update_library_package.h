// The library update run.
#ifndef TAVIK_UPDATE_UPDATE_LIBRARY_PACKAGE_H_
#define TAVIK_UPDATE_UPDATE_LIBRARY_PACKAGE_H_

#include "platform/kstring.h"
#include "platform/qsn_sdk.h"

namespace tavik {

// Completes (or with `remove` prunes) the references of every asset of the
// library at `libraryPath`. Returns the exit code of the run.
int UpdateLibraryPackage(qsnsdk_cm_infra::KQsnSdkManager* manager,
                         const qsnsdk_cm_infra::KString& libraryPath,
                         bool remove);

}  // namespace tavik

#endif  // TAVIK_UPDATE_UPDATE_LIBRARY_PACKAGE_H_
