// The updater's record, decoded from its standard output.
#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace vorn {

struct SetupResult {
  std::string folder;
  std::string token;
  std::string version;
  friend bool operator==(const SetupResult&, const SetupResult&) = default;
};

// Strict: one JSON object with nothing but white space around it; members in
// any order, extra ones ignored; on failure no record at all. The error's code
// is a platform::DecodingErrorKind.
platform::Outcome<SetupResult> decodeSetupResult(std::string_view bytes);

}  // namespace vorn
