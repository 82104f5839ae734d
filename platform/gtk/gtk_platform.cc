// The table of the desktop platform.
#include "platform/gtk/gtk_platform.h"

#include <filesystem>

namespace vorn::platform {

std::unique_ptr<DesktopPlatform> makeDesktopPlatform() {
  static const bool named = [] {
    // The Wayland app id and the X11 window's instance name come from the
    // program name: the application id.
    g_set_prgname(gtk::kApplicationId);
    g_set_application_name("Vorn Preview Setup");
    return true;
  }();
  (void)named;
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  // The X11 window class likewise, set after initialising, which derives a
  // capitalised one from the program name.
  gdk_set_program_class(gtk::kApplicationId);
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
