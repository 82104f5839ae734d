#include "confirm/text_equality.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace vorn {
namespace {

// The text as UTF-16, or nothing when the bytes are not well-formed UTF-8.
// (Converting leniently would turn different ill-formed inputs into the same
// replacement characters and make them equal.)
std::optional<icu::UnicodeString> wellFormed(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
  const auto length = static_cast<int32_t>(text.size());
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = 0;
  u_strFromUTF8(nullptr, 0, &needed, text.data(), length, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), length));
}

std::optional<icu::UnicodeString> normalized(const icu::Normalizer2& nfc, std::string_view text) {
  auto utf16 = wellFormed(text);
  if (!utf16) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString result = nfc.normalize(*utf16, status);
  if (U_FAILURE(status)) return std::nullopt;
  return result;
}

}  // namespace

bool canonicallyEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status) || nfc == nullptr) return false;
  const auto left = normalized(*nfc, a);
  const auto right = normalized(*nfc, b);
  return left && right && *left == *right;
}

}  // namespace vorn
