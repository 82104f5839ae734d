// A failed system call as an error value.
#pragma once

#include <cstring>
#include <string>
#include <utility>

#include "platform/error.h"

namespace vorn::platform::posix {

// `code` is an errno value; the description is shown as it is.
inline Error posixError(int code, std::string description) {
  return Error{std::string(kSystemErrorDomain), code, std::move(description)};
}

// "Could not <what>: <reason>" with errno's text as the reason.
inline Error posixFailure(int code, const std::string& what) {
  return posixError(code, "Could not " + what + ": " + std::strerror(code));
}

}  // namespace vorn::platform::posix
