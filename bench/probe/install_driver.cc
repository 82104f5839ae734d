// One real installation, driven the way the page drives it, timed from the
// "install" command to the event that ends it. The bundle to install is the
// one whose program is <bundle>/Contents/MacOS/vorn-preview-setup; HOME says where
// ~/Applications is. Prints one JSON line: seconds, event type, message, its
// length and the process's peak resident memory (VmHWM, KiB).
//   vorn_install_driver <bundle>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "app/setup_controller.h"
#include "platform/headless/headless_platform.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <bundle>\n", argv[0]);
    return 2;
  }
  vorn::platform::headless::HeadlessPlatform platform(
      {.executablePath = std::string(argv[1]) + "/Contents/MacOS/vorn-preview-setup", .clock = {}});
  auto controller = vorn::SetupController::create(platform.table());
  if (!controller) return 3;
  controller->applicationDidFinishLaunching();

  const auto start = std::chrono::steady_clock::now();
  platform.postMessage(vorn::kMessageHandlerName, true, controller->indexPageURL(), std::string("install"));
  if (!controller->view().installing) {
    std::fprintf(stderr, "the bridge did not accept \"install\"\n");
    return 4;
  }
  while (controller->view().installing) platform.dispatch.waitAndRunMainQueue(std::chrono::milliseconds(100));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  platform.dispatch.joinBackground();

  const auto events = platform.events();
  long peakKiB = 0;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) peakKiB = std::stol(line.substr(6));
  }
  nlohmann::json out{{"seconds", seconds}, {"peakRssKiB", peakKiB}};
  if (!events.empty()) {
    out["event"] = events.back().at("type");
    if (auto it = events.back().find("message"); it != events.back().end()) {
      out["messageBytes"] = it->second.size();
      out["message"] = it->second.size() <= 1024 ? it->second : it->second.substr(0, 200) + "…";
    }
  }
  std::printf("%s\n", out.dump().c_str());
  return out.value("event", "") == "installed" ? 0 : 1;
}
