// An in-process stand-in for the window, web view, clipboard, timer and queues.
// It records what the logic asked for and lets a test play the platform's part:
// post page messages, ask for navigation decisions, fire the timer, close the
// window and run what was posted to the main queue. Files, processes, UUIDs and
// the clock stay the real POSIX ones. Where the desktop refuses something (a
// window without area, clipboard text that is not UTF-8) this refuses it too;
// tests/contract/ holds both to that.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"

namespace vorn::platform::headless {

class HeadlessWebView;
class HeadlessWindow;

// Which window and view were made last. The program's controller may outlive
// the platform object (it is held until the process ends), so what a window or
// view reaches on its way out is shared with it rather than owned by the platform.
struct HeadlessRecord {
  HeadlessWindow* lastWindow = nullptr;    // empty again once that window is gone
  HeadlessWebView* lastWebView = nullptr;  // empty again once that view is gone
  // The scripts each view evaluated, one log per view made, kept beyond the
  // views so that a test can still read them after their owner went.
  std::deque<std::vector<std::string>> scriptLogs;
};

class HeadlessWindow final : public Window {
 public:
  HeadlessWindow(std::shared_ptr<HeadlessRecord> record, Size size, WindowStyle frameStyle)
      : contentSize(size), style(frameStyle), record_(std::move(record)) {}
  ~HeadlessWindow() override;
  HeadlessWindow(const HeadlessWindow&) = delete;
  HeadlessWindow& operator=(const HeadlessWindow&) = delete;
  void setTitle(std::string_view text) override { title = text; }
  void setDelegate(WindowDelegate* d) override { delegate = d; }
  void setContentView(WebView& view) override { contentView = &view; }
  void center() override { centered = true; }
  void makeKeyAndOrderFront() override { shownInFront = true; }

  Size contentSize;
  WindowStyle style;
  std::string title;
  WindowDelegate* delegate = nullptr;
  WebView* contentView = nullptr;
  bool centered = false;
  bool shownInFront = false;
  bool closed = false;

 private:
  std::shared_ptr<HeadlessRecord> record_;
};

class HeadlessWebView final : public WebView {
 public:
  HeadlessWebView(std::shared_ptr<HeadlessRecord> record, WebViewConfiguration config)
      : configuration(std::move(config)),
        scripts(record->scriptLogs.emplace_back()),
        record_(std::move(record)) {}
  ~HeadlessWebView() override;
  HeadlessWebView(const HeadlessWebView&) = delete;
  HeadlessWebView& operator=(const HeadlessWebView&) = delete;
  void setNavigationDelegate(NavigationDelegate* d) override { navigationDelegate = d; }
  void loadFileURL(const URL& url, const URL& readAccess) override {
    loads.push_back({url, readAccess, navigationDelegate != nullptr});
  }
  void evaluateJavaScript(std::string script) override { scripts.push_back(std::move(script)); }

  struct Load {
    URL url;
    URL allowingReadAccessTo;
    bool delegateWasSet;
  };
  WebViewConfiguration configuration;
  NavigationDelegate* navigationDelegate = nullptr;
  std::vector<Load> loads;
  std::vector<std::string>& scripts;  // in the shared record

 private:
  std::shared_ptr<HeadlessRecord> record_;
};

class HeadlessPasteboard final : public Pasteboard {
 public:
  void clearContents() override {
    contents.clear();
    ++clearCount;
  }
  // Refuses what the desktop's clipboard refuses: text that is not
  // well-formed UTF-8, or that holds a NUL.
  bool setString(std::string_view text) override;
  // What was put there, in the order written; an earlier owner's contents sit here too.
  std::vector<std::string> contents;
  int clearCount = 0;
};

class HeadlessImage final : public Image {
 public:
  explicit HeadlessImage(URL from) : url(std::move(from)) {}
  URL url;
};

class HeadlessApplication final : public Application {
 public:
  void setDelegate(ApplicationDelegate* d) override { delegate = d; }
  int run() override;
  void terminate() override { end(0); }
  void terminateWithFailure(std::string_view line) override;
  std::unique_ptr<Window> makeWindow(Size contentSize, WindowStyle style) override;
  std::shared_ptr<Image> imageWithContentsOfURL(const URL& url) override;
  void setApplicationIconImage(std::shared_ptr<Image> image) override {
    iconImage = std::move(image);
    iconWasSet = true;
  }
  void bringWindowsForward() override { broughtForward = true; }
  Pasteboard& generalPasteboard() override { return pasteboard; }

