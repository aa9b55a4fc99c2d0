#include "update/update_observer.h"

#include "platform/sdk/kdir.h"
#include "platform/sdk/kpath.h"
#include "update/update_library_package.h"

namespace tavik {

using qsnsdk_cm_infra::FileNameView;
using qsnsdk_cm_infra::KDir;
using qsnsdk_cm_infra::KString;

std::vector<std::string> FilesWithStem(const KString& folder,
                                       const std::string& stem,
                                       FileSystem* fs) {
  std::vector<std::string> found;
  KDir dir(fs);
  if (folder.IsEmpty() || !dir.Open(folder)) return found;
  for (const char* name = dir.Name(); name != nullptr; name = dir.Name()) {
    std::string entry(name);
    if (entry != "." && entry != ".." && dir.IsRegularFile() &&
        FileNameView(entry, false) == stem) {
      found.push_back(entry);
    }
    if (!dir.Next()) break;
  }
  return found;
}

bool ReadBoolProperty(vmp::IGroup* group, const vmp::WideString& name,
                      bool* present) {
  *present = false;
  vmp::SharedPtr<vmp::IProperty> property = FindProperty(group, name);
  if (!property) return false;
  vmp::SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(property);
  if (!primitive || primitive->type() != vmp::PrimitiveType::kBool ||
      primitive->size() == 0) {
    return false;
  }
  unsigned char byte = 0;
  if (!primitive->read(&byte, 0, 1)) return false;
  *present = true;
  return byte != 0;
}

}  // namespace tavik
