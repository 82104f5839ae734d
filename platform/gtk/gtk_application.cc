// The application object: a GtkApplication on the main thread, unique on the
// session bus, the icon and the orderly end of the program, however it comes
// (the window, the page, a signal, the display going away).
#include <glib-unix.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/gtk/gtk_platform.h"

// Last: Xlib defines Status, a name of ours, as a macro.
#include <X11/Xlib.h>
#include <gdk/gdkx.h>

namespace vorn::platform::gtk {
namespace {

// The usual statuses of a program ended by a signal, 128 + its number.
template <int Signal>
gboolean endOnSignal(gpointer state) {
  auto* shared = static_cast<ApplicationState*>(state);
  if (shared->end) shared->end(128 + Signal);
  return G_SOURCE_CONTINUE;
}

// The application whose loop runs; the X11 connection's end reaches it here.
DesktopApplication* runningApplication = nullptr;
constexpr int kLostDisplayStatus = 1;

// Xlib's default, and GDK's, end the process at once when the connection to
// the X server breaks. Instead the loop is asked to end; Xlib then goes on
// with every request to the dead display failing at once.
int onDisplayLost(Display*) {
  if (runningApplication != nullptr) runningApplication->displayLost();
  return 0;
}
void goOnWithoutDisplay(Display*, void*) {}

}  // namespace

DesktopApplication::DesktopApplication() {
  state_->end = [this](int status) { end(status); };
}

DesktopApplication::~DesktopApplication() {
  // Windows may outlive the application; they must not call into it.
  state_->end = nullptr;
  if (iconSource_ != 0) g_source_remove(iconSource_);
}

int DesktopApplication::run() {
  if (state_->ending) return state_->exitStatus;
  // A second start, from this or any other copy, activates the first one on
  // the session bus and ends here with 0; without a bus each runs on its own.
  const GObjectPtr<GtkApplication> application =
      adopt(gtk_application_new(kApplicationId, G_APPLICATION_DEFAULT_FLAGS));
  application_ = application.get();
  g_signal_connect(application_, "activate", G_CALLBACK(onActivate), this);

  std::vector<guint> sources;
  sources.push_back(g_unix_signal_add(SIGTERM, endOnSignal<SIGTERM>, state_.get()));
  sources.push_back(g_unix_signal_add(SIGINT, endOnSignal<SIGINT>, state_.get()));
  sources.push_back(g_unix_signal_add(SIGHUP, endOnSignal<SIGHUP>, state_.get()));
  GdkDisplay* display = gdk_display_get_default();
  if (display != nullptr && GDK_IS_X11_DISPLAY(display)) {
    runningApplication = this;
    XSetIOErrorHandler(onDisplayLost);
    XSetIOErrorExitHandler(GDK_DISPLAY_XDISPLAY(display), goOnWithoutDisplay, nullptr);
  }

  running_ = true;
  const int status = g_application_run(G_APPLICATION(application_), 0, nullptr);
  running_ = false;
  for (const guint source : sources) g_source_remove(source);
  runningApplication = nullptr;

  if (launched_) {
    if (state_->delegate != nullptr) state_->delegate->applicationWillTerminate();
    shutDown();
  }
  application_ = nullptr;
  if (!launched_ && !state_->ending) return status;  // another instance was brought forward
  return state_->exitStatus;
}

void DesktopApplication::onActivate(GApplication* application, gpointer self) {
  auto* app = static_cast<DesktopApplication*>(self);
  if (app->launched_) {
    app->bringWindowsForward();  // started again: the window comes forward
    return;
  }
  app->launched_ = true;
  g_application_hold(application);  // the loop runs until the program ends, windows or not
  if (app->state_->delegate != nullptr && !app->state_->ending) {
    app->state_->delegate->applicationDidFinishLaunching();
  }
}

void DesktopApplication::displayLost() {
  displayLost_ = true;
  end(kLostDisplayStatus);
}

void DesktopApplication::end(int status) {
  if (state_->ending) return;
  state_->ending = true;
  state_->exitStatus = status;
  if (running_ && application_ != nullptr) g_application_quit(G_APPLICATION(application_));
}

void DesktopApplication::terminate() { end(0); }

void DesktopApplication::terminateWithFailure(std::string_view line) {
  if (state_->ending) return;
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  std::fflush(stderr);
  end(1);
}

// Closes the windows (and with them the web views' pages) and leaves the
// clipboard to a clipboard manager before the process goes.
void DesktopApplication::shutDown() {
  if (displayLost_) return;  // nothing of it is left to close or hand over
  pasteboard_.store();
  const std::vector<GtkWidget*> windows = state_->windows;
  for (GtkWidget* window : windows) gtk_widget_destroy(window);
  // Let the web processes hear that their pages are gone; bounded, never waits.
  for (int i = 0; i < 100 && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);
}

std::unique_ptr<Window> DesktopApplication::makeWindow(Size contentSize, WindowStyle style) {
  if (contentSize.width <= 0 || contentSize.height <= 0) return nullptr;
  return std::make_unique<DesktopWindow>(state_, contentSize, style);
}

std::shared_ptr<Image> DesktopApplication::imageWithContentsOfURL(const URL& url) {
  if (!url.isFileURL()) return nullptr;
  GError* raw = nullptr;
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(url.path().c_str(), &raw);
  const GErrorPtr error(raw);  // why not is of no use to anyone
  if (pixbuf == nullptr) return nullptr;
  return std::make_shared<DesktopImage>(adopt(pixbuf));
}

namespace {

// The usual icon sizes, no larger than the image: X11 drops an icon list too
// big for one request (a 512-pixel icon is), and window managers pick a size.
// Each size is scaled from the smallest one made so far that is at least
// twice as large: scaling all seven from the full image costs the launch
// about twice as long, before the page can start loading.
std::vector<GObjectPtr<GdkPixbuf>> iconSizes(GdkPixbuf* image) {
  const int largest = std::max(gdk_pixbuf_get_width(image), gdk_pixbuf_get_height(image));
  std::vector<GObjectPtr<GdkPixbuf>> sizes;  // largest first while they are made
  for (const int size : {256, 128, 64, 48, 32, 24, 16}) {
    if (size > largest && size != 16) continue;
    GdkPixbuf* source = image;
    for (const auto& made : sizes) {
      if (gdk_pixbuf_get_width(made.get()) >= 2 * size) source = made.get();
    }
    sizes.push_back(adopt(gdk_pixbuf_scale_simple(source, size, size, GDK_INTERP_HYPER)));
    if (!sizes.back()) sizes.pop_back();
  }
  std::reverse(sizes.begin(), sizes.end());
  return sizes;
}

}  // namespace

// Scaling the icon sizes takes several milliseconds; done once the launch has
// returned to the loop, it overlaps the web process starting instead of
// holding up the page's load.
void DesktopApplication::setApplicationIconImage(std::shared_ptr<Image> image) {
  if (dynamic_cast<const DesktopImage*>(image.get()) == nullptr) return;  // the default icon stays
  icon_ = std::move(image);
  if (iconSource_ != 0) return;
  iconSource_ = g_idle_add_full(
      G_PRIORITY_HIGH_IDLE,
      [](gpointer self) -> gboolean {
        static_cast<DesktopApplication*>(self)->applyIcon();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
}

void DesktopApplication::applyIcon() {
  iconSource_ = 0;
  // Only a desktop image is ever kept in icon_.
  const std::vector<GObjectPtr<GdkPixbuf>> sizes =
      iconSizes(static_cast<const DesktopImage&>(*icon_).pixbuf());
  if (sizes.empty()) return;
  GList* list = nullptr;
  for (const auto& size : sizes) list = g_list_append(list, size.get());
  gtk_window_set_default_icon_list(list);
  for (GtkWidget* window : state_->windows) gtk_window_set_icon_list(GTK_WINDOW(window), list);
  g_list_free(list);  // GTK keeps its own references
}

void DesktopApplication::bringWindowsForward() {
  for (GtkWidget* window : state_->windows) gtk_window_present(GTK_WINDOW(window));
}

}  // namespace vorn::platform::gtk