  void end(int status);

  ApplicationDelegate* delegate = nullptr;
  bool failWindowCreation = false;
  std::shared_ptr<HeadlessRecord> record = std::make_shared<HeadlessRecord>();
  std::shared_ptr<Image> iconImage;
  bool iconWasSet = false;
  bool broughtForward = false;
  HeadlessPasteboard pasteboard;
  std::optional<int> exitStatus;  // set once the application has ended
  std::string failureLine;
  std::function<void()> onEnd;  // lets run() stop waiting
  bool terminationAnnounced = false;
};

class HeadlessWebKit final : public WebKit {
 public:
  std::unique_ptr<WebView> makeWebView(const WebViewConfiguration& configuration) override;
  bool failWebViewCreation = false;
  std::shared_ptr<HeadlessRecord> record =
      std::make_shared<HeadlessRecord>();  // the platform shares the application's
};

// A real background thread per work item; a main queue that the test drains.
// Folder watches are real inotify watches, read whenever the test drives the
// main queue: what they saw is posted to it then, as the desktop's loop does.
class HeadlessDispatch final : public Dispatch {
 public:
  HeadlessDispatch();
  ~HeadlessDispatch() override;
  HeadlessDispatch(const HeadlessDispatch&) = delete;
  HeadlessDispatch& operator=(const HeadlessDispatch&) = delete;
  Status asyncGlobal(std::function<void()> work) override;
  void asyncMain(std::function<void()> work) override;
  std::unique_ptr<FolderWatch> watchFolder(const URL& folder, std::function<void()> changed) override;

  // Runs everything posted to the main queue so far, with the call backs of
  // the watches that saw a change; answers how many ran.
  int runMainQueue();
  // Waits up to `timeout` for main-queue work or a watched change, then runs what is there.
  bool waitAndRunMainQueue(std::chrono::milliseconds timeout);
  void joinBackground();
  int globalWorkQueued = 0;      // asked for, whether or not the queue took it
  bool failGlobalQueue = false;  // the queue refuses work, as a pool that cannot start a thread

 private:
  struct Watch;
  // Reads every live watch without waiting; posts the call back of each that saw a change.
  void collectFolderChanges();

  std::mutex mutex_;
  std::deque<std::function<void()>> main_;
  std::vector<std::thread> background_;
  posix::UniqueFd posted_;                     // an eventfd: main-queue work was posted
  std::vector<std::weak_ptr<Watch>> watches_;  // main thread only
};

class HeadlessTimer final : public Timer {
 public:
  double interval = 0;
  bool repeats = false;
  std::function<void()> action;
};

class HeadlessRunLoop final : public RunLoop {
 public:
  std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats, std::function<void()> action) override;
  // Fires every scheduled timer whose owner still holds it; a timer that
  // does not repeat is done after its one firing.
  void fireTimers();
  std::vector<std::weak_ptr<HeadlessTimer>> timers;
};

// The whole table, with test controls.
class HeadlessPlatform {
 public:
  explicit HeadlessPlatform(posix::PosixFoundation::Options options = {});

  Platform& table() { return table_; }
  HeadlessApplication app;
  HeadlessWebKit webkit;
  posix::PosixFoundation foundation;
  HeadlessDispatch dispatch;
  HeadlessRunLoop runLoop;

  // The window and view made last, while they exist.
  HeadlessWindow* window() const { return app.record->lastWindow; }
  HeadlessWebView* webView() const { return app.record->lastWebView; }

  // The page posts `body` from a frame to the handler registered as
  // `handlerName`; a name nobody registered reaches nobody.
  void postMessage(std::string_view handlerName, bool isMainFrame, std::optional<URL> frameURL,
                   MessageBody body);
  // Asks the navigation delegate; answers every decision it made, in order.
  std::vector<NavigationActionPolicy> decideNavigation(std::optional<URL> url);
  // The user presses the close button: answers whether the window closed.
  bool requestWindowClose();
  // The platform asks the program to quit (a signal, a lost display): the
  // loop ends with `status` and the delegate hears that the program ends.
  void quit(int status);
  // The page's process ends unasked; a page that was loaded again finishes loading.
  void webProcessTerminated();
  void pageFinishedLoading();
  // The events sent so far, parsed back from the evaluated scripts.
  std::vector<std::map<std::string, std::string>> events() const;

 private:
  Platform table_;
};

}  // namespace vorn::platform::headless
