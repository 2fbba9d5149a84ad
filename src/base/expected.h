// A value, or the error that kept it from being made: the one shape of a
// result that may fail. The type is [[nodiscard]], so a failure cannot be
// dropped without a cast that says so; reading the value of a failure, or
// the error of a success, is a fault of the caller, caught by assert.
//
// A failure is made with unexpected(error), so that a result whose value
// and error could be taken for each other (an int and an error code) is
// never built the wrong way round. The error given may be of any type that
// converts to the result's: a DWORD from the system to a std::uint32_t.
#pragma once

#include <cassert>
#include <cstdint>
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

template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  template <typename G, typename = std::enable_if_t<std::is_convertible_v<G, E>>>
  Expected(Unexpected<G> failure)  // NOLINT: implicit
      : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

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
  std::variant<T, E> state_;
};

// Done, or the error: a result with no value.
template <typename E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <typename G, typename = std::enable_if_t<std::is_convertible_v<G, E>>>
  Expected(Unexpected<G> failure) : error_(E(std::move(failure.error))) {}  // NOLINT: implicit

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  const E& error() const {
    assert(!ok());
    return *error_;
  }

 private:
  std::optional<E> error_;
};

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
// file the step concerns, where one does. Each step enum has one text table
// beside the code that makes its records.
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

}  // namespace varnick
