// Reading and writing the package file format (docs/package-format.md).
// Internal to the library.
#ifndef TAVIK_PLATFORM_VMP_INTERNAL_PACKAGE_FORMAT_H_
#define TAVIK_PLATFORM_VMP_INTERNAL_PACKAGE_FORMAT_H_

#include <cstdint>
#include <string>

#include "platform/base/status.h"
#include "platform/vmp/internal/metadata_store.h"

namespace vmp {
namespace internal {

constexpr char kPackageMagic[8] = {'\x89', 'V',  'M',  'P',
                                   'K',    '\r', '\n', '\x1a'};
constexpr uint32_t kPackageVersion = 1;
constexpr size_t kHeaderSize = 40;
constexpr size_t kGroupRecordSize = 12;
constexpr size_t kPropertyRecordSize = 12;
// Rows 0 and 1 of a package store: the package's and the scene's root.
constexpr uint32_t kPackageRoot = 0;
constexpr uint32_t kSceneRoot = 1;

// Parses a whole file into `store`, which must be empty; the file's bytes
// become the store's heap. Corrupt for anything that is not a well-formed
// package (with a message saying what), NotSupported for another version.
// On failure the store is left empty.
tavik::Status ParsePackage(std::string contents, MetadataStore* store);

// The file image of a store whose rows 0 and 1 are the two roots. Rows not
// reachable from them are not written.
std::string SerializePackage(const MetadataStore& store);

}  // namespace internal
}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_INTERNAL_PACKAGE_FORMAT_H_
