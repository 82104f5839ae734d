// The confirmation file's record: which installation it confirms and when it
// was written.
#pragma once

#include <string>
#include <string_view>

#include "platform/error.h"

namespace vorn {

// The file a confirming program writes beside the installed folder.
inline constexpr std::string_view kReceiptFileName = "setup-confirmed.json";

struct SetupReceipt {
  std::string token;
  std::string version;
  double createdAt = 0;  // seconds since 1970, fractions allowed
};

// Strict: one JSON object with nothing but white space around it; "token" and
// "version" strings, "createdAt" a JSON number (whole numbers taken as
// doubles); members in any order, extra ones ignored; on failure no record at
// all. The error's code is a platform::DecodingErrorKind.
platform::Outcome<SetupReceipt> decodeSetupReceipt(std::string_view bytes);

}  // namespace vorn
