// The general pasteboard is the desktop's CLIPBOARD selection, plain text only.
#include <string>

#include "platform/gtk/gtk_platform.h"

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

namespace vorn::platform::gtk {
namespace {

// A selection belongs to a seat: a compositor without one (a headless or
// kiosk session) has no clipboard, and GTK's selection calls dereference the
// missing seat there instead of failing.
GtkClipboard* systemClipboard() {
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr || gdk_display_get_default_seat(display) == nullptr) return nullptr;
  return gtk_clipboard_get_for_display(display, GDK_SELECTION_CLIPBOARD);
}

bool onX11(GtkClipboard* clipboard) {
#ifdef GDK_WINDOWING_X11
  return GDK_IS_X11_DISPLAY(gtk_clipboard_get_display(clipboard));
#else
  (void)clipboard;
  return false;
#endif
}

}  // namespace

void DesktopPasteboard::clearContents() {
  owned_ = false;
  GtkClipboard* clipboard = systemClipboard();
  if (clipboard == nullptr) return;
  gtk_clipboard_clear(clipboard);
  // On X11 another program's selection survives our clear; setting no owner
  // at all empties it for everyone, in whatever types. A Wayland selection is
  // replaced whole by the next offer, so there is nothing more to do.
  if (onX11(clipboard)) {
    gtk_selection_owner_set_for_display(gtk_clipboard_get_display(clipboard), nullptr,
                                        GDK_SELECTION_CLIPBOARD, GDK_CURRENT_TIME);
  }
}

bool DesktopPasteboard::setString(std::string_view text) {
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return false;
  GtkClipboard* clipboard = systemClipboard();
  if (clipboard == nullptr) return false;
  gtk_clipboard_set_text(clipboard, text.data(), static_cast<gint>(text.size()));
  // Every target may be kept by a clipboard manager once the program is gone.
  gtk_clipboard_set_can_store(clipboard, nullptr, 0);
  owned_ = true;
  return true;
}

void DesktopPasteboard::store() {
  if (!owned_) return;
  if (GtkClipboard* clipboard = systemClipboard(); clipboard != nullptr) gtk_clipboard_store(clipboard);
}

}  // namespace vorn::platform::gtk
