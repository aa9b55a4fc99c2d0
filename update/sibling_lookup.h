// Sibling file lookup: given a candidate path (a reference's resolved path
// with another folder number put in, not necessarily naming an existing
// file), find a file in the candidate's folder with the same stem, whatever
// its extension.
//
// Matching rules, the same for both forms below:
//  - only regular files match; a folder is never a file reference;
//  - an entry's stem is its name less the extension and its dot (as
//    ExtractFileName gives it); a name without an extension is compared
//    whole, so an entry "ab" never stands in for "a";
//  - stems are compared exactly, letter case included;
//  - "." and ".." are never candidates;
//  - the first match in KDir's listing order wins, so the answer is the same
//    on every machine.
#ifndef TAVIK_UPDATE_SIBLING_LOOKUP_H_
#define TAVIK_UPDATE_SIBLING_LOOKUP_H_

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/os/file_system.h"
#include "platform/os/large_memory.h"
#include "platform/sdk/kstring.h"

namespace tavik {

using qsnsdk_cm_infra::KString;

// The full path of the first match (folder and entry name joined by
// MakeFullPath), or "" when the folder cannot be listed or holds no match.
// Lists the folder (through `fs`, borrowed) on every call. The literal
// search: SiblingLookup must give the same answers.
KString FindSiblingByStem(KString path, FileSystem* fs);

// The same answers as FindSiblingByStem, for a whole run: each folder is
// listed once, on first use, and later questions are answered from that
// listing. Valid only while the folders do not change, which holds for the
// media folder during an update run.
class SiblingLookup {
 public:
  // `fs` is borrowed and must outlive the lookup.
  explicit SiblingLookup(FileSystem* fs);
  // Stops a listing ahead (see ListAhead) after the folder it is at.
  ~SiblingLookup();
  SiblingLookup(const SiblingLookup&) = delete;
  SiblingLookup& operator=(const SiblingLookup&) = delete;

  // Starts listing the folders prefix + i + suffix for i = 1..count on a
  // thread of its own, so that the caller can do other work meanwhile (a
  // run reads its library while its media folder's numbered folders are
  // listed). Every later question waits for that listing to end and is
  // then answered as if the folders had been listed when first asked
  // about. Folders never asked about cost only their listing. Without a
  // thread to be had, nothing is listed ahead.
  void ListAhead(const std::string& prefix, const std::string& suffix,
                 int count);

  KString Find(const KString& path);
  // The same question put as the candidate's folder and stem.
  KString FindInFolder(const KString& folder, const std::string& stem);

  // Whether a regular file is at `path`: answered from the listing of its
  // folder when the listing names it exactly, and "no" from the listing too
  // when it answers for every name (FileSystem::ListingIsExact) and holds
  // only files and folders; otherwise by the file system (which may match
  // letter case differently, as on Windows).
  bool FileExists(const KString& path) { return FileExists(path.str()); }
  bool FileExists(std::string_view path);

  // How many folders have been listed so far.
  size_t listed_folders() const {
    Settle();
    return folders_.size();
  }

  // A stem with its hash, worked out once for the questions to every
  // numbered folder. `text` must outlive it.
  struct Stem {
    std::string_view text;
    uint64_t hash;
  };
  static Stem MakeStem(std::string_view text);

  // One folder's listing, kept for the lookup's lifetime: the names of its
  // regular files in a few large blocks, with an open-addressing table over
  // them by stem (the first file of each stem) and, only once needed, one by
  // whole name, so that a folder of many thousands of files costs a few
  // dozen bytes per file and no allocation per name.
  class Folder {
   public:
    // Adds a regular file's name, in any order. Slots hold a name's place
    // in 32 bits and its length in 16: a name longer than any system allows,
    // or one past 4 GiB of names, is left out, and the listing then no
    // longer answers for absence (exact() is false).
    void Add(std::string_view name);
    // Builds the tables; before any lookup.
    void Seal();
    // True when a name absent from the listing names no regular file.
    bool exact() const { return exact_ && !left_out_; }
    void set_exact(bool exact) { exact_ = exact; }
    bool HasFile(std::string_view name) const;
    // The same, with the name's stem (NameStem) worked out.
    bool HasFile(std::string_view name, const Stem& stem) const;
    // The name of the first file with `stem`; false when there is none.
    bool FirstWithStem(const Stem& stem, std::string_view* name) const;
    // Every file with `stem`, in KDir's listing order (FirstWithStem's
    // first): what a lookup of the stem chose among. Views of the listing.
    void FilesWithStem(const Stem& stem,
                       std::vector<std::string_view>* names) const;
    // Prefetch steps for FirstWithStem, one memory access each: the slot
    // where the stem's probe starts, then the name it holds, if any.
    // Taking each step for every folder before the next step lets the
    // accesses of many folders overlap.
    void PrefetchSlot(const Stem& stem) const;
    void PrefetchName(const Stem& stem) const;

