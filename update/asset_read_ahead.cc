#include "update/asset_read_ahead.h"

#include <system_error>
#include <utility>

namespace tavik {

using vmp::SharedPtr;

namespace {

std::string Utf8(const vmp::WideString& text) {
  return vmp::StringAlgorithm::UTF8Encode(text).string();
}

}  // namespace

AssetReadAhead::AssetReadAhead(vmp::IIterator* assets, bool names)
    : assets_(assets),
      names_(names),
      qsn_name_(u"QSN"),
      refs_name_(u"refs"),
      batches_(kBatches) {
  for (Batch& batch : batches_) batch.assets.resize(kBatch);
  try {
    thread_ = std::thread([this] { Run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    // Read in the caller's thread instead.
  }
}

AssetReadAhead::~AssetReadAhead() {
  if (!threaded_) return;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool AssetReadAhead::ReadOne(ReadAsset* into) {
  for (SharedPtr<vmp::IObject> item = assets_->current(); item;
       item = assets_->current()) {
    assets_->next();
    SharedPtr<vmp::IGroup> asset = vmp::IGroup::to(item);
    if (!asset) continue;
    SharedPtr<vmp::IGroup> qsn = asset->group(qsn_name_);
    if (!qsn) continue;
    SharedPtr<vmp::IGroup> refs = qsn->group(refs_name_);
    if (!refs) continue;
    if (names_) {
      into->name = Utf8(asset->name());
    } else {
      into->name.clear();
    }
    into->list_count = 0;
    SharedPtr<vmp::IIterator> properties = refs->properties();
    for (SharedPtr<vmp::IObject> property = properties->current(); property;
         properties->next(), property = properties->current()) {
      SharedPtr<vmp::IPrimitive> primitive = vmp::IPrimitive::to(property);
      if (!primitive) continue;
      if (into->lists.size() == into->list_count) into->lists.emplace_back();
      ReadList& list = into->lists[into->list_count++];
      if (names_) {
        list.property = Utf8(primitive->descriptor().name());
      } else {
        list.property.clear();
      }
      list.skipped = nullptr;
      if (!list.array.Read(*primitive)) {
        list.skipped = primitive->type() != vmp::PrimitiveType::kStringArray
                           ? "not a string array"
                           : "not a readable string array";
      }
    }
    return true;
  }
  return false;
}

void AssetReadAhead::Fill(Batch* batch) {
  batch->count = 0;
  batch->last = false;
  while (batch->count < kBatch) {
    if (!ReadOne(&batch->assets[batch->count])) {
      batch->last = true;
      return;
    }
    ++batch->count;
  }
}

void AssetReadAhead::Run() {
  try {
    for (bool last = false; !last;) {
      size_t index;
      {
        std::unique_lock<std::mutex> hold(mutex_);
        changed_.wait(hold,
                      [&] { return stop_ || filled_ - released_ < kBatches; });
        if (stop_) return;
        index = filled_ % kBatches;
      }
      // The caller uses no batch that is not filled yet.
      Fill(&batches_[index]);
      last = batches_[index].last;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        ++filled_;
      }
      changed_.notify_all();
    }
  } catch (...) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      failure_ = std::current_exception();
    }
    changed_.notify_all();
  }
}

ReadAsset* AssetReadAhead::Next() {
  if (ended_) return nullptr;
  if (!threaded_) {
    if (ReadOne(&inline_)) return &inline_;
    ended_ = true;
    return nullptr;
  }
  for (;;) {
    if (current_ != nullptr) {
      if (next_ < current_->count) return &current_->assets[next_++];
      if (current_->last) {
        ended_ = true;
        return nullptr;
      }
    }
    std::unique_lock<std::mutex> hold(mutex_);
    if (current_ != nullptr) {
      ++released_;
      current_ = nullptr;
      changed_.notify_all();
    }
    changed_.wait(hold,
                  [&] { return filled_ > released_ || failure_ != nullptr; });
    if (filled_ == released_) {
      ended_ = true;
      std::rethrow_exception(failure_);
    }
    current_ = &batches_[released_ % kBatches];
    next_ = 0;
  }
}

ReadAsset* AssetReadAhead::Peek(size_t n) {
  if (current_ == nullptr || next_ == 0) return nullptr;
  const size_t at = next_ - 1 + n;
  return at < current_->count ? &current_->assets[at] : nullptr;
}

}  // namespace tavik
