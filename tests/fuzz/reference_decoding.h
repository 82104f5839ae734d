// The decoders' outcome worked out the slow, obvious way: the whole document
// parsed into a tree, then each member looked up in the record's order. The
// fuzzers hold the real decoders to exactly this, both ways.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/json_decoding.h"

namespace vorn::fuzz {

enum class Wanted { String, Number };

// The kind of failure the decoder must report, or nothing when it must succeed.
inline std::optional<platform::DecodingErrorKind> referenceFailure(
    const nlohmann::json& tree, std::initializer_list<std::pair<const char*, Wanted>> members) {
  using Kind = platform::DecodingErrorKind;
  if (tree.is_discarded()) return Kind::MalformedData;
  if (!tree.is_object()) return Kind::WrongTopLevelType;
  for (const auto& [key, wanted] : members) {
    const auto it = tree.find(key);
    if (it == tree.end()) return Kind::MissingKey;
    if (it->is_null()) return Kind::NullValue;
    if (wanted == Wanted::String ? !it->is_string() : !it->is_number()) return Kind::TypeMismatch;
  }
  return std::nullopt;
}

inline void require(bool condition) {
  if (!condition) std::abort();
}

// Decodes `bytes` with `decode` and holds the outcome to the reference: the
// same kind of failure, or success with `sameValues(tree, record)` true.
template <typename Decode, typename SameValues>
void checkAgainstReference(std::string_view bytes, Decode decode,
                           std::initializer_list<std::pair<const char*, Wanted>> members,
                           SameValues sameValues) {
  const auto decoded = decode(bytes);
  const nlohmann::json tree = nlohmann::json::parse(bytes, nullptr, false);
  if (const auto failure = referenceFailure(tree, members)) {
    require(!decoded && platform::decodingErrorKind(decoded.error()) == *failure);
    return;
  }
  require(decoded.ok() && sameValues(tree, decoded.value()));
}

}  // namespace vorn::fuzz
