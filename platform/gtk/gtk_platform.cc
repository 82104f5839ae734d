// The table of the desktop platform.
#include "platform/gtk/gtk_platform.h"

#include <filesystem>

namespace vorn::platform {

std::unique_ptr<DesktopPlatform> makeDesktopPlatform() {
  static const bool named = [] {
    g_set_prgname("vorn-preview-setup");
    g_set_application_name("Vorn Preview Setup");
    return true;
  }();
  (void)named;
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  return std::make_unique<gtk::GtkPlatform>();
}

namespace gtk {

GtkPlatform::GtkPlatform() : table_{app_, webkit_, foundation_, dispatch_, runLoop_} {}

std::string extensionsDirectory() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || exe.empty()) return {};
  return (exe.parent_path().parent_path() / "Extensions").string();
}

}  // namespace gtk
}  // namespace vorn::platform
