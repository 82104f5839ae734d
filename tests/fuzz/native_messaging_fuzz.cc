// Any bytes as the native host's standard input, arriving in pieces of a few
// sizes: the frame reader must never crash, must read nothing past the frame,
// must hand over exactly the announced bytes or say why not, and the request
// decoder must agree with a plain parse of the message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "native_messaging.h"

namespace {

using vorn::tools::FrameStatus;

void check(bool holds) {
  if (!holds) std::abort();
}

// The input handed over `piece` bytes at a time at most.
vorn::tools::Frame readInPieces(std::string_view input, std::size_t piece, std::size_t& consumed) {
  consumed = 0;
  return vorn::tools::readFrame([&](char* into, std::size_t size) -> std::ptrdiff_t {
    const std::size_t count = std::min({size, piece, input.size() - consumed});
    std::memcpy(into, input.data() + consumed, count);
    consumed += count;
    return static_cast<std::ptrdiff_t>(count);
  });
}

void checkRequest(const std::string& message) {
  const auto decoded = vorn::tools::decodeRequest(message);
  const auto tree = nlohmann::json::parse(message, nullptr, false);
  if (tree.is_discarded()) {
    check(!decoded.request && decoded.error == vorn::tools::RequestError::NotJson);
  } else if (!tree.is_object()) {
    check(!decoded.request && decoded.error == vorn::tools::RequestError::NotAnObject);
  } else if (!tree.contains("request") || tree["request"] != "confirm") {
    check(!decoded.request && decoded.error == vorn::tools::RequestError::UnknownRequest);
  } else if (!tree.contains("version") || !tree["version"].is_string()) {
    check(!decoded.request && decoded.error == vorn::tools::RequestError::NoVersion);
  } else {
    check(decoded.request && decoded.request->version == tree["version"]);
    check(decoded.request->watch == (tree.contains("watch") && tree["watch"] == true));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::uint32_t announced = 0;
  if (size >= vorn::tools::kLengthSize) std::memcpy(&announced, data, vorn::tools::kLengthSize);

  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, input.size() + 1}) {
    std::size_t consumed = 0;
    const auto frame = readInPieces(input, piece, consumed);
    check(frame.status != FrameStatus::ReadFailed);
    if (size < vorn::tools::kLengthSize) {
      check(frame.status == FrameStatus::EndInLength && consumed == size);
      continue;
    }
    check(frame.length == announced);
    if (announced > vorn::tools::kMaxIncomingMessage) {
      check(frame.status == FrameStatus::TooLong && consumed == vorn::tools::kLengthSize);
    } else if (size - vorn::tools::kLengthSize < announced) {
      check(frame.status == FrameStatus::EndInMessage && consumed == size);
    } else {
      check(frame.status == FrameStatus::Complete && consumed == vorn::tools::kLengthSize + announced);
      check(frame.message == input.substr(vorn::tools::kLengthSize, announced));
    }
  }

  // What the host sends, read back as the browser reads it.
  const auto encoded = vorn::tools::encodeFrame(input);
  check(encoded.has_value());
  if (size <= vorn::tools::kMaxIncomingMessage) {
    std::size_t consumed = 0;
    const auto back = readInPieces(*encoded, 7, consumed);
    check(back.status == FrameStatus::Complete && back.message == input && consumed == encoded->size());
  }

  // The request decoder on whatever follows the length, framed or not.
  if (size >= vorn::tools::kLengthSize) checkRequest(std::string(input.substr(vorn::tools::kLengthSize)));
  return 0;
}
