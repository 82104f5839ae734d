// Any bytes given to the receipt decoder: it must never crash, and it must
// accept exactly what the reference accepts, with the same values, and refuse
// the rest with the reference's kind of failure.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "confirm/setup_receipt.h"
#include "tests/fuzz/reference_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vorn::fuzz::Wanted;
  vorn::fuzz::checkAgainstReference(
      std::string_view(reinterpret_cast<const char*>(data), size), vorn::decodeSetupReceipt,
      {{"token", Wanted::String}, {"version", Wanted::String}, {"createdAt", Wanted::Number}},
      [](const nlohmann::json& tree, const vorn::SetupReceipt& receipt) {
        return tree["token"] == receipt.token && tree["version"] == receipt.version &&
               tree["createdAt"].get<double>() == receipt.createdAt;
      });
  return 0;
}
