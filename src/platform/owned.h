// One system handle that its owner alone closes, for any kind of handle a system has. Each system
// names its own kind, and its OwnedHandle, in platform/system_handles.h, which the build takes from
// that system's directory (src/platform/posix or src/platform/windows).
#pragma once

#include <utility>

namespace vantle {

// Traits name the raw handle type, the value that means "none", and how to close one.
template <class Traits>
class Owned {
 public:
  using Native = typename Traits::Native;

  Owned() = default;
  explicit Owned(Native handle) noexcept : handle_(handle) {}
  Owned(Owned&& other) noexcept : handle_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  Native get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::NONE; }
  // Gives the handle up without closing it.
  Native release() noexcept { return std::exchange(handle_, Traits::NONE); }
  // Closes the handle held, if any, and holds `handle` instead.
  void reset(Native handle = Traits::NONE) noexcept {
    const Native old = std::exchange(handle_, handle);
    if (old != Traits::NONE) Traits::close(old);
  }

 private:
  Native handle_ = Traits::NONE;
};

}  // namespace vantle
