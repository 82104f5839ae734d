// Helpers for tests that run the desktop backend for real: a display (Xvfb),
// the GLib main context, the WebKit engine and the X11 clipboard.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/url.h"

namespace vorn::desktop_testing {

// Runs the main context until `done` answers true or `seconds` have passed;
// answers whether `done` came true.
bool pumpUntil(const std::function<bool()>& done, double seconds = 15.0);
void pumpFor(double seconds);

// Evaluates `script` in the view's main frame and answers its value as JSON
// text, or nothing when the script threw.
std::optional<std::string> evaluate(WebKitWebView* view, const std::string& script);
// Waits until `script` evaluates to true.
bool waitForScript(WebKitWebView* view, const std::string& script, double seconds = 15.0);

// Runs a program to its end while the main context keeps running (so that
// this process can serve the clipboard meanwhile); answers its exit status,
// standard output and standard error.
struct ChildRun {
  int status = -1;
  std::string out;
  std::string err;
};
ChildRun runChild(const std::vector<std::string>& argv, double seconds = 30.0);

// Whether the toolkit runs on an X server, and whether its display has a seat
// (a headless Wayland compositor has none, and with it no clipboard).
bool onX11();
bool hasClipboard();

// The CLIPBOARD selection as another program reads it (xclip or wl-paste).
std::optional<std::string> clipboardSeenByAnotherProgram();
// What another program reads after `text` was copied: nothing without a clipboard.
std::optional<std::string> afterCopying(const std::string& text);

// A real pointer click at a point of the window's content, through the X server;
// X11 only.
bool clickAt(GtkWidget* window, int x, int y);

// The X11 window id of a toplevel.
unsigned long x11WindowId(GtkWidget* window);

// What the X server knows of a toplevel window.
struct X11Window {
  std::string title;
  int x = 0, y = 0, width = 0, height = 0;
  int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
  int screenWidth = 0, screenHeight = 0;
  bool hasIcon = false;
  std::string instanceName, className;  // WM_CLASS
};
X11Window readX11Window(GtkWidget* window);

// What the Wayland compositor logged of the requests it was sent, when the
// test runs in one that logs them (run-under-weston headless); else empty.
std::string compositorLog();

// Toplevel windows currently shown.
int visibleToplevels();

// The test bundle this executable runs from, and its ui folder as a file URL.
std::filesystem::path bundlePath();
platform::URL uiFolderURL();

// Saves a picture of what the view shows.
bool saveSnapshot(WebKitWebView* view, const std::filesystem::path& file);

// The variables that choose the user's language (LANGUAGE, LC_ALL, LC_MESSAGES,
// LANG), cleared and then set as given for as long as this lives. GLib reads
// them anew on each call; the toolkit's setlocale() was done long before.
class ScopedLanguage {
 public:
  explicit ScopedLanguage(const std::vector<std::pair<std::string, std::string>>& settings);
  ~ScopedLanguage();
  ScopedLanguage(const ScopedLanguage&) = delete;
  ScopedLanguage& operator=(const ScopedLanguage&) = delete;

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace vorn::desktop_testing
