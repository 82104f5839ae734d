#include "app/setup_controller.h"

#include <utility>

namespace vorn {

using platform::URL;

std::shared_ptr<SetupController> SetupController::create(platform::Platform& platform) {
  const platform::Bundle bundle = platform.foundation.mainBundle();
  if (!bundle.resourceURL) return nullptr;
  return std::make_shared<SetupController>(platform, bundle.resourceURL->appendingPathComponent("ui", true));
}

SetupController::SetupController(platform::Platform& platform, URL resourcesFolder)
    : resources(std::move(resourcesFolder)), platform_(platform) {}

URL SetupController::indexPageURL() const {
  return resources.appendingPathComponent("index.html").standardizedFileURL();
}

void SetupController::applicationDidFinishLaunching() {
  platform::WebViewConfiguration configuration;
  configuration.websiteDataStore = platform::WebsiteDataStore::NonPersistent;
  configuration.userContentController.addScriptMessageHandler(this, std::string(kMessageHandlerName));
  web = platform_.webkit.makeWebView(platform::Rect{0, 0, 0, 0}, configuration);
  if (!web) {
    platform_.app.terminateWithFailure("Vorn Preview Setup: the web view could not be created.");
    return;
  }
  web->setNavigationDelegate(this);

  window = platform_.app.makeWindow(platform::Rect{0, 0, 680, 760},
                                    platform::WindowStyleMaskTitled | platform::WindowStyleMaskClosable |
                                        platform::WindowStyleMaskMiniaturizable,
                                    platform::BackingStoreType::Buffered, false);
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

  web->loadFileURL(resources.appendingPathComponent("index.html"), resources);
  platform_.app.activateIgnoringOtherApps(true);

  // The timer must never keep the controller alive.
  std::weak_ptr<SetupController> weak = weak_from_this();
  timer = platform_.runLoop.scheduledTimer(1.0, true, [weak](platform::Timer&) {
    if (const std::shared_ptr<SetupController> strong = weak.lock()) strong->checkConfirmation();
  });
}

bool SetupController::applicationShouldTerminateAfterLastWindowClosed() { return true; }

bool SetupController::windowShouldClose() { return !installing; }

int runSetupProgram(platform::Platform& platform) {
  platform::Application& app = platform.app;
  // Held for the whole run: the application does not own its delegate.
  static std::shared_ptr<SetupController> controller;
  controller = SetupController::create(platform);
  if (!controller) {
    app.terminateWithFailure("Vorn Preview Setup: the program's resources folder could not be found.");
    return 1;
  }
  app.setActivationPolicy(platform::ActivationPolicy::Regular);
  app.setDelegate(controller.get());
  return app.run();
}

}  // namespace vorn
