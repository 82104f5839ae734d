// The general pasteboard is the desktop's CLIPBOARD selection, plain text only.
#include <string>

#include "platform/gtk/gtk_platform.h"

namespace vorn::platform::gtk {
namespace {

GtkClipboard* systemClipboard() { return gtk_clipboard_get(GDK_SELECTION_CLIPBOARD); }

}  // namespace

void DesktopPasteboard::clearContents() {
  // Setting no owner at all empties the selection for everyone, whoever held
  // it before and in whatever types.
  gtk_clipboard_clear(systemClipboard());
  gtk_selection_owner_set(nullptr, GDK_SELECTION_CLIPBOARD, GDK_CURRENT_TIME);
  owned_ = false;
}

bool DesktopPasteboard::setString(std::string_view text, std::string_view type) {
  if (type != PasteboardTypeString) return false;
  if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return false;
  GtkClipboard* clipboard = systemClipboard();
  gtk_clipboard_set_text(clipboard, text.data(), static_cast<gint>(text.size()));
  // Every target may be kept by a clipboard manager once the program is gone.
  gtk_clipboard_set_can_store(clipboard, nullptr, 0);
  owned_ = true;
  return true;
}

void DesktopPasteboard::store() {
  if (owned_) gtk_clipboard_store(systemClipboard());
}

}  // namespace vorn::platform::gtk
