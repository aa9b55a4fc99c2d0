// KDir: the scene SDK's folder lister.
//
// A listing is read whole when it is opened and is given in one order on
// every system: "." and ".." first, then the other entries by name, compared
// ordinally with ASCII letters folded to upper case (the order NTFS lists a
// folder in), names that differ only in letter case (possible on POSIX) by
// their bytes. "The first match wins" therefore gives the same answer on
// every machine.
#ifndef TAVIK_PLATFORM_SDK_KDIR_H_
#define TAVIK_PLATFORM_SDK_KDIR_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/os/file_system.h"
#include "platform/sdk/kstring.h"

namespace qsnsdk_cm_infra {

class KDir {
 public:
  // `fs` (not null) is borrowed and must outlive the KDir.
  explicit KDir(tavik::FileSystem* fs);

  // Reads the folder's listing. True when it could be listed; the first entry
  // is then current. A second Open replaces the listing.
  bool Open(const KString& folder);
  // The current entry's name, or null when there is no current entry (past
  // the end, never opened, or closed). Valid until the next Next/Open/Close.
  const char* Name() const;
  // Whether the current entry is a folder / a regular file.
  bool IsDirectory() const;
  bool IsRegularFile() const;
  // Moves to the next entry; false at the end of the listing.
  bool Next();
  // Ends the listing; Name() gives null afterwards.
  void Close();

  // The order KDir lists in; exposed for callers that list once and keep it.
  static void SortEntries(tavik::DirListing* entries);
  // Whether the entry named `a` comes before the one named `b` in that
  // order: callers that need only the first of a few names (the first file
  // of each stem) pick it without sorting the whole listing.
  static bool ListsBefore(std::string_view a, std::string_view b);

 private:
  tavik::FileSystem* fs_;
  tavik::DirListing entries_;
  size_t current_ = 0;
};

}  // namespace qsnsdk_cm_infra

#endif  // TAVIK_PLATFORM_SDK_KDIR_H_
