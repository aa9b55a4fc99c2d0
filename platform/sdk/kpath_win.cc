#include "platform/sdk/kpath.h"

namespace qsnsdk_cm_infra {

bool DriveLetterPathsNameFiles() { return true; }

}  // namespace qsnsdk_cm_infra
