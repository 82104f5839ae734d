#include "tests/desktop/desktop_fixture.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gdk/gdkx.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

namespace vorn::desktop_testing {
namespace {

using Clock = std::chrono::steady_clock;

struct Pending {
  bool done = false;
  std::optional<std::string> value;
};

void evaluated(GObject* source, GAsyncResult* result, gpointer data) {
  auto* pending = static_cast<Pending*>(data);
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (value != nullptr) {
    gchar* json = jsc_value_to_json(value, 0);
    pending->value = json != nullptr ? std::string(json) : std::string("undefined");
    g_free(json);
    g_object_unref(value);
  }
  if (error != nullptr) g_error_free(error);
  pending->done = true;
}

struct ChildPending {
  bool done = false;
  ChildRun run;
};

void communicated(GObject* source, GAsyncResult* result, gpointer data) {
  auto* pending = static_cast<ChildPending*>(data);
  GBytes* out = nullptr;
  GBytes* err = nullptr;
  GError* error = nullptr;
  auto* process = G_SUBPROCESS(source);
  if (g_subprocess_communicate_finish(process, result, &out, &err, &error)) {
    auto text = [](GBytes* bytes) {
      gsize size = 0;
      const auto* data =
          static_cast<const char*>(bytes != nullptr ? g_bytes_get_data(bytes, &size) : nullptr);
      return data != nullptr ? std::string(data, size) : std::string();
    };
    pending->run.out = text(out);
    pending->run.err = text(err);
    pending->run.status = g_subprocess_get_if_exited(process) ? g_subprocess_get_exit_status(process) : 128;
  }
  if (out != nullptr) g_bytes_unref(out);
  if (err != nullptr) g_bytes_unref(err);
  if (error != nullptr) g_error_free(error);
  pending->done = true;
}

::Window xidOf(GtkWidget* window) { return GDK_WINDOW_XID(gtk_widget_get_window(window)); }
Display* displayOf(GtkWidget* window) { return GDK_WINDOW_XDISPLAY(gtk_widget_get_window(window)); }

}  // namespace

bool pumpUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void pumpFor(double seconds) {
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  pumpUntil([&] { return Clock::now() > until; }, seconds + 1);
}

std::optional<std::string> evaluate(WebKitWebView* view, const std::string& script) {
  // Shared with the callback, which may come after a timeout here.
  auto pending = std::make_shared<Pending>();
  auto* holder = std::make_unique<std::shared_ptr<Pending>>(pending).release();  // released by the callback
  webkit_web_view_evaluate_javascript(
      view, script.c_str(), -1, nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<Pending>> owned(static_cast<std::shared_ptr<Pending>*>(data));
        evaluated(source, result, owned->get());
      },
      holder);
  pumpUntil([&] { return pending->done; }, 15.0);
  return pending->value;
}

bool waitForScript(WebKitWebView* view, const std::string& script, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (evaluate(view, "!!(" + script + ")") == "true") return true;
    pumpFor(0.02);
  }
  return false;
}

ChildRun runChild(const std::vector<std::string>& argv, double seconds) {
  std::vector<const char*> words;
  words.reserve(argv.size() + 1);
  for (const std::string& word : argv) words.push_back(word.c_str());
  words.push_back(nullptr);
  GError* error = nullptr;
  GSubprocess* process = g_subprocess_newv(
      words.data(),
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE), &error);
  if (process == nullptr) {
    ChildRun failed;
    failed.err = error != nullptr ? error->message : "could not start";
    if (error != nullptr) g_error_free(error);
    return failed;
  }
  auto pending = std::make_shared<ChildPending>();
  auto* holder =
      std::make_unique<std::shared_ptr<ChildPending>>(pending).release();  // released by the callback
  g_subprocess_communicate_async(
      process, nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<ChildPending>> owned(
            static_cast<std::shared_ptr<ChildPending>*>(data));
        communicated(source, result, owned->get());
      },
      holder);
  if (!pumpUntil([&] { return pending->done; }, seconds)) g_subprocess_force_exit(process);
  pumpUntil([&] { return pending->done; }, 5.0);
  g_object_unref(process);
  return pending->run;
}

bool onX11() { return GDK_IS_X11_DISPLAY(gdk_display_get_default()); }

bool hasClipboard() { return gdk_display_get_default_seat(gdk_display_get_default()) != nullptr; }

std::optional<std::string> clipboardSeenByAnotherProgram() {
  const ChildRun run = onX11() ? runChild({"xclip", "-selection", "clipboard", "-o"}, 10.0)
                               : runChild({"wl-paste", "--no-newline"}, 10.0);
  if (run.status != 0) return std::nullopt;
  return run.out;
}

