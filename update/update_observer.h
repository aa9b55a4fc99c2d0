// UpdateObserver: what an update run decides, told while it decides it.
//
// UpdateLibraryPackage tells the observer given in its options every decision
// it takes: the media folder, the file's read-only marks, each asset and each
// reference list as found, whether every entry resolves, each variant
// appended and each entry dropped, the list as the run leaves it, and the
// exit code with its reason. A dry run (UpdateRunOptions::dryRun) is the same
// run, the same walk, resolutions, sibling lookups and in-memory changes,
// that writes nothing: the read-only attribute is not cleared, the package is
// opened for reading (no lock) and never committed. `vmpkg check` is a dry
// run with an observer, so what it shows is what a run does, by the same
// code.
//
// Texts are UTF-8; an entry that is not exact text is shown with U+FFFD in
// place of what does not convert. Calls come in this order:
//   ReadOnlyAttribute? ReadOnlyProperty?
//   (Asset (List Entry* (Added* | Dropped*) ListDone | Skipped)*)*
//   Finished
// where the first two come only once the media folder was found, and the
// assets only for a package that opened; FolderListed, for an observer that
// wants it, stands apart from that order (see there). What a call is given
// by reference lives only for the call (the run reuses its buffers): an
// observer that keeps it copies it.
#ifndef TAVIK_UPDATE_UPDATE_OBSERVER_H_
#define TAVIK_UPDATE_UPDATE_OBSERVER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/base/exit_code.h"
#include "platform/os/file_system.h"
#include "platform/sdk/kstring.h"
#include "platform/vmp/metadata.h"

namespace tavik {

class UpdateObserver {
 public:
  virtual ~UpdateObserver() = default;

  // Whether the library file has its read-only attribute set (a run clears
  // it and leaves it cleared).
  virtual void ReadOnlyAttribute(bool /*set*/) {}
  // The package's "read only" property before the run: `present` when it is
  // a usable boolean, `value` its element 0. A run leaves it true; a
  // property that is not there stays absent.
  virtual void ReadOnlyProperty(bool /*present*/, bool /*value*/) {}

  // An asset whose "QSN" group has a "refs" group, in scene order.
  virtual void Asset(const std::string& /*name*/) {}
  // A property of "refs" that the run leaves exactly as it is, and why.
  virtual void Skipped(const std::string& /*property*/,
                       const std::string& /*why*/) {}
  // A reference list of the current asset as found (never empty: an empty
  // list is left alone and not told).
  virtual void List(const std::string& /*property*/,
                    const std::vector<std::string>& /*entries*/) {}
  // Entry `index` of the list as found: `resolved` the path it resolves to
  // against the media folder ("" when it does not resolve), `exists`
  // whether a file is there. Told for every entry, in order.
  virtual void Entry(size_t /*index*/, const std::string& /*resolved*/,
                     bool /*exists*/) {}
  // Completion: `relative` appended, for the numbered folder `number`: the
  // file `taken` (an entry name) in `folder`, the first regular file with
  // the reference's stem in the listing order (FilesWithStem gives all of
  // them, in that order).
  virtual void Added(int /*number*/, const std::string& /*relative*/,
                     const std::string& /*folder*/,
                     const std::string& /*taken*/) {}
  // Remove mode: entry `index` of the list as found is dropped.
  virtual void Dropped(size_t /*index*/, const std::string& /*entry*/) {}
  // The list as the run leaves it.
  virtual void ListDone(const std::vector<std::string>& /*entries*/) {}

  // Whether the observer is to be shown the run's folder listings
  // (FolderListed); asked once, before the media folder is listed.
  virtual bool WantsListings() { return false; }
  // A folder the run has listed for its sibling lookups, with the entries
  // as the run read them (`path` as it was given to the file system, the
  // `folder` that Added later names). It may come from several threads at
  // once, while the run goes on (folders are listed side by side), at any
  // point after ReadOnlyProperty; `entries` is valid only for the call.
  virtual void FolderListed(const std::string& /*path*/,
                            const DirListing& /*entries*/) {}

  // The exit code the run gives and, for any other than kDone, its reason
  // in words ("media folder D:\Lib\lib.qsm missing", "not a valid library:
  // ...", "not saved: ...").
  virtual void Finished(ExitCode /*code*/, const std::string& /*reason*/) {}
};

struct UpdateRunOptions {
  bool remove = false;                 // "-r": prune instead of completing
  bool dryRun = false;                 // write nothing (see above)
  UpdateObserver* observer = nullptr;  // borrowed; null: nobody is told
};

// Every regular file of `folder` whose stem (name less extension) is `stem`,
// in KDir's listing order, by the matching rules of sibling_lookup.h: what a
// sibling lookup chose among. Empty when the folder cannot be listed.
std::vector<std::string> FilesWithStem(const qsnsdk_cm_infra::KString& folder,
                                       const std::string& stem, FileSystem* fs);

// FileNameView(name, false) for the name of a listed entry, which holds a
// separator only on POSIX and seldom there (a backslash): the stem that
// FilesWithStem compares.
std::string_view ListedStem(std::string_view name);

// The regular files of a listing that share their stem with another regular
// file of it, by stem, each group in KDir's listing order. For a folder
// listed as `entries` and the stem of a regular file F of it, FilesWithStem
// gives that stem's group here, or F alone when the stem has none.
std::unordered_map<std::string, std::vector<std::string>> SameStemGroups(
    const DirListing& entries);

// Element 0 of the boolean property `name` of `group`: false when there is
// no usable boolean property of that name (*present false then).
bool ReadBoolProperty(vmp::IGroup* group, const vmp::WideString& name,
                      bool* present);

}  // namespace tavik

#endif  // TAVIK_UPDATE_UPDATE_OBSERVER_H_
