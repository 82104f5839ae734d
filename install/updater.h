// How the installer runs the updater and words what it left behind.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/foundation.h"

namespace vorn {

// An updater still running after this long is ended with everything it started.
inline constexpr double kUpdaterTimeLimitSeconds = 120;
// Of a long standard error, its first and its last this many bytes are kept.
inline constexpr std::size_t kUpdaterErrorEnds = std::size_t{32} * 1024;
// No error message is longer than this, prefix and marker included.
inline constexpr std::size_t kLongestErrorMessage = std::size_t{64} * 1024;
// The updater's result is a short record; more than this on standard output is not one.
inline constexpr std::size_t kUpdaterOutputLimit = std::size_t{1} << 20;
inline constexpr std::string_view kFailurePrefix = "Installation could not finish. ";

platform::TaskOptions updaterTaskOptions(const platform::Cancellation* cancellation);

// The description of an updater that failed: its standard error as text,
// ill-formed bytes replaced by U+FFFD, and when that would make the message
// too long, its beginning and its end around a plain marker, both cut where a
// character ends; or the plain words of a time limit that ran out.
std::string updaterFailureDescription(const platform::TaskResult& ended);
// The description of an updater that printed more than kUpdaterOutputLimit.
std::string updaterResultTooLongDescription();

}  // namespace vorn
