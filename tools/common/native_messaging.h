// The browser's native messaging framing, as the host speaks it: a 32-bit
// length in the machine's own byte order, then that many bytes of UTF-8 JSON,
// in both directions. Kept apart from the host so that it can be fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::tools {

// A confirm request is a few dozen bytes; anything past this is refused
// unread.
inline constexpr std::size_t kMaxIncomingMessage = std::size_t{64} * 1024;
// The browser's own limit on what a host may send.
inline constexpr std::size_t kMaxOutgoingMessage = std::size_t{1024} * 1024;
inline constexpr std::size_t kLengthSize = sizeof(std::uint32_t);

// Fills up to `size` bytes at `into`: returns how many, 0 at the end of the
// input, or -1 when reading failed.
using ByteSource = std::function<std::ptrdiff_t(char* into, std::size_t size)>;

enum class FrameStatus {
  Complete,
  EndInLength,   // the input ended inside the length
  TooLong,       // the length is past the limit; the message was not read
  EndInMessage,  // the input ended before the length's worth of bytes
  ReadFailed,
};

struct Frame {
  FrameStatus status = FrameStatus::ReadFailed;
  std::uint32_t length = 0;  // as announced, once the length was read whole
  std::string message;       // the whole message when Complete
};

// Reads one frame and nothing past it, so that whatever follows stays unread.
Frame readFrame(const ByteSource& source, std::size_t limit = kMaxIncomingMessage);

// The frame for `message`, or nothing when it is longer than a host may send.
std::optional<std::string> encodeFrame(std::string_view message);

// What the host is asked to do. Only one request exists: "confirm". With
// `watch`, the host stays while the browser keeps its port open and answers
// again whenever a new setup is recorded.
struct ConfirmRequest {
  std::string version;
  bool watch = false;
};

enum class RequestError { NotJson, NotAnObject, UnknownRequest, NoVersion };

struct DecodedRequest {
  std::optional<ConfirmRequest> request;
  RequestError error = RequestError::NotJson;  // when there is no request
};

// {"request":"confirm","version":"<text>"}, with "watch":true to stay; other
// members (and a "watch" that is not true) are ignored. Text that is not
// UTF-8 is not JSON.
DecodedRequest decodeRequest(std::string_view message);

// Plain words for a failure, as the error reply carries them.
std::string describe(FrameStatus status);
std::string describe(RequestError error);

}  // namespace vorn::tools
