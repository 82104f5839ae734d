// One table of the platform's operations: the logic reaches the platform only
// through these interfaces, so any backend (desktop or headless) can stand behind it.
#pragma once

#include "platform/appkit.h"
#include "platform/dispatch.h"
#include "platform/foundation.h"
#include "platform/webkit.h"

namespace vorn::platform {

struct Platform {
  Application& app;
  WebKit& webkit;
  Foundation& foundation;
  Dispatch& dispatch;
  RunLoop& runLoop;
};

}  // namespace vorn::platform
