#include "confirm/setup_receipt.h"

#include "platform/json_decoding.h"

namespace vorn {

platform::Outcome<SetupReceipt> decodeSetupReceipt(std::string_view bytes) {
  constexpr std::string_view kName = "confirmation receipt";
  auto members = platform::decodeTopLevelMembers(bytes, {"token", "version", "createdAt"}, kName);
  if (!members) return members.error();
  auto& found = members.value();
  auto token = platform::decodeStringMember(found[0], "token", kName);
  if (!token) return token.error();
  auto version = platform::decodeStringMember(found[1], "version", kName);
  if (!version) return version.error();
  auto createdAt = platform::decodeNumberMember(found[2], "createdAt", kName);
  if (!createdAt) return createdAt.error();
  return SetupReceipt{std::move(token.value()), std::move(version.value()), createdAt.value()};
}

}  // namespace vorn
