// Stored references and the paths they resolve to are arbitrary text: the
// path arithmetic of reference completion must never index outside them,
// and the string arrays that hold them must read back what they stored.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/os/memory_file_system.h"
#include "platform/sdk/qsn_sdk.h"
#include "platform/vmp/metadata.h"
#include "update/reference_variants.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\n');
  std::string entry = input.substr(0, split);
  std::string rest = split == std::string::npos ? "" : input.substr(split + 1);

  // Path arithmetic only: no file is asked about on the real disk.
  static tavik::MemoryFileSystem fs;
  qsnsdk_cm_infra::KQsnXRefManager manager(&fs);
  manager.AddXRefProject("QSM",
                         rest.empty() ? "D:\\Lib\\lib.qsm" : rest.c_str());
  qsnsdk_cm_infra::KString resolved;
  if (manager.GetResolvedUrl(entry.c_str(), resolved)) {
    tavik::ReferenceVariants variants;
    if (variants.Init(entry.c_str(), resolved.str())) {
      for (int i = 1; i <= 10; ++i) {
        qsnsdk_cm_infra::KString relative;
        variants.Candidate(i);
        variants.Relative(i, "a.png", &relative);
      }
    }
  }

  // The same bytes as UTF-16 units of a stored string array.
  std::u16string units(size / 2, u'\0');
  for (size_t k = 0; k < units.size(); ++k) {
    units[k] = static_cast<char16_t>(data[2 * k] | (data[2 * k + 1] << 8));
  }
  vmp::SharedPtr<vmp::IStringArray> array =
      vmp::IStringArray::to(units.data(), units.size());
  if (array) {
    vmp::SharedPtr<vmp::IGroup> group = vmp::CreateDetachedGroup("g");
    vmp::SharedPtr<vmp::IPrimitive> value =
        group->addPrimitive("p", vmp::PrimitiveType::kStringArray);
    if (!array->store(value.get())) std::abort();
    std::u16string stored(value->size(), u'\0');
    if (!stored.empty() && !value->read(&stored[0], 0, stored.size())) {
      std::abort();
    }
    vmp::SharedPtr<vmp::IStringArray> back =
        vmp::IStringArray::to(stored.data(), stored.size());
    if (!back || back->count() != array->count()) std::abort();
    for (size_t k = 0; k < array->count(); ++k) {
      if (back->get(k) != array->get(k)) std::abort();
    }
  }
  return 0;
}
