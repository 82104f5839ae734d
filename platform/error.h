// Errors as values at every platform boundary.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vorn::platform {

// Where an error came from; the code means something only within its domain.
// A system call's failure, its code an errno value:
inline constexpr std::string_view kSystemErrorDomain = "VornSetup.System";
// An operation given up because the program is ending:
inline constexpr std::string_view kCancelledErrorDomain = "VornSetup.Cancelled";

// Only the description is ever shown to anyone.
struct Error {
  std::string domain;
  int code = 0;
  std::string localizedDescription;
};

// Either a value or the error that prevented it.
template <typename T>
class Outcome {
 public:
  Outcome(T value) : state_(std::move(value)) {}      // NOLINT(google-explicit-constructor)
  Outcome(Error error) : state_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
  [[nodiscard]] bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

struct Done {};
using Status = Outcome<Done>;
inline Status success() { return Done{}; }

}  // namespace vorn::platform
