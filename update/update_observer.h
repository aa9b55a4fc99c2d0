// UpdateObserver: what an update run decides, told while it decides it.
//
// UpdateLibraryPackage tells the observer given in its options every decision
// it takes: the media folder, the file's read-only marks, each asset and each
// reference list as found, whether every entry resolves, each variant
// appended and each entry dropped, the list as the run leaves it, and the
// outcome (run_outcome.h). A dry run (UpdateRunOptions::dryRun) is the same
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
// assets only for a package that opened. What a call is given
// by reference lives only for the call (the run reuses its buffers): an
// observer that keeps it copies it.
#ifndef TAVIK_UPDATE_UPDATE_OBSERVER_H_
#define TAVIK_UPDATE_UPDATE_OBSERVER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/exit_code.h"
#include "platform/vmp/metadata.h"
#include "update/run_outcome.h"

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
  // the reference's stem in the listing order. `same_stem` holds every
  // regular file of `folder` with that stem, in that order (`taken`
  // first): what the lookup chose among, as the run listed the folder.
  virtual void Added(int /*number*/, const std::string& /*relative*/,
                     const std::string& /*folder*/,
                     const std::string& /*taken*/,
                     const std::vector<std::string_view>& /*same_stem*/) {}
  // Remove mode: entry `index` of the list as found is dropped.
  virtual void Dropped(size_t /*index*/, const std::string& /*entry*/) {}
  // The list as the run leaves it.
  virtual void ListDone(const std::vector<std::string>& /*entries*/) {}

  // How the run ends: its exit code, cause, failure and path.
  virtual void Finished(const RunOutcome& /*outcome*/) {}
};

struct UpdateRunOptions {
  bool remove = false;                 // "-r": prune instead of completing
  bool dryRun = false;                 // write nothing (see above)
  UpdateObserver* observer = nullptr;  // borrowed; null: nobody is told
  // Dry runs only, for a caller that may give up on the answer (Ctrl-C in
  // an audit of many libraries): asked between assets, on the run's
  // thread; true ends the walk there, and the run is Finished with
  // RunCause::kInterrupted (exit code kInvalidLibrary). What was told until
  // then is no answer for the library: the caller discards it. Empty: never.
  std::function<bool()> stop;
};

// Element 0 of the boolean property `name` of `group`: false when there is
// no usable boolean property of that name (*present false then).
bool ReadBoolProperty(vmp::IGroup* group, const vmp::WideString& name,
                      bool* present);

}  // namespace tavik

#endif  // TAVIK_UPDATE_UPDATE_OBSERVER_H_
