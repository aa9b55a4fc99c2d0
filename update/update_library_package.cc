#include "update/update_library_package.h"

namespace tavik {

// The update run joins with the package library.
int UpdateLibraryPackage(qsnsdk_cm_infra::KQsnSdkManager*,
                         const qsnsdk_cm_infra::KString&, bool) {
  return 0;
}

}  // namespace tavik
