// JSON decoding in the platform decoder's default settings (plain JSON, keys
// as they are), with failures that say what went wrong in plain words.
#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace vorn::platform {

inline constexpr std::string_view kDecodingErrorDomain = "VornSetup.Decoding";

enum class DecodingErrorKind { MalformedData = 1, WrongTopLevelType, MissingKey, NullValue, TypeMismatch };

inline DecodingErrorKind decodingErrorKind(const Error& error) {
  return static_cast<DecodingErrorKind>(error.code);
}

// One member of a record as decoding needs it: whether it was there, its
// kind, and its value when that is a string or a number. Nested values are
// known only by their kind.
struct MemberValue {
  bool present = false;
  nlohmann::json::value_t type = nlohmann::json::value_t::null;
  std::string text;
  double number = 0;
};

// Parses one JSON object, nothing but white space around it, and keeps only
// the members named in `keys`, in that order (a repeated key keeps its last
// value). Nothing else in the document is stored, however large it is.
Outcome<std::vector<MemberValue>> decodeTopLevelMembers(std::string_view bytes,
                                                        std::initializer_list<std::string_view> keys,
                                                        std::string_view recordName);

// The member as a string (moved out of `member`), or the reason it is not one.
Outcome<std::string> decodeStringMember(MemberValue& member, std::string_view key,
                                        std::string_view recordName);
// The member as a number (whole numbers taken as doubles).
Outcome<double> decodeNumberMember(const MemberValue& member, std::string_view key,
                                   std::string_view recordName);

}  // namespace vorn::platform
