// The confirmation file's safe read. (Body comes with the watcher.)
#include "platform/posix/posix_foundation.h"

namespace vorn::platform::posix {

Outcome<std::string> PosixFileManager::contentsOfSmallRegularFile(const std::string&, std::size_t) {
  return Error{"VornSetup", 1, "Not available yet"};
}

}  // namespace vorn::platform::posix
