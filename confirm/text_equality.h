// Equality of two UTF-8 texts as sequences of Unicode characters.
#pragma once

#include <string_view>

namespace vorn {

// True when both texts are the same characters under canonical equivalence
// ("é" as one code point equals "e" followed by U+0301). Case-sensitive,
// nothing trimmed. Ill-formed UTF-8 has no characters to compare, so such a
// text equals only the identical bytes.
bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace vorn