   private:
    // A table slot: 0 when empty, else the name's place + 1 (bits 0-31:
    // its block in bits 20-31, its offset there in bits 0-19), its length
    // (bits 32-47) and 16 bits of its key's hash (bits 48-63), so that one
    // memory access finds the name and most slots of other keys are passed
    // over without reading their names.
    static constexpr int kPlaceBits = 20;
    const char* SlotText(uint64_t slot) const {
      const uint32_t place = static_cast<uint32_t>(slot) - 1;
      return blocks_[place >> kPlaceBits].get() +
             (place & ((uint32_t{1} << kPlaceBits) - 1));
    }
    std::string_view SlotName(uint64_t slot) const {
      return std::string_view(SlotText(slot),
                              static_cast<size_t>((slot >> 32) & 0xFFFF));
    }
    size_t StartOf(uint64_t hash) const {
      return static_cast<size_t>(((hash >> 32) * by_stem_.size()) >> 32);
    }
    // Calls f(name, place) for every name, place being its slot bits
    // without the hash.
    template <typename F>
    void ForEachName(F f) const {
      for (size_t block = 0; block < blocks_.size(); ++block) {
        const char* base = blocks_[block].get();
        for (size_t at = 0; at < block_used_[block];) {
          const size_t length =
              static_cast<unsigned char>(base[at]) |
              static_cast<size_t>(static_cast<unsigned char>(base[at + 1]))
                  << 8;
          at += 2;
          f(std::string_view(base + at, length),
            (uint64_t{block << kPlaceBits | at} + 1) | uint64_t{length} << 32);
          at += length;
        }
      }
    }
    void MakeNameTable() const;
    // The names, each after its length in two bytes (little-endian), in
    // blocks that double from 16 KiB to 1 MiB and are never moved: a
    // listing grows without copying, and takes no more than it holds and
    // its last block (whose pages stay untouched until written).
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<uint32_t> block_used_;
    size_t last_block_size_ = 0;
    size_t count_ = 0;
    // By stem, for the first file of each stem; at most 75% full (the
    // tags in the slots keep the longer probes cheap).
    LargeVector<uint64_t> by_stem_;
    // By whole name, the same size; made on first need (HasFile asked for
    // a file that is not the first of its stem). Lookups are not
    // thread-safe.
    mutable LargeVector<uint64_t> by_name_;
    // For the by_stem_ slots whose stem more than one file has (few, if
    // any), the places of all of them.
    std::unordered_map<size_t, std::vector<uint64_t>> shared_stems_;
    bool exact_ = false;
    bool left_out_ = false;
  };

  // FileExists for `path`, whose folder's listing is `listing` and whose
  // name and stem are given.
  bool FileExistsIn(const Folder& listing, std::string_view path,
                    std::string_view name, const Stem& stem);

  // FileExists in steps, for callers that ask about several paths at once:
  // Ask finds the folder's listing and the name's stem (views of `path`,
  // which must outlive the question); Prefetch, first with `name` false,
  // then true, brings into the cache the slot, then the name, that Answer
  // will read, so that the questions wait on memory together.
  struct FileQuestion {
    std::string_view path;
    std::string_view name;
    const Folder* listing = nullptr;  // null: no folder in the path
    Stem stem{};
  };
  FileQuestion Ask(std::string_view path);
  // Lists, side by side where the file system allows it, the folders of
  // `paths` that have not been listed yet, and says how many; later
  // questions about them are answered from those listings.
  size_t ListFoldersOf(const std::vector<std::string_view>& paths);
  static void Prefetch(const FileQuestion& question, bool name);
  bool Answer(const FileQuestion& question);

  // The listings of the folders prefix + i + suffix for i = 1..count, at
  // index i - 1: the numbered folders of a whole run of references are
  // found with one question instead of one per number.
  const std::vector<const Folder*>& NumberedFolders(const std::string& prefix,
                                                    const std::string& suffix,
                                                    int count);

  // The entry name of the first regular file with `stem`; false when none.
  static bool FirstWithStem(const Folder& folder, const Stem& stem,
                            std::string_view* name);
  // FirstWithStem in each of `folders` but the one at `skip` (an index, or
  // any other value for none): (*found)[i] is the name found in
  // folders[i], empty where there is none. In large folders each question
  // waits on memory unless the caller has taken the Prefetch steps for
  // every folder first.
  static void FirstWithStemInEach(const std::vector<const Folder*>& folders,
                                  const Stem& stem, size_t skip,
                                  std::vector<std::string_view>* found);

 private:
  const Folder& Listing(std::string_view folder);
  // Lists `path` into `entry` and builds its table.
  void Fill(const std::string& path, Folder* entry) const;
  // Fill for each pair; side by side where the file system allows it.
  // Stops between folders once stop_ is set (the rest stay unfilled).
  void FillAll(const std::vector<std::pair<std::string, Folder*>>& todo) const;
  // Waits for the listing ahead, if any; before any use of folders_.
  void Settle() const {
    if (ahead_.joinable()) ahead_.join();
  }

  FileSystem* fs_;
  // The listing ahead; joined by Settle.
  mutable std::thread ahead_;
  std::vector<std::pair<std::string, Folder*>> ahead_todo_;
  std::atomic<bool> stop_{false};
  std::unordered_map<std::string, Folder> folders_;
  // The folders asked for last, looked at before the map (the one that
  // answered last first).
  struct Recent {
    std::string folder;
    const Folder* listing = nullptr;
  };
  std::array<Recent, 16> recent_;
  size_t next_recent_ = 0;
  size_t last_recent_ = 0;
  std::unordered_map<std::string, std::vector<const Folder*>> numbered_;
  // Hashes of the folders ListFoldersOf has seen.
  std::unordered_set<uint64_t> asked_;
  const std::vector<const Folder*>* last_ = nullptr;
  std::string last_prefix_;
  std::string last_suffix_;
  int last_count_ = 0;
};

}  // namespace tavik

#endif  // TAVIK_UPDATE_SIBLING_LOOKUP_H_
