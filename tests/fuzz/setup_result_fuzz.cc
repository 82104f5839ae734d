// Any bytes given to the result decoder: it must never crash, and it must
// accept exactly what the reference accepts, with the same three texts, and
// refuse the rest with the reference's kind of failure.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "install/setup_result.h"
#include "tests/fuzz/reference_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vorn::fuzz::require;
  using vorn::fuzz::Wanted;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto decoded = vorn::decodeSetupResult(bytes);
  const nlohmann::json tree = nlohmann::json::parse(bytes, nullptr, false);
  const auto failure = vorn::fuzz::referenceFailure(
      tree, {{"folder", Wanted::String}, {"token", Wanted::String}, {"version", Wanted::String}});
  if (failure) {
    require(!decoded && vorn::platform::decodingErrorKind(decoded.error()) == *failure);
    return 0;
  }
  require(decoded.ok());
  require(tree["folder"] == decoded.value().folder && tree["token"] == decoded.value().token &&
          tree["version"] == decoded.value().version);
  return 0;
}
