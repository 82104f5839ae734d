// The user's home folder, as both the program and its tools find it.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace vorn::platform::posix {

// HOME when it is an absolute path, else the account's own entry; a relative
// or missing value names no folder at all, never one below the working folder.
inline std::optional<std::string> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return std::string(home);
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

}  // namespace vorn::platform::posix
