// Result<T>: a value, or the Status that says why there is none. What a
// fallible call returns when it has something to give back, in place of a
// Status and an out-parameter.
#ifndef TAVIK_PLATFORM_BASE_RESULT_H_
#define TAVIK_PLATFORM_BASE_RESULT_H_

#include <cassert>
#include <optional>
#include <utility>

#include "platform/base/status.h"

namespace tavik {

template <typename T>
class Result {
 public:
  // A value: ok() holds.
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  // A failure: `status` must not be ok.
  Result(Status status) : status_(std::move(status)) {  // NOLINT: as above
    assert(!status_.ok());
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }

  // The value; only when ok().
  T& value() & {
    assert(ok());
    return *value_;
  }
  const T& value() const& {
    assert(ok());
    return *value_;
  }
  T&& value() && {
    assert(ok());
    return std::move(*value_);
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // The value, or `fallback` when there is none.
  T value_or(T fallback) const& { return ok() ? *value_ : std::move(fallback); }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace tavik

#endif  // TAVIK_PLATFORM_BASE_RESULT_H_
