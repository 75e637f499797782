// Result<T, E>: an operation's value or its error. Errors a user can cause travel as values;
// the default error is a one-line message without prefix, final full stop or line feed.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vantle {

// Wraps an error so that `return Err(...)` reads as a failure at the call site.
template <class E>
struct Err {
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};
template <class E>
Err(E) -> Err<E>;
Err(const char*) -> Err<std::string>;

template <class T, class E = std::string>
class [[nodiscard]] Result {
 public:
  template <class U = T>
    requires std::is_constructible_v<T, U&&> && (!std::is_same_v<std::remove_cvref_t<U>, Result>)
  Result(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  template <class F>
    requires std::is_constructible_v<E, F&&>
  Result(Err<F> err) : state_(std::in_place_index<1>, std::move(err.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }
  // The error alone, to pass a failure up: `if (!r) return r.err();`
  Err<E> err() const& { return Err<E>{error()}; }
  Err<E> err() && { return Err<E>{std::move(*this).error()}; }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F>
    requires std::is_constructible_v<E, F&&>
  Result(Err<F> err) : error_(std::move(err.error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }
  Err<E> err() const& { return Err<E>{error_}; }
  Err<E> err() && { return Err<E>{std::move(error_)}; }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace vantle
