#include "native_messaging.h"

#include <array>
#include <cstring>
#include <nlohmann/json.hpp>

namespace vorn::tools {
namespace {

enum class Fill { Whole, Ended, Failed };

// Reads exactly `size` bytes unless the input ends or fails first.
Fill fill(const ByteSource& source, char* into, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const std::ptrdiff_t got = source(into + filled, size - filled);
    if (got < 0) return Fill::Failed;
    if (got == 0) return Fill::Ended;
    filled += static_cast<std::size_t>(got);
  }
  return Fill::Whole;
}

}  // namespace

Frame readFrame(const ByteSource& source, std::size_t limit) {
  Frame frame;
  std::array<char, kLengthSize> prefix{};
  switch (fill(source, prefix.data(), prefix.size())) {
    case Fill::Whole:
      break;
    case Fill::Ended:
      frame.status = FrameStatus::EndInLength;
      return frame;
    case Fill::Failed:
      frame.status = FrameStatus::ReadFailed;
      return frame;
  }
  std::memcpy(&frame.length, prefix.data(), prefix.size());
  if (frame.length > limit) {
    frame.status = FrameStatus::TooLong;
    return frame;
  }
  std::string message(frame.length, '\0');
  switch (fill(source, message.data(), message.size())) {
    case Fill::Whole:
      frame.status = FrameStatus::Complete;
      frame.message = std::move(message);
      break;
    case Fill::Ended:
      frame.status = FrameStatus::EndInMessage;
      break;
    case Fill::Failed:
      frame.status = FrameStatus::ReadFailed;
      break;
  }
  return frame;
}

std::optional<std::string> encodeFrame(std::string_view message) {
  if (message.size() > kMaxOutgoingMessage) return std::nullopt;
  const auto length = static_cast<std::uint32_t>(message.size());
  std::string frame(kLengthSize, '\0');
  std::memcpy(frame.data(), &length, kLengthSize);
  frame.append(message);
  return frame;
}

DecodedRequest decodeRequest(std::string_view message) {
  DecodedRequest decoded;
  // No exceptions: a parse failure, invalid UTF-8 included, is discarded.
  const auto json = nlohmann::json::parse(message, nullptr, false);
  if (json.is_discarded()) {
    decoded.error = RequestError::NotJson;
    return decoded;
  }
  if (!json.is_object()) {
    decoded.error = RequestError::NotAnObject;
    return decoded;
  }
  const auto request = json.find("request");
  if (request == json.end() || !request->is_string() || request->get_ref<const std::string&>() != "confirm") {
    decoded.error = RequestError::UnknownRequest;
    return decoded;
  }
  const auto version = json.find("version");
  if (version == json.end() || !version->is_string()) {
    decoded.error = RequestError::NoVersion;
    return decoded;
  }
  const auto watch = json.find("watch");
  decoded.request = ConfirmRequest{version->get<std::string>(), watch != json.end() && *watch == true};
  return decoded;
}

std::string describe(FrameStatus status) {
  switch (status) {
    case FrameStatus::Complete:
      return "the message was read";
    case FrameStatus::EndInLength:
      return "the input ended before the message's length";
    case FrameStatus::TooLong:
      return "the message is longer than " + std::to_string(kMaxIncomingMessage) + " bytes";
    case FrameStatus::EndInMessage:
      return "the input ended before the end of the message";
    case FrameStatus::ReadFailed:
      return "the message could not be read";
  }
  return "the message could not be read";
}

std::string describe(RequestError error) {
  switch (error) {
    case RequestError::NotJson:
      return "the message is not JSON";
    case RequestError::NotAnObject:
      return "the message is not a JSON object";
    case RequestError::UnknownRequest:
      return "the message asks for nothing this host does";
    case RequestError::NoVersion:
      return "the request names no version";
  }
  return "the message is not JSON";
}

}  // namespace vorn::tools
