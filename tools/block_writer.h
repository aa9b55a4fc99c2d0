// Writes a report's blocks to a stream on a thread of its own, so that the
// run that makes the report does not wait on the system's write: a JSON
// check of a million assets writes ten times its library, and handing that
// to the system took as long as a third of the run, on the thread that
// decides the lists.
#ifndef TAVIK_TOOLS_BLOCK_WRITER_H_
#define TAVIK_TOOLS_BLOCK_WRITER_H_

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vmpkg {

class BlockWriter {
 public:
  // The writer's block_size bytes to fill, of which the first `used` are
  // written.
  struct Block {
    std::unique_ptr<char[]> data;
    size_t used = 0;
  };

  // `out` is borrowed; nothing else may write to it until Finish. Blocks
  // hold `block_size` bytes.
  BlockWriter(std::FILE* out, size_t block_size)
      : out_(out), block_size_(block_size) {}
  // Finishes when Finish was not called (what is queued is still written).
  ~BlockWriter();
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  // An empty block, the first to fill.
  Block NewBlock() const;
  // Takes `block` (one of this writer's) and gives back an empty one to fill
  // next. Blocks are written in the order given; at most kQueued wait at
  // once, the caller waiting for room beyond that, so a slow stream holds
  // back the run rather than the run's memory growing. Without a thread to
  // be had, the block is written before the call returns.
  Block Write(Block block);
  // Writes what is queued, then flushes `out`; false when any write or the
  // flush failed. Nothing is written afterwards.
  bool Finish();

 private:
  static constexpr size_t kQueued = 4;
  static constexpr size_t kWakeAt = 2;

  void Run();
  // Writes `block` to out_, noting a failure; on the writer's thread once
  // it runs, else the caller's.
  void Put(const Block& block);

  std::FILE* out_;
  const size_t block_size_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Block> queued_;
  std::vector<Block> spare_;
  bool finishing_ = false;
  bool caller_waits_ = false;
  bool writer_waits_ = false;
  bool no_thread_ = false;
  bool finished_ = false;
  bool failed_ = false;
  std::thread thread_;
};

}  // namespace vmpkg

#endif  // TAVIK_TOOLS_BLOCK_WRITER_H_
