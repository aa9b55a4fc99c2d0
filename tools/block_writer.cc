#include "tools/block_writer.h"

#include <system_error>
#include <utility>

namespace vmpkg {

BlockWriter::~BlockWriter() { Finish(); }

BlockWriter::Block BlockWriter::NewBlock() const {
  Block block;
  block.data.reset(new char[block_size_]);
  return block;
}

BlockWriter::Block BlockWriter::Write(Block block) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (finished_) {
    block.used = 0;
    return block;
  }
  if (!thread_.joinable() && !no_thread_) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      no_thread_ = true;
    }
  }
  if (no_thread_) {
    lock.unlock();
    Put(block);
    block.used = 0;
    return block;
  }
  while (queued_.size() >= kQueued) {
    caller_waits_ = true;
    changed_.wait(lock);
    caller_waits_ = false;
  }
  queued_.push_back(std::move(block));
  // The writer is woken for a few blocks at once: a wake per block cost as
  // much of the caller's time as the writes it took off it.
  const bool wake = writer_waits_ && queued_.size() >= kWakeAt;
  Block next;
  if (!spare_.empty()) {
    next = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  if (wake) changed_.notify_all();
  if (next.data == nullptr) next = NewBlock();
  return next;
}

void BlockWriter::Run() {
  std::vector<Block> taken;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (queued_.size() < kWakeAt && !finishing_) {
      writer_waits_ = true;
      changed_.wait(lock);
      writer_waits_ = false;
    }
    if (queued_.empty()) return;
    while (!queued_.empty()) {
      taken.push_back(std::move(queued_.front()));
      queued_.pop_front();
    }
    const bool wake = caller_waits_;
    lock.unlock();
    if (wake) changed_.notify_all();
    for (Block& block : taken) {
      Put(block);
      block.used = 0;
    }
    lock.lock();
    for (Block& block : taken) {
      if (spare_.size() < kQueued) spare_.push_back(std::move(block));
    }
    taken.clear();
  }
}

void BlockWriter::Put(const Block& block) {
  if (!failed_ && block.used > 0 &&
      std::fwrite(block.data.get(), 1, block.used, out_) != block.used) {
    failed_ = true;
  }
}

bool BlockWriter::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return !failed_;
    finishing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  if (std::fflush(out_) != 0 || std::ferror(out_)) failed_ = true;
  return !failed_;
}

}  // namespace vmpkg
