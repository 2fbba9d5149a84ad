// The one shape every operation's result takes: done, or the step that
// failed, with the platform's error code and the file it concerns. The type
// itself is [[nodiscard]], so no function that returns it can have its
// failure dropped without a cast that says so; each step enum has one text
// table beside the code that makes its records.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace varnick {

// `Step` is an enum whose kDone (its zero) means done.
template <typename Step>
struct [[nodiscard]] Outcome {
  Outcome() = default;
  Outcome(Step failedStep, std::uint32_t code, std::wstring file = {})
      : step(failedStep), error(code), path(std::move(file)) {}

  bool done() const { return step == Step::kDone; }

  Step step = Step::kDone;
  std::uint32_t error = 0;  // the platform's error code when not done
  std::wstring path;        // the file the step concerns, where one does
};

}  // namespace varnick
