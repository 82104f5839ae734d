// JSON decoding in the platform decoder's default settings (plain JSON, keys
// as they are), with failures that say what went wrong in plain words.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace vorn::platform {

inline constexpr std::string_view kDecodingErrorDomain = "VornSetup.Decoding";

enum class DecodingErrorKind { MalformedData = 1, WrongTopLevelType, MissingKey, NullValue, TypeMismatch };

inline DecodingErrorKind decodingErrorKind(const Error& error) {
  return static_cast<DecodingErrorKind>(error.code);
}

// Parses one JSON object; nothing but white space may stand around it.
Outcome<nlohmann::json> decodeTopLevelObject(std::string_view bytes, std::string_view recordName);

// The member `key` of `object` as a string, or the reason it is not one.
Outcome<std::string> decodeStringMember(const nlohmann::json& object, const char* key,
                                        std::string_view recordName);
// The member `key` of `object` as a number (whole numbers taken as doubles).
Outcome<double> decodeNumberMember(const nlohmann::json& object, const char* key,
                                   std::string_view recordName);

}  // namespace vorn::platform
