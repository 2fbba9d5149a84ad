// A value, or the error that kept it from being made: the one shape of a
// result that may fail. The type is [[nodiscard]], so a result cannot be
// dropped where it is made; reading the value of a failure, or the error of
// a success, is a fault of the caller, caught by assert.
//
// In a build with asserts (NDEBUG not defined) a failure must also be
// looked at before it ends: ok(), the bool, error(), value(), * or -> count,
// and so does ignore(), which says that the result is dropped on purpose. A
// failure that ends or is assigned over unlooked-at ends the program with a
// message. A success may end unlooked-at: results are also kept as data (a
// test's script of what each try returns), and a dropped success loses
// nothing. The result that another is moved or copied to must be
// looked at in its turn, and the one it came from counts as looked at (a
// result kept as a constant to copy from is never dropped). A build without
// asserts keeps no flag and does no work for this.
//
// A failure is made with unexpected(error), so that a result whose value
// and error could be taken for each other (an int and an error code) is
// never built the wrong way round. The error given may be of any type that
// converts to the result's: a DWORD from the system to a std::uint32_t.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace varnick {

template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return {std::forward<E>(error)};
}

namespace detail {

#ifndef NDEBUG
// Whether a result has been looked at: the debug half of Expected's check.
class LookedAt {
 protected:
  LookedAt() = default;
  LookedAt(const LookedAt& other) noexcept { other.look(); }
  LookedAt(LookedAt&& other) noexcept { other.looked_ = true; }
  LookedAt& operator=(const LookedAt& other) noexcept {
    other.look();
    looked_ = false;
    return *this;
  }
  LookedAt& operator=(LookedAt&& other) noexcept {
    looked_ = false;
    other.looked_ = true;
    return *this;
  }
  ~LookedAt() = default;

  void look() const noexcept { looked_ = true; }
  void requireLooked(bool failed) const noexcept {
    if (!failed || looked_) return;
    std::fputs("Expected dropped: a failure nobody looked at was destroyed or assigned over\n",
               stderr);
    std::abort();
  }

 private:
  mutable bool looked_ = false;
};
#else
// An empty base: a release build keeps no flag.
class LookedAt {
 protected:
  void look() const noexcept {}
};
#endif

}  // namespace detail

template <typename T, typename E>
class [[nodiscard]] Expected : private detail::LookedAt {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <typename G, typename = std::enable_if_t<std::is_convertible_v<G, E>>>
  Expected(Unexpected<G> failure)  // NOLINT: implicit
      : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

#ifndef NDEBUG
  Expected(const Expected&) = default;
  Expected(Expected&&) noexcept(std::is_nothrow_move_constructible_v<std::variant<T, E>>) = default;
  Expected& operator=(const Expected& other) {
    requireLooked(!holdsValue());
    state_ = other.state_;
    LookedAt::operator=(other);
    return *this;
  }
  Expected& operator=(Expected&& other) noexcept {
    requireLooked(!holdsValue());
    state_ = std::move(other.state_);
    LookedAt::operator=(std::move(other));
    return *this;
  }
  ~Expected() { requireLooked(!holdsValue()); }
#endif

  bool ok() const {
    look();
    return holdsValue();
  }
  explicit operator bool() const { return ok(); }
  // Looked at and set aside: the result is dropped on purpose.
  void ignore() const { look(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  bool holdsValue() const { return state_.index() == 0; }

  std::variant<T, E> state_;
};

// Done, or the error: a result with no value.
template <typename E>
class [[nodiscard]] Expected<void, E> : private detail::LookedAt {
 public:
  Expected() = default;
  template <typename G, typename = std::enable_if_t<std::is_convertible_v<G, E>>>
  Expected(Unexpected<G> failure) : error_(E(std::move(failure.error))) {}  // NOLINT: implicit

#ifndef NDEBUG
  Expected(const Expected&) = default;
  Expected(Expected&&) noexcept(std::is_nothrow_move_constructible_v<std::optional<E>>) = default;
  Expected& operator=(const Expected& other) {
    requireLooked(error_.has_value());
    error_ = other.error_;
    LookedAt::operator=(other);
    return *this;
  }
  Expected& operator=(Expected&& other) noexcept {
    requireLooked(error_.has_value());
    error_ = std::move(other.error_);
    LookedAt::operator=(std::move(other));
    return *this;
  }
  ~Expected() { requireLooked(error_.has_value()); }
#endif

  bool ok() const {
    look();
    return !error_.has_value();
  }
  explicit operator bool() const { return ok(); }
  // Looked at and set aside: the result is dropped on purpose.
  void ignore() const { look(); }

  const E& error() const {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<E> error_;
};

#ifdef NDEBUG
// What a release build pays for the check: nothing.
static_assert(sizeof(Expected<int, int>) == sizeof(std::variant<int, int>));
static_assert(std::is_trivially_destructible_v<Expected<void, std::uint32_t>>);
#endif

// Done, or the platform's error code: the result of a system operation that
// gives nothing else back.
using SystemResult = Expected<void, std::uint32_t>;

// The result that a platform error code stands for: 0 is done.
inline SystemResult systemResult(std::uint32_t code) {
  if (code == 0) return {};
  return unexpected(code);
}

// The platform error code that a result stands for, 0 when done: for a code
// kept as a fact or compared with others.
inline std::uint32_t errorCodeOf(const SystemResult& result) { return result ? 0 : result.error(); }

// Which step of an operation failed, with the platform's error code and the
// file the step concerns, where one does. The words for a step enum's
// failures are written once: in a text table beside the enum where replies,
// reports or records share them (kAppendStepWords, takeOutStepText,
// serviceStepText), or else in the one function that makes its records.
template <typename Step>
struct StepFailure {
  Step step{};
  std::uint32_t code = 0;
  std::wstring path;
};

template <typename Step>
Unexpected<StepFailure<Step>> failedAt(Step step, std::uint32_t code, std::wstring path = {}) {
  return {StepFailure<Step>{step, code, std::move(path)}};
}

// Whether a step enum's text table has one row per step, in the enum's
// order, so that a step finds its row by its value: for a static_assert
// beside the table.
template <typename Row, std::size_t N>
constexpr bool rowsFollowSteps(const Row (&rows)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (static_cast<std::size_t>(rows[i].step) != i) return false;
  }
  return true;
}

}  // namespace varnick
