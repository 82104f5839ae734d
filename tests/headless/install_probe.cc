// One installation in a process of its own, driven as the page drives it, so
// that a test can watch its system calls from outside (strace). The bundle is
// the folder given; HOME says where ~/Applications is. Exits 0 once installed.
#include <chrono>
#include <cstdio>
#include <string>

#include "app/setup_controller.h"
#include "platform/headless/headless_platform.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  vorn::platform::headless::HeadlessPlatform platform(
      {.executablePath = std::string(argv[1]) + "/Contents/MacOS/vorn-preview-setup", .clock = {}});
  auto controller = vorn::SetupController::create(platform.table());
  if (!controller) return 3;
  controller->applicationDidFinishLaunching();
  platform.postMessage(vorn::kMessageHandlerName, true, controller->indexPageURL(), std::string("install"));
  while (controller->view().installing) platform.dispatch.waitAndRunMainQueue(std::chrono::milliseconds(100));
  platform.dispatch.joinBackground();
  const auto events = platform.events();
  if (events.empty()) return 4;
  const auto message = events.back().find("message");
  if (message != events.back().end()) std::fprintf(stderr, "%s\n", message->second.c_str());
  return events.back().at("type") == "installed" ? 0 : 1;
}
