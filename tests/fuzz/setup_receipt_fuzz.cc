// Any bytes given to the receipt decoder: it must never crash, and what it
// accepts must be an object whose token and version are strings and whose
// createdAt is a number.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

#include "confirm/setup_receipt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto decoded = vorn::decodeSetupReceipt(bytes);
  if (!decoded) return 0;
  const nlohmann::json json = nlohmann::json::parse(bytes, nullptr, false);
  if (!json.is_object() || !json.contains("createdAt") || !json["createdAt"].is_number()) std::abort();
  if (!json.contains("token") || json["token"] != decoded.value().token) std::abort();
  if (!json.contains("version") || json["version"] != decoded.value().version) std::abort();
  return 0;
}
