#include "install/setup_result.h"

#include "platform/json_decoding.h"

namespace vorn {

platform::Outcome<SetupResult> decodeSetupResult(std::string_view bytes) {
  constexpr std::string_view kName = "updater's result";
  auto object = platform::decodeTopLevelObject(bytes, kName);
  if (!object) return object.error();
  auto folder = platform::decodeStringMember(object.value(), "folder", kName);
  if (!folder) return folder.error();
  auto token = platform::decodeStringMember(object.value(), "token", kName);
  if (!token) return token.error();
  auto version = platform::decodeStringMember(object.value(), "version", kName);
  if (!version) return version.error();
  return SetupResult{std::move(folder.value()), std::move(token.value()), std::move(version.value())};
}

}  // namespace vorn
