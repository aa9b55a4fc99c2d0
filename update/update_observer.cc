#include "update/update_observer.h"

#include "update/update_library_package.h"

namespace tavik {

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
