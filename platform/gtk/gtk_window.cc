// The program's window: a fixed-size GTK toplevel whose close request goes to
// the window delegate and whose end may end the application.
#include <algorithm>
#include <string>

#include "platform/gtk/gtk_platform.h"

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

namespace vorn::platform::gtk {
namespace {

bool onX11(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
  return GDK_IS_X11_DISPLAY(gtk_widget_get_display(GTK_WIDGET(window)));
#else
  (void)window;
  return false;
#endif
}

}  // namespace

DesktopWindow::DesktopWindow(std::shared_ptr<ApplicationState> state, Size contentSize, WindowStyle style)
    : state_(std::move(state)),
      window_(retain(gtk_window_new(GTK_WINDOW_TOPLEVEL))),
      contentSize_(contentSize) {
  GtkWindow* window = widget();
  const gint width = contentSize.width;
  const gint height = contentSize.height;
  gtk_window_set_default_size(window, width, height);
  const bool resizable = style.resizable;
  gtk_window_set_resizable(window, resizable ? TRUE : FALSE);
  if (!resizable) {
    // Stated once, here. Under Wayland GTK sends them again at the end of every
    // paint of any toplevel, so what keeps that count down is a page that draws
    // few frames; nothing here re-sends them.
    GdkGeometry hints{};
    hints.min_width = hints.max_width = width;
    hints.min_height = hints.max_height = height;
    gtk_window_set_geometry_hints(window, nullptr, &hints,
                                  static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
  }
  gtk_window_set_decorated(window, style.titled ? TRUE : FALSE);
  gtk_window_set_deletable(window, style.closable ? TRUE : FALSE);
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_NORMAL);
  g_signal_connect(window, "delete-event", G_CALLBACK(onDeleteEvent), this);
  g_signal_connect(window, "destroy", G_CALLBACK(onDestroy), this);
  state_->windows.push_back(window_.get());
}

DesktopWindow::~DesktopWindow() {
  g_signal_handlers_disconnect_by_data(window_.get(), this);
  if (!destroyed_) {
    destroyed_ = true;
    std::erase(state_->windows, window_.get());
    gtk_widget_destroy(window_.get());
  }
}

void DesktopWindow::setTitle(std::string_view title) {
  gtk_window_set_title(widget(), std::string(title).c_str());
}

void DesktopWindow::setContentView(WebView& view) {
  auto* web = dynamic_cast<DesktopWebView*>(&view);
  if (web == nullptr) return;
  if (GtkWidget* old = gtk_bin_get_child(GTK_BIN(widget())); old != nullptr) {
    gtk_container_remove(GTK_CONTAINER(widget()), old);
  }
  gtk_widget_set_size_request(web->widget(), contentSize_.width, contentSize_.height);
  gtk_container_add(GTK_CONTAINER(widget()), web->widget());
}

void DesktopWindow::center() {
  GtkWindow* window = widget();
  // A Wayland compositor places windows itself, and GTK's centring would look
  // for a pointer that a seatless compositor does not have.
  if (!onX11(window)) return;
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  if (!gtk_widget_get_mapped(GTK_WIDGET(window))) return;  // placed when shown
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
  GdkMonitor* monitor = gdk_display_get_monitor_at_window(display, gtk_widget_get_window(GTK_WIDGET(window)));
  if (monitor == nullptr) return;
  GdkRectangle area{};
  gdk_monitor_get_workarea(monitor, &area);
  gint width = 0;
  gint height = 0;
  gtk_window_get_size(window, &width, &height);
  gtk_window_move(window, area.x + (area.width - width) / 2, area.y + (area.height - height) / 2);
}

void DesktopWindow::makeKeyAndOrderFront() {
  gtk_widget_show_all(GTK_WIDGET(widget()));
  gtk_window_present(widget());
}

gboolean DesktopWindow::onDeleteEvent(GtkWidget*, GdkEvent*, gpointer self) {
  auto* window = static_cast<DesktopWindow*>(self);
  if (window->delegate_ != nullptr && !window->delegate_->windowShouldClose()) return TRUE;  // stays open
  return FALSE;
}

void DesktopWindow::onDestroy(GtkWidget*, gpointer self) {
  auto* window = static_cast<DesktopWindow*>(self);
  if (window->destroyed_) return;
  window->destroyed_ = true;
  ApplicationState& state = *window->state_;
  std::erase(state.windows, window->window_.get());
  if (state.ending || !state.windows.empty() || !state.end) return;
  if (state.delegate != nullptr && state.delegate->applicationShouldTerminateAfterLastWindowClosed())
    state.end(0);
}

}  // namespace vorn::platform::gtk
