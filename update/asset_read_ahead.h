// Reading a package's reference lists on one thread while another decides
// on them.
//
// A dry run changes nothing in the package, so its walk splits in two: the
// package library's work (the asset tree, the lists' values, the names
// converted for the observer) and the decisions (resolving, looking up,
// telling the observer). AssetReadAhead does the first on a thread of its
// own, some hundreds of assets ahead, and hands the assets over in order;
// the caller does the second. A run that saves cannot use it: it stores
// changed lists back into the package while it walks it.
#ifndef TAVIK_UPDATE_ASSET_READ_AHEAD_H_
#define TAVIK_UPDATE_ASSET_READ_AHEAD_H_

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/vmp/metadata.h"

namespace tavik {

// One property of an asset's "refs" group, as read.
struct ReadList {
  std::string property;  // UTF-8; empty unless names were asked for
  // The entries, when `skipped` is null.
  vmp::Utf8StringArray array;
  // Why the property is left exactly as it is ("not a string array", "not
  // a readable string array"); null for a list.
  const char* skipped = nullptr;
};

// An asset whose "QSN" group has a "refs" group, with its properties in
// order: lists[0 .. list_count) (the vector keeps buffers beyond).
struct ReadAsset {
  std::string name;  // UTF-8; empty unless names were asked for
  std::vector<ReadList> lists;
  size_t list_count = 0;
};

class AssetReadAhead {
 public:
  // Reads the groups of `assets` (borrowed, and used by no one else until
  // Next has returned null or the reader is destroyed) that are assets
  // with reference lists, with their names in UTF-8 when `names`. The
  // reading starts at once on a thread of its own; without a thread to be
  // had, each Next reads its asset there and then.
  AssetReadAhead(vmp::IIterator* assets, bool names);
  // Stops the reading thread (after the batch it is at) and waits for it.
  ~AssetReadAhead();
  AssetReadAhead(const AssetReadAhead&) = delete;
  AssetReadAhead& operator=(const AssetReadAhead&) = delete;

  // The next asset in package order, valid until the next call; null after
  // the last. What the reading thread threw (std::bad_alloc) is thrown
  // here, in the caller's thread.
  ReadAsset* Next();
  // The asset `n` (1 or more) after the one Next gave last, when the reader
  // has it at hand (in the same batch); null otherwise. Valid as long as
  // that asset has not been given by Next and left.
  ReadAsset* Peek(size_t n);

 private:
  static constexpr size_t kBatch = 256;  // assets handed over at once
  static constexpr size_t kBatches = 4;  // in flight

  struct Batch {
    std::vector<ReadAsset> assets;
    size_t count = 0;
    bool last = false;  // the reading ends with this batch
  };

  // Reads the next asset with reference lists into `into`; false at the
  // end.
  bool ReadOne(ReadAsset* into);
  void Fill(Batch* batch);
  void Run();

  vmp::IIterator* assets_;
  const bool names_;
  const vmp::WideString qsn_name_;
  const vmp::WideString refs_name_;

  std::vector<Batch> batches_;
  // Batch k (counted from 0) is batches_[k % kBatches]; the one in use is
  // batch released_, once filled.
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t filled_ = 0;    // batches filled in all
  size_t released_ = 0;  // batches the caller is done with, in all
  bool stop_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
  bool threaded_ = false;

  // The caller's side: the batch in use and the place in it.
  Batch* current_ = nullptr;
  size_t next_ = 0;
  bool ended_ = false;
  ReadAsset inline_;  // without a thread
};

}  // namespace tavik

#endif  // TAVIK_UPDATE_ASSET_READ_AHEAD_H_
