#include "install/setup_result.h"

#include "platform/json_decoding.h"

namespace vorn {

platform::Outcome<SetupResult> decodeSetupResult(std::string_view bytes) {
  constexpr std::string_view kName = "updater's result";
  auto members = platform::decodeTopLevelMembers(bytes, {"folder", "token", "version"}, kName);
  if (!members) return members.error();
  auto& found = members.value();
  auto folder = platform::decodeStringMember(found[0], "folder", kName);
  if (!folder) return folder.error();
  auto token = platform::decodeStringMember(found[1], "token", kName);
  if (!token) return token.error();
  auto version = platform::decodeStringMember(found[2], "version", kName);
  if (!version) return version.error();
  return SetupResult{std::move(folder.value()), std::move(token.value()), std::move(version.value())};
}

}  // namespace vorn
