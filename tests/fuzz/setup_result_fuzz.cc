// Any bytes given to the result decoder: it must never crash, and it must
// accept exactly what the reference accepts, with the same three texts, and
// refuse the rest with the reference's kind of failure.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "install/setup_result.h"
#include "tests/fuzz/reference_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vorn::fuzz::Wanted;
  vorn::fuzz::checkAgainstReference(
      std::string_view(reinterpret_cast<const char*>(data), size), vorn::decodeSetupResult,
      {{"folder", Wanted::String}, {"token", Wanted::String}, {"version", Wanted::String}},
      [](const nlohmann::json& tree, const vorn::SetupResult& result) {
        return tree["folder"] == result.folder && tree["token"] == result.token &&
               tree["version"] == result.version;
      });
  return 0;
}
