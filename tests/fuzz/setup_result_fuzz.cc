// Any bytes given to the result decoder: it must never crash, and what it
// accepts must be exactly an object with three string members of those names.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "install/setup_result.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto decoded = vorn::decodeSetupResult(bytes);
  if (!decoded) return 0;
  const nlohmann::json json = nlohmann::json::parse(bytes, nullptr, false);
  if (!json.is_object()) std::abort();
  for (const char* key : {"folder", "token", "version"}) {
    if (!json.contains(key) || !json[key].is_string()) std::abort();
  }
  if (json["folder"] != decoded.value().folder || json["token"] != decoded.value().token ||
      json["version"] != decoded.value().version) {
    std::abort();
  }
  return 0;
}
