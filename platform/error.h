// Errors as values at every platform boundary.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vorn::platform {

// Mirrors the platform's error object: only the description is ever shown to anyone.
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
