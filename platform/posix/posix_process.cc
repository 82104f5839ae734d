// Running the updater. (Body comes with the installer.)
#include "platform/posix/posix_foundation.h"

namespace vorn::platform::posix {

Outcome<TaskResult> PosixFoundation::runTask(const URL&, const std::vector<std::string>&) {
  return Error{"VornSetup", 1, "Not available yet"};
}

}  // namespace vorn::platform::posix
