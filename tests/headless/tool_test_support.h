// What the tests of the updater, the receipt writer and the native host share:
// reading a file whole, the wall clock, native messaging's framing, and what
// a tool is started with.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

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

// This process's environment with `changes` made: a variable named there
// takes its value, or is left out where it has none.
inline std::vector<std::string> environmentWith(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (!changes.contains(variable.substr(0, variable.find('=')))) variables.push_back(variable);
  }
  for (const auto& [name, value] : changes) {
    if (value) variables.push_back(std::string(name).append("=").append(*value));
  }
  return variables;
}

// The words before a program's own that start it as `user` (its group the
// same), with no other groups: a real second user on this machine.
inline std::vector<std::string> asUser(unsigned user) {
  const std::string id = std::to_string(user);
  return {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
}

// An argument or environment vector for exec: pointers into `texts`, which
// must outlive it, ended by a null pointer.
inline std::vector<char*> execVector(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace vorn::tool_testing
