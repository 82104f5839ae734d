// Any bytes given to the receipt decoder: it must never crash, and it must
// accept exactly what the reference accepts, with the same values, and refuse
// the rest with the reference's kind of failure.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "confirm/setup_receipt.h"
#include "tests/fuzz/reference_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vorn::fuzz::require;
  using vorn::fuzz::Wanted;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto decoded = vorn::decodeSetupReceipt(bytes);
  const nlohmann::json tree = nlohmann::json::parse(bytes, nullptr, false);
  const auto failure = vorn::fuzz::referenceFailure(
      tree, {{"token", Wanted::String}, {"version", Wanted::String}, {"createdAt", Wanted::Number}});
  if (failure) {
    require(!decoded && vorn::platform::decodingErrorKind(decoded.error()) == *failure);
    return 0;
  }
  require(decoded.ok());
  require(tree["token"] == decoded.value().token && tree["version"] == decoded.value().version);
  require(tree["createdAt"].get<double>() == decoded.value().createdAt);
  return 0;
}
