#include "registration/library_paths.h"

namespace tavik {

// The registry step joins the run with the registry store.
void RegisterLibraryPath(const qsnsdk_cm_infra::KString&, bool, bool) {}

}  // namespace tavik
