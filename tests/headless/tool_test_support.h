// What the tests of the updater, the receipt writer and the native host share:
// reading a file whole, the wall clock, and native messaging's framing.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace vorn::tool_testing {

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A native messaging length: 32 bits in native byte order.
inline std::string lengthPrefix(std::uint32_t length) {
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes;
}

inline std::string frame(const std::string& message) {
  return lengthPrefix(static_cast<std::uint32_t>(message.size())) + message;
}

}  // namespace vorn::tool_testing
