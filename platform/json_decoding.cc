#include "platform/json_decoding.h"

#include <string>

namespace vorn::platform {
namespace {

Error decodingError(DecodingErrorKind kind, std::string description) {
  return Error{std::string(kDecodingErrorDomain), static_cast<int>(kind), std::move(description)};
}

std::string typeName(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object:
      return "an object";
    case nlohmann::json::value_t::array:
      return "an array";
    case nlohmann::json::value_t::string:
      return "a string";
    case nlohmann::json::value_t::boolean:
      return "a boolean";
    case nlohmann::json::value_t::null:
      return "null";
    default:
      return "a number";
  }
}

// Finds the member by its exact key, or explains why it cannot be used.
Outcome<const nlohmann::json*> member(const nlohmann::json& object, const char* key,
                                      std::string_view recordName) {
  const auto it = object.find(key);
  if (it == object.end()) {
    return decodingError(DecodingErrorKind::MissingKey,
                         "The " + std::string(recordName) + " has no \"" + key + "\" member.");
  }
  if (it->is_null()) {
    return decodingError(DecodingErrorKind::NullValue, "The \"" + std::string(key) + "\" member of the " +
                                                           std::string(recordName) + " is null.");
  }
  return &*it;
}

}  // namespace

Outcome<nlohmann::json> decodeTopLevelObject(std::string_view bytes, std::string_view recordName) {
  nlohmann::json parsed = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (parsed.is_discarded()) {
    return decodingError(DecodingErrorKind::MalformedData,
                         bytes.find_first_not_of(" \t\r\n") == std::string_view::npos
                             ? "The " + std::string(recordName) + " is empty."
                             : "The " + std::string(recordName) + " is not valid JSON.");
  }
  if (!parsed.is_object()) {
    return decodingError(
        DecodingErrorKind::WrongTopLevelType,
        "The " + std::string(recordName) + " is " + typeName(parsed) + " instead of an object.");
  }
  return parsed;
}

Outcome<std::string> decodeStringMember(const nlohmann::json& object, const char* key,
                                        std::string_view recordName) {
  auto found = member(object, key, recordName);
  if (!found) return found.error();
  const nlohmann::json& value = *found.value();
  if (!value.is_string()) {
    return decodingError(DecodingErrorKind::TypeMismatch, "The \"" + std::string(key) + "\" member of the " +
                                                              std::string(recordName) + " is " +
                                                              typeName(value) + " instead of a string.");
  }
  return value.get<std::string>();
}

Outcome<double> decodeNumberMember(const nlohmann::json& object, const char* key,
                                   std::string_view recordName) {
  auto found = member(object, key, recordName);
  if (!found) return found.error();
  const nlohmann::json& value = *found.value();
  if (!value.is_number()) {
    return decodingError(DecodingErrorKind::TypeMismatch, "The \"" + std::string(key) + "\" member of the " +
                                                              std::string(recordName) + " is " +
                                                              typeName(value) + " instead of a number.");
  }
  return value.get<double>();
}

}  // namespace vorn::platform
