// MapiPtr: owns one reference to an interface of the messaging layer and releases it.
#pragma once

#include <utility>

namespace larkpost {

template <class T>
class MapiPtr {
 public:
  MapiPtr() = default;
  explicit MapiPtr(T* object) : object_(object) {}
  MapiPtr(const MapiPtr&) = delete;
  MapiPtr& operator=(const MapiPtr&) = delete;
  MapiPtr(MapiPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  MapiPtr& operator=(MapiPtr&& other) noexcept {
    if (this != &other) reset(std::exchange(other.object_, nullptr));
    return *this;
  }
  ~MapiPtr() { reset(); }

  // Releases the held reference (if any) and takes `object`.
  void reset(T* object = nullptr) {
    if (object_ != nullptr) object_->Release();
    object_ = object;
  }
  // Hands the reference to the caller without releasing it.
  T* release() { return std::exchange(object_, nullptr); }
  // For out-parameters: releases what is held and returns the slot to fill.
  T** put() {
    reset();
    return &object_;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace larkpost
