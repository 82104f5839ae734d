#include "confirm/setup_receipt.h"

#include "platform/json_decoding.h"

namespace vorn {

platform::Outcome<SetupReceipt> decodeSetupReceipt(std::string_view bytes) {
  constexpr std::string_view kName = "confirmation receipt";
  auto object = platform::decodeTopLevelObject(bytes, kName);
  if (!object) return object.error();
  auto token = platform::decodeStringMember(object.value(), "token", kName);
  if (!token) return token.error();
  auto version = platform::decodeStringMember(object.value(), "version", kName);
  if (!version) return version.error();
  auto createdAt = platform::decodeNumberMember(object.value(), "createdAt", kName);
  if (!createdAt) return createdAt.error();
  return SetupReceipt{std::move(token.value()), std::move(version.value()), createdAt.value()};
}

}  // namespace vorn
