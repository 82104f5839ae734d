// The desktop platform on GTK 3 and WebKitGTK: the classes behind the table.
#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/gtk/gobject_ptr.h"
#include "platform/posix/posix_foundation.h"

namespace vorn::platform::gtk {

// The one name the desktop knows the program by: the session-bus name that keeps
// it to one instance, the Wayland app id, the X11 window class and the desktop
// entry's file name.
inline constexpr const char* kApplicationId = "com.vorn.PreviewSetup";

// What the application and its windows share; windows may outlive the
// application object (the controller keeps them until the process ends).
struct ApplicationState {
  ApplicationDelegate* delegate = nullptr;
  int exitStatus = 0;
  bool ending = false;
  std::vector<GtkWidget*> windows;  // shown and not yet destroyed; not owned
  std::function<void(int)> end;     // leaves the event loop with a status
};

class DesktopWindow final : public Window {
 public:
  DesktopWindow(std::shared_ptr<ApplicationState> state, Size contentSize, WindowStyle style);
  ~DesktopWindow() override;
  DesktopWindow(const DesktopWindow&) = delete;
  DesktopWindow& operator=(const DesktopWindow&) = delete;

  void setTitle(std::string_view title) override;
  void setDelegate(WindowDelegate* delegate) override { delegate_ = delegate; }
  void setContentView(WebView& view) override;
  void center() override;
  void makeKeyAndOrderFront() override;

  GtkWindow* widget() const { return GTK_WINDOW(window_.get()); }

 private:
  static gboolean onDeleteEvent(GtkWidget*, GdkEvent*, gpointer self);
  static void onDestroy(GtkWidget*, gpointer self);

  std::shared_ptr<ApplicationState> state_;
  GObjectPtr<GtkWidget> window_;
  Size contentSize_;
  WindowDelegate* delegate_ = nullptr;
  bool destroyed_ = false;
};

class DesktopPasteboard final : public Pasteboard {
 public:
  void clearContents() override;
  bool setString(std::string_view text) override;
  // Hands what the program put there to a clipboard manager, if one runs.
  void store();

 private:
  bool owned_ = false;
};

class DesktopImage final : public Image {
 public:
  explicit DesktopImage(GObjectPtr<GdkPixbuf> pixbuf) : pixbuf_(std::move(pixbuf)) {}
  GdkPixbuf* pixbuf() const { return pixbuf_.get(); }

 private:
  GObjectPtr<GdkPixbuf> pixbuf_;
};

class DesktopApplication final : public Application {
 public:
  DesktopApplication();
  ~DesktopApplication() override;
  DesktopApplication(const DesktopApplication&) = delete;
  DesktopApplication& operator=(const DesktopApplication&) = delete;
  void setDelegate(ApplicationDelegate* delegate) override { state_->delegate = delegate; }
  int run() override;
  void terminate() override;
  void terminateWithFailure(std::string_view line) override;
  std::unique_ptr<Window> makeWindow(Size contentSize, WindowStyle style) override;
  std::shared_ptr<Image> imageWithContentsOfURL(const URL& url) override;
  void setApplicationIconImage(std::shared_ptr<Image> image) override;
  void bringWindowsForward() override;
  Pasteboard& generalPasteboard() override { return pasteboard_; }
  // The connection to the display broke: the loop ends, with status 1.
  void displayLost();

 private:
  static void onActivate(GApplication* application, gpointer self);
  void end(int status);
  void shutDown();
  void applyIcon();

  GtkApplication* application_ = nullptr;  // while run() runs; owned there
  bool launched_ = false;                  // the first activation has run the launch
  bool displayLost_ = false;

  std::shared_ptr<ApplicationState> state_ = std::make_shared<ApplicationState>();
  std::shared_ptr<Image> icon_;
  guint iconSource_ = 0;  // the pending idle that applies icon_
  DesktopPasteboard pasteboard_;
  bool running_ = false;
};

// One web context per web view: its own ephemeral storage, the extension and
// the read grant that the view's load names.
struct WebContextState {
  GObjectPtr<WebKitWebContext> context;
  std::string readRoot;  // file-system path; empty grants nothing
  std::vector<std::string> handlerNames;
};

class DesktopWebView final : public WebView {
 public:
  DesktopWebView(std::shared_ptr<WebContextState> context, const WebViewConfiguration& configuration);
  ~DesktopWebView() override;
  DesktopWebView(const DesktopWebView&) = delete;
  DesktopWebView& operator=(const DesktopWebView&) = delete;

  void setNavigationDelegate(NavigationDelegate* delegate) override { navigationDelegate_ = delegate; }
  void loadFileURL(const URL& url, const URL& allowingReadAccessTo) override;
  void evaluateJavaScript(std::string script) override;

  GtkWidget* widget() const { return view_.get(); }

 private:
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision*, WebKitPolicyDecisionType,
                                 gpointer self);
  static gboolean onUserMessage(WebKitWebView*, WebKitUserMessage*, gpointer self);
  static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self);
  static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer self);

  std::shared_ptr<WebContextState> context_;
  UserContentController userContent_;
  GObjectPtr<GtkWidget> view_;
  NavigationDelegate* navigationDelegate_ = nullptr;
};

class DesktopWebKit final : public WebKit {
 public:
  std::unique_ptr<WebView> makeWebView(const WebViewConfiguration& configuration) override;
};

// The main queue is the main context; the background queue a pool of worker
// threads that is drained before the program ends; folder watches are GIO's
// file monitors (gtk_folder_watch.cc).
class DesktopDispatch final : public Dispatch {
 public:
  DesktopDispatch();
  ~DesktopDispatch() override;
  DesktopDispatch(const DesktopDispatch&) = delete;
  DesktopDispatch& operator=(const DesktopDispatch&) = delete;
  Status asyncGlobal(std::function<void()> work) override;
  void asyncMain(std::function<void()> work) override;
  std::unique_ptr<FolderWatch> watchFolder(const URL& folder, std::function<void()> changed) override;

 private:
  GThreadPool* pool_ = nullptr;
};

class DesktopTimer final : public Timer {
 public:
  DesktopTimer(double interval, bool repeats, std::function<void()> action);
  ~DesktopTimer() override;
  DesktopTimer(const DesktopTimer&) = delete;
  DesktopTimer& operator=(const DesktopTimer&) = delete;

 private:
  static gboolean fire(gpointer self);
  bool repeats_;
  std::function<void()> action_;
  guint source_ = 0;
};

class DesktopRunLoop final : public RunLoop {
 public:
  std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats, std::function<void()> action) override;
};

class GtkPlatform final : public DesktopPlatform {
 public:
  GtkPlatform();
  Platform& table() override { return table_; }

 private:
  DesktopApplication app_;
  DesktopWebKit webkit_;
  posix::PosixFoundation foundation_;
  DesktopDispatch dispatch_;
  DesktopRunLoop runLoop_;
  Platform table_;
};

// The folder next to the program's own folder that holds the web-process extension.
std::string extensionsDirectory();

}  // namespace vorn::platform::gtk
