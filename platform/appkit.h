// The application object, its window, images and the general pasteboard.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/url.h"

namespace vorn::platform {

class WebView;

// A window's content area, in pixels.
struct Size {
  int width = 0;
  int height = 0;
  friend bool operator==(const Size&, const Size&) = default;
};

// What the window's frame offers the user. The program's own window is the
// default: a title bar and a close button, and a size the user cannot change.
struct WindowStyle {
  bool titled = true;
  bool closable = true;
  bool resizable = false;
  friend bool operator==(const WindowStyle&, const WindowStyle&) = default;
};

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() = 0;
  virtual bool applicationShouldTerminateAfterLastWindowClosed() = 0;
  // The event loop has ended and the program is about to: the last moment to
  // stop work that runs elsewhere. Called once, on the main thread.
  virtual void applicationWillTerminate() {}
};

class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  virtual bool windowShouldClose() = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void setTitle(std::string_view title) = 0;
  // Not owned: the delegate outlives the window.
  virtual void setDelegate(WindowDelegate* delegate) = 0;
  virtual void setContentView(WebView& view) = 0;
  virtual void center() = 0;
  virtual void makeKeyAndOrderFront() = 0;
};

class Image {
 public:
  virtual ~Image() = default;
};

class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  virtual void clearContents() = 0;
  // Puts plain text there; false when the text is not well-formed UTF-8
  // (or holds a NUL), or when there is no clipboard to put it on.
  virtual bool setString(std::string_view text) = 0;
};

class Application {
 public:
  virtual ~Application() = default;
  // Not owned, as on the real platform: the caller keeps the delegate alive.
  virtual void setDelegate(ApplicationDelegate* delegate) = 0;
  // Runs the event loop; answers the process's exit status once it ends.
  // Before it returns, the delegate hears applicationWillTerminate().
  virtual int run() = 0;
  // Orderly end with status 0.
  virtual void terminate() = 0;
  // Orderly end when the program cannot go on: one line on standard error, status 1.
  virtual void terminateWithFailure(std::string_view line) = 0;

  // Empty when the window cannot be made, as for a size without area.
  virtual std::unique_ptr<Window> makeWindow(Size contentSize, WindowStyle style) = 0;
  // Empty when the file is missing or is no image.
  virtual std::shared_ptr<Image> imageWithContentsOfURL(const URL& url) = 0;
  // An empty image leaves the platform's default icon.
  virtual void setApplicationIconImage(std::shared_ptr<Image> image) = 0;
  // Brings the program's windows in front of every other program's.
  virtual void bringWindowsForward() = 0;
  virtual Pasteboard& generalPasteboard() = 0;
};

}  // namespace vorn::platform
