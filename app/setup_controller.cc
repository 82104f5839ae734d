#include "app/setup_controller.h"

#include <utility>
#include <vector>

namespace vorn {

using platform::URL;

namespace {

// A page whose process keeps ending is not loaded again: three ends within a minute.
constexpr std::size_t kMostWebProcessEnds = 3;
constexpr double kWebProcessEndsWindowSeconds = 60;

// The page is laid out for exactly this much room.
constexpr platform::Size kWindowContentSize{680, 760};

}  // namespace

std::shared_ptr<SetupController> SetupController::create(platform::Platform& platform) {
  const platform::Bundle bundle = platform.foundation.mainBundle();
  if (!bundle.resourceURL) return nullptr;
  return std::make_shared<SetupController>(platform, bundle.resourceURL->appendingPathComponent("ui", true));
}

SetupController::SetupController(platform::Platform& platform, URL resourcesFolder)
    : resources(std::move(resourcesFolder)), platform_(platform) {}

SetupController::View SetupController::view() const {
  return View{.window = window.get(),
              .web = web.get(),
              .result = result,
              .confirmed = confirmed,
              .installing = installing,
              .timerScheduled = timer != nullptr,
              .receiptFolderWatched = receiptWatch_ != nullptr};
}

URL SetupController::indexPageURL() const {
  return resources.appendingPathComponent("index.html").standardizedFileURL();
}

void SetupController::applicationDidFinishLaunching() {
  platform::WebViewConfiguration configuration;
  configuration.websiteDataStore = platform::WebsiteDataStore::NonPersistent;
  configuration.userContentController.addScriptMessageHandler(this, std::string(kMessageHandlerName));
  web = platform_.webkit.makeWebView(configuration);
  if (!web) {
    platform_.app.terminateWithFailure("Vorn Preview Setup: the web view could not be created.");
    return;
  }
  web->setNavigationDelegate(this);

  window = platform_.app.makeWindow(kWindowContentSize, platform::WindowStyle{});
  if (!window) {
    platform_.app.terminateWithFailure("Vorn Preview Setup: the window could not be created.");
    return;
  }
  window->setTitle(kWindowTitle);
  window->setDelegate(this);
  window->setContentView(*web);
  window->center();
  window->makeKeyAndOrderFront();

  platform_.app.setApplicationIconImage(
      platform_.app.imageWithContentsOfURL(resources.appendingPathComponent("mark.png")));

  loadSetupPage();
  platform_.app.bringWindowsForward();

  // The timer must never keep the controller alive.
  std::weak_ptr<SetupController> weak = weak_from_this();
  timer = platform_.runLoop.scheduledTimer(1.0, true, [weak] {
    if (const std::shared_ptr<SetupController> strong = weak.lock()) strong->checkConfirmation();
  });
}

void SetupController::loadSetupPage() {
  web->loadFileURL(resources.appendingPathComponent("index.html"), resources);
}

bool SetupController::applicationShouldTerminateAfterLastWindowClosed() { return true; }

// The running installation stops on the way out: its copy before the next
// file, its staging copy removed, its updater ended. The platform waits for
// the worker before the process ends.
void SetupController::applicationWillTerminate() {
  if (installation_) installation_->cancel();
}

// A page that can no longer be shown must not keep the window open.
bool SetupController::windowShouldClose() { return !installing || pageGivenUp_; }

// The same page in the same window; the fields stay as they are, and the
// page hears what it needs to show them once it has loaded.
void SetupController::webViewWebContentProcessDidTerminate() {
  if (!web || pageGivenUp_) return;
  const double now = platform_.foundation.timeIntervalSince1970();
  std::erase_if(webProcessEnds_, [now](double then) { return !(now - then < kWebProcessEndsWindowSeconds); });
  webProcessEnds_.push_back(now);
  if (webProcessEnds_.size() >= kMostWebProcessEnds) {
    pageGivenUp_ = true;
    pageReloading_ = false;
    return;
  }
  pageReloading_ = true;
  loadSetupPage();
}

// An installation still running reports its end as usual.
void SetupController::webViewDidFinishNavigation() {
  if (!std::exchange(pageReloading_, false)) return;
  if (result) emit(Event{{"type", "installed"}, {"folder", result->folder}});
  if (confirmed) emit(Event{{"type", "confirmed"}});
}

int runSetupProgram(platform::Platform& platform) {
  platform::Application& app = platform.app;
  // Held for the whole run: the application does not own its delegate.
  static std::shared_ptr<SetupController> controller;
  controller = SetupController::create(platform);
  if (!controller) {
    app.terminateWithFailure("Vorn Preview Setup: the program's resources folder could not be found.");
    return 1;
  }
  app.setDelegate(controller.get());
  return app.run();
}

}  // namespace vorn
