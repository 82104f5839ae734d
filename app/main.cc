// The program: the setup controller on the desktop platform.
#include <cstdio>

#include "app/setup_controller.h"
#include "platform/desktop.h"

int main() {
  const std::unique_ptr<vorn::platform::DesktopPlatform> platform = vorn::platform::makeDesktopPlatform();
  if (!platform) {
    std::fputs("Vorn Preview Setup: no display to show the setup window on.\n", stderr);
    return 1;
  }
  return vorn::runSetupProgram(platform->table());
}
