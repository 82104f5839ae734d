// The desktop platform the program runs on; which toolkit stands behind it is
// the backend's business.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace vorn::platform {

class DesktopPlatform {
 public:
  virtual ~DesktopPlatform() = default;
  virtual Platform& table() = 0;
};

// Empty when there is no display to show a window on.
std::unique_ptr<DesktopPlatform> makeDesktopPlatform();

}  // namespace vorn::platform
