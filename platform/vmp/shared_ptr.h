// SharedPtr: the asset package library's reference-counted handle, and the
// counter interface behind it.
//
// Two counts live in a counter:
//  - counter references keep the counter object itself alive; the owner of
//    the object holds one for as long as the object exists, and anyone who
//    wants to try an acquire later (a "weak" holder) holds another;
//  - the handle count is the number of SharedPtr handles on the object.
//    When the last handle is released the count goes to -1 in the same atomic
//    step, the object is destroyed and the owner's counter reference is
//    dropped. An acquire refuses -1, so a destroyed object never revives,
//    even when an acquire races with the last release.
//
// Counts change only by atomic add and compare-exchange; handles themselves
// are not synchronised (one handle must not be assigned on two threads).
#ifndef TAVIK_PLATFORM_VMP_SHARED_PTR_H_
#define TAVIK_PLATFORM_VMP_SHARED_PTR_H_

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "platform/vmp/internal/handle_pool.h"

namespace vmp {

// Slot order is part of the contract: add, drop and count counter
// references; acquire, release and count handles; destructor; delete the
// counter; destroy the object.
class IPointerCounter {
 public:
  virtual void addReference() = 0;
  // At 0 the counter deletes itself (deleteCounter).
  virtual void dropReference() = 0;
  virtual int32_t referenceCount() const = 0;
  // Handle count +1. False once the object is gone (count -1); nothing
  // changes then.
  virtual bool acquire() = 0;
  // Handle count -1. The release that ends the last handle turns the count
  // to -1, destroys the object and drops one counter reference.
  virtual void release() = 0;
  // Handles on the object; 0 when it is gone.
  virtual int32_t count() const = 0;
  virtual ~IPointerCounter() = default;

 protected:
  virtual void deleteCounter() = 0;
  virtual void destroyObject() = 0;
};

// Both counts as 32-bit atomics, 0 at first. Derived classes say how the
// object is destroyed.
class DefaultPointerCounterImp : public IPointerCounter,
                                 public internal::PooledHandle {
 public:
  DefaultPointerCounterImp() = default;
  DefaultPointerCounterImp(const DefaultPointerCounterImp&) = delete;
  DefaultPointerCounterImp& operator=(const DefaultPointerCounterImp&) = delete;

  void addReference() override {
    references_.fetch_add(1, std::memory_order_relaxed);
  }
  void dropReference() override {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      deleteCounter();
    }
  }
  int32_t referenceCount() const override {
    return references_.load(std::memory_order_acquire);
  }
  bool acquire() override {
    int32_t current = count_.load(std::memory_order_relaxed);
    do {
      if (current < 0) return false;
    } while (!count_.compare_exchange_weak(current, current + 1,
                                           std::memory_order_acq_rel,
                                           std::memory_order_relaxed));
    return true;
  }
  void release() override {
    int32_t current = count_.load(std::memory_order_relaxed);
    int32_t next;
    do {
      // A release without a matching acquire is a caller's bug; ignoring
      // it is safer than destroying twice.
      if (current <= 0) return;
      next = current == 1 ? -1 : current - 1;
    } while (!count_.compare_exchange_weak(
        current, next, std::memory_order_acq_rel, std::memory_order_relaxed));
    if (next == -1) {
      destroyObject();
      dropReference();
    }
  }
  int32_t count() const override {
    int32_t current = count_.load(std::memory_order_acquire);
    return current < 0 ? 0 : current;
  }

 protected:
  void deleteCounter() override { delete this; }

 private:
  std::atomic<int32_t> references_{0};
  std::atomic<int32_t> count_{0};
};

// The counter given to an object that brings none: it destroys the object
// through the object's virtual destructor.
template <class T>
class _CounterImp : public DefaultPointerCounterImp {
 public:
  explicit _CounterImp(T* object) : object_(object) {}

 protected:
  void destroyObject() override {
    T* object = object_;
    object_ = nullptr;
    delete object;
  }

 private:
  T* object_;
};

// An object that lends its own counter to handles made from a raw pointer
// (the package does). pointerCounter is its first virtual operation. The
// counter must outlive the object's destructor: it is deleted by its last
// counter reference, or by the object when it was never referenced.
class ICountedObject {
 public:
  virtual IPointerCounter* pointerCounter() = 0;

 protected:
  virtual ~ICountedObject() = default;
};

template <class T>
class SharedPtr {
 public:
  SharedPtr() = default;
  SharedPtr(std::nullptr_t) {}  // NOLINT: an empty handle reads naturally

  // Takes a raw object. An object that lends its counter (ICountedObject)
  // gives it, referenced if nobody references it yet, then acquired; any
  // other object gets a new _CounterImp holding one counter reference. If
  // the acquire is refused (the object is already gone) the handle is
  // empty.
  explicit SharedPtr(T* raw) {
    if (raw == nullptr) return;
    IPointerCounter* counter;
    if constexpr (std::is_base_of_v<ICountedObject, T>) {
      counter = static_cast<ICountedObject*>(raw)->pointerCounter();
      if (counter->referenceCount() == 0) counter->addReference();
    } else {
      counter = new _CounterImp<T>(raw);
      counter->addReference();
    }
    if (counter->acquire()) {
      object_ = raw;
      counter_ = counter;
    }
  }

  // A handle on `object` counted by `counter` (acquired here); empty when
  // the acquire is refused. Used for casts and by the library's weak
  // holders.
  SharedPtr(T* object, IPointerCounter* counter) {
    if (object != nullptr && counter != nullptr && counter->acquire()) {
      object_ = object;
      counter_ = counter;
    }
  }

  SharedPtr(const SharedPtr& other)
      : SharedPtr(other.object_, other.counter_) {}
  SharedPtr(SharedPtr&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)),
        counter_(std::exchange(other.counter_, nullptr)) {}

  // Upcasts share the count.
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  SharedPtr(const SharedPtr<U>& other)  // NOLINT: implicit like T* from U*
      : SharedPtr(other.get(), other.counter()) {}

  ~SharedPtr() { reset(); }

  SharedPtr& operator=(SharedPtr other) noexcept {
    std::swap(object_, other.object_);
    std::swap(counter_, other.counter_);
    return *this;
  }

  void reset() {
    IPointerCounter* counter = std::exchange(counter_, nullptr);
    object_ = nullptr;
    if (counter != nullptr) counter->release();
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  bool isNull() const { return object_ == nullptr; }
  IPointerCounter* counter() const { return counter_; }

 private:
  T* object_ = nullptr;
  IPointerCounter* counter_ = nullptr;
};

template <class T, class U>
bool operator==(const SharedPtr<T>& a, const SharedPtr<U>& b) {
  return a.get() == b.get();
}
template <class T, class U>
bool operator!=(const SharedPtr<T>& a, const SharedPtr<U>& b) {
  return a.get() != b.get();
}

// Run-time type cast sharing the count of `from`; empty when `from` is empty
// or is not a U.
template <class U, class T>
SharedPtr<U> dynamicCast(const SharedPtr<T>& from) {
  U* cast = dynamic_cast<U*>(from.get());
  if (cast == nullptr) return SharedPtr<U>();
  return SharedPtr<U>(cast, from.counter());
}

}  // namespace vmp

#endif  // TAVIK_PLATFORM_VMP_SHARED_PTR_H_
