#include "platform/sdk/kpath.h"

namespace qsnsdk_cm_infra {

bool DriveLetterPathsNameFiles() { return false; }

}  // namespace qsnsdk_cm_infra