std::optional<std::string> afterCopying(const std::string& text) {
  if (!hasClipboard()) return std::nullopt;
  return text;
}

bool clickAt(GtkWidget* window, int x, int y) {
  const std::string id = std::to_string(xidOf(window));
  const ChildRun run = runChild(
      {"xdotool", "mousemove", "--sync", "--window", id, std::to_string(x), std::to_string(y), "click", "1"});
  return run.status == 0;
}

unsigned long x11WindowId(GtkWidget* window) { return xidOf(window); }

X11Window readX11Window(GtkWidget* window) {
  X11Window seen;
  Display* display = displayOf(window);
  const ::Window xid = xidOf(window);
  XSync(display, False);

  const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, xid, netName, 0, 1024, False, utf8, &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr) {
    seen.title.assign(reinterpret_cast<const char*>(data), count);
    XFree(data);
  }
  data = nullptr;
  const Atom icon = XInternAtom(display, "_NET_WM_ICON", False);
  if (XGetWindowProperty(display, xid, icon, 0, 2, False, XA_CARDINAL, &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr) {
    seen.hasIcon = count > 0;
    XFree(data);
  }
  XClassHint hint{};
  if (XGetClassHint(display, xid, &hint) != 0) {
    if (hint.res_name != nullptr) seen.instanceName = hint.res_name;
    if (hint.res_class != nullptr) seen.className = hint.res_class;
    XFree(hint.res_name);
    XFree(hint.res_class);
  }

  XWindowAttributes attributes{};
  XGetWindowAttributes(display, xid, &attributes);
  seen.width = attributes.width;
  seen.height = attributes.height;
  seen.screenWidth = WidthOfScreen(attributes.screen);
  seen.screenHeight = HeightOfScreen(attributes.screen);
  ::Window child = 0;
  XTranslateCoordinates(display, xid, attributes.root, 0, 0, &seen.x, &seen.y, &child);

  XSizeHints hints{};
  long supplied = 0;
  if (XGetWMNormalHints(display, xid, &hints, &supplied) != 0) {
    if ((hints.flags & PMinSize) != 0) {
      seen.minWidth = hints.min_width;
      seen.minHeight = hints.min_height;
    }
    if ((hints.flags & PMaxSize) != 0) {
      seen.maxWidth = hints.max_width;
      seen.maxHeight = hints.max_height;
    }
  }
  return seen;
}

std::string compositorLog() {
  const char* log = std::getenv("VORN_WESTON_LOG");
  if (log == nullptr) return {};
  std::ifstream in(log);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int visibleToplevels() {
  int shown = 0;
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item != nullptr; item = item->next) {
    auto* window = GTK_WINDOW(item->data);
    if (gtk_widget_get_visible(GTK_WIDGET(window)) &&
        gtk_window_get_window_type(window) == GTK_WINDOW_TOPLEVEL) {
      ++shown;
    }
  }
  g_list_free(windows);
  return shown;
}

std::filesystem::path bundlePath() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().parent_path();
}

platform::URL uiFolderURL() {
  return platform::URL::fileURLWithPath((bundlePath() / "Contents" / "Resources" / "ui").string(), true);
}

bool saveSnapshot(WebKitWebView* view, const std::filesystem::path& file) {
  struct Shot {
    bool done = false;
    cairo_surface_t* surface = nullptr;
  };
  auto shot = std::make_shared<Shot>();
  auto* holder = std::make_unique<std::shared_ptr<Shot>>(shot).release();  // released by the callback
  webkit_web_view_get_snapshot(
      view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<Shot>> owned(static_cast<std::shared_ptr<Shot>*>(data));
        (*owned)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
        (*owned)->done = true;
      },
      holder);
  pumpUntil([&] { return shot->done; }, 15.0);
  if (shot->surface == nullptr) return false;
  const bool written = cairo_surface_write_to_png(shot->surface, file.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(shot->surface);
  return written;
}

ScopedLanguage::ScopedLanguage(const std::vector<std::pair<std::string, std::string>>& settings) {
  for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* was = g_getenv(name);
    saved_.emplace_back(name, was != nullptr ? std::optional<std::string>(was) : std::nullopt);
    g_unsetenv(name);
  }
  for (const auto& [name, value] : settings) g_setenv(name.c_str(), value.c_str(), TRUE);
}

ScopedLanguage::~ScopedLanguage() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      g_setenv(name.c_str(), value->c_str(), TRUE);
    } else {
      g_unsetenv(name.c_str());
    }
  }
}

}  // namespace vorn::desktop_testing
