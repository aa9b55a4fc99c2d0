// The scene SDK's path functions. Paths are UTF-8 KStrings; "\" and "/" both
// count as separators when a path is taken apart, and the functions that join
// paths use "\". FileExist and KDirectoryExist go through the FileSystem
// seam, so "\" works as a separator on every system.
#ifndef TAVIK_PLATFORM_SDK_KPATH_H_
#define TAVIK_PLATFORM_SDK_KPATH_H_

#include <string_view>

#include "platform/os/file_system.h"
#include "platform/sdk/kstring.h"

namespace qsnsdk_cm_infra {

// True when a regular file / a folder is at `path`, asked of `fs` (not
// null).
bool FileExist(const KString& path, tavik::FileSystem* fs);
bool KDirectoryExist(const KString& path, tavik::FileSystem* fs);

// The last path element's extension, without its dot; "" when the name has
// none. A name's leading dot does not start an extension (".profile" has
// none), and neither does a trailing dot ("a." has the empty extension).
KString ExtractFileExtension(const KString& path);

// The last path element, with or without its extension.
KString ExtractFileName(const KString& path, bool withExtension);

// ExtractFileName without copying: a view into `path`.
std::string_view FileNameView(std::string_view path, bool withExtension);
// FileNameView(name, false) for a name that holds no separator (a listed
// entry, a path's last segment): the name up to its last dot, or the whole
// name when it has no dot or only a leading one.
std::string_view NameStem(std::string_view name);

// The folder that holds the last path element, without a trailing separator
// ("D:\\Lib\\a.png" gives "D:\\Lib"). `levels` -1 or 1 is the holding folder,
// 2 the one above it, and so on. "" when the path has no folder part.
KString ExtractParentDirectory(const KString& path, int levels = -1);

// The path with the last element's extension replaced by `extension` (which
// carries its dot, as in ".qsm"), or with `extension` appended when the
// element has none.
KString ChangeFileExtension(const KString& path, const KString& extension);

// True where a drive-letter path ("X:\\..." or "X:/...") names a file:
// Windows. Elsewhere such a path has no meaning; read as a relative path it
// would depend on the current folder, so the SDK treats it as unresolvable.
bool DriveLetterPathsNameFiles();

// `folder` and `name` joined by exactly one "\"; a separator already ending
// `folder` is kept rather than doubled. An empty folder gives `name`.
KString MakeFullPath(const KString& folder, const KString& name);

}  // namespace qsnsdk_cm_infra

#endif  // TAVIK_PLATFORM_SDK_KPATH_H_
