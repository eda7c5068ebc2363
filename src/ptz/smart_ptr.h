// Shared ownership of one object through two pointers: the object and a separately allocated
// reference count. The preset file reader is held this way by the PTZ handler and by the preset
// list of every channel.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

namespace kalmora {

// Threads: one holder is used by one thread at a time; holders of the same object may be copied
// and released on different threads at once (the count is atomic). The count is 64-bit, so no
// number of holders can overflow it.
template <class T>
class TSmartPtr {
 public:
  TSmartPtr() = default;
  TSmartPtr(const TSmartPtr& other) { ShareFrom(other); }
  TSmartPtr(TSmartPtr&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), count_(std::exchange(other.count_, nullptr)) {}
  TSmartPtr& operator=(TSmartPtr other) noexcept {
    std::swap(object_, other.object_);
    std::swap(count_, other.count_);
    return *this;
  }
  virtual ~TSmartPtr() { Release(); }

  // Releases the object held and takes object with a count of 1. When the count cannot be
  // allocated the object is deleted and the holder stays empty; false then.
  bool Reset(T* object) {
    Release();
    if (object == nullptr) return true;
    count_ = new (std::nothrow) std::atomic<std::int64_t>(1);
    if (count_ == nullptr) {
      delete object;
      return false;
    }
    object_ = object;
    return true;
  }

  // Gives up this holder's share; the last share deletes the object.
  void Release() {
    if (count_ != nullptr && count_->fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete object_;
      delete count_;
    }
    object_ = nullptr;
    count_ = nullptr;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  std::int64_t use_count() const { return count_ != nullptr ? count_->load(std::memory_order_relaxed) : 0; }

 private:
  void ShareFrom(const TSmartPtr& other) {
    if (other.object_ == nullptr || other.count_ == nullptr) return;
    other.count_->fetch_add(1, std::memory_order_relaxed);
    object_ = other.object_;
    count_ = other.count_;
  }

  T* object_ = nullptr;
  std::atomic<std::int64_t>* count_ = nullptr;
};

}  // namespace kalmora
