// The program: the setup controller on the desktop platform.
#include <cstdio>
#include <string_view>

#include "app/setup_controller.h"
#include "platform/desktop.h"

int main(int argc, char** argv) {
  // Answered before any display is sought, for packagers and support.
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::puts("vorn-preview-setup " VORN_VERSION);
    return 0;
  }
  const std::unique_ptr<vorn::platform::DesktopPlatform> platform = vorn::platform::makeDesktopPlatform();
  if (!platform) {
    std::fputs("Vorn Preview Setup: no display to show the setup window on.\n", stderr);
    return 1;
  }
  return vorn::runSetupProgram(platform->table());
}
