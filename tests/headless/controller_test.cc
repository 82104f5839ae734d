#include <gtest/gtest.h>

#include "controller_fixture.h"

namespace vorn::testing {
namespace {

using platform::URL;
using platform::headless::HeadlessImage;
using platform::headless::HeadlessTimer;

constexpr std::string_view kPng = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR";

TEST_F(ControllerTest, StartsWithNothingAndTheUiFolderOfItsBundle) {
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(controller->window, nullptr);
  EXPECT_EQ(controller->web, nullptr);
  EXPECT_EQ(controller->timer, nullptr);
  EXPECT_FALSE(controller->result.has_value());
  EXPECT_FALSE(controller->confirmed);
  EXPECT_FALSE(controller->installing);
  EXPECT_EQ(controller->resources, URL::fileURLWithPath(uiFolder().string(), true));
  EXPECT_TRUE(controller->resources.absoluteString().ends_with("/Contents/Resources/ui/"));
}

TEST_F(ControllerTest, LaunchBuildsWindowAndWebViewInOrder) {
  writeFile(uiFolder() / "mark.png", kPng);
  launch();
  auto* view = platform.webView();
  auto* window = platform.window();
  ASSERT_NE(view, nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(controller->web.get(), view);
  EXPECT_EQ(controller->window.get(), window);

  // Web view: ephemeral storage, exactly one handler named "setup".
  EXPECT_EQ(view->configuration.websiteDataStore, platform::WebsiteDataStore::NonPersistent);
  ASSERT_EQ(view->configuration.userContentController.handlers.size(), 1U);
  EXPECT_EQ(view->configuration.userContentController.handlers[0].name, "setup");
  EXPECT_EQ(view->configuration.userContentController.handlers[0].handler, controller.get());
  EXPECT_EQ(view->navigationDelegate, controller.get());

  // Window: 680x760 content, titled, closable, not resizable.
  EXPECT_EQ(window->contentSize, (platform::Size{680, 760}));
  EXPECT_TRUE(window->style.titled);
  EXPECT_TRUE(window->style.closable);
  EXPECT_FALSE(window->style.resizable);
  EXPECT_EQ(window->title, "Vorn Preview Setup");
  EXPECT_EQ(window->delegate, controller.get());
  EXPECT_EQ(window->contentView, view);
  EXPECT_TRUE(window->centered);
  EXPECT_TRUE(window->shownInFront);

  // The page loads once, with the whole ui folder readable, after the
  // navigation delegate is in place.
  ASSERT_EQ(view->loads.size(), 1U);
  EXPECT_EQ(view->loads[0].url, URL::fileURLWithPath((uiFolder() / "index.html").string()));
  EXPECT_EQ(view->loads[0].allowingReadAccessTo, controller->resources);
  EXPECT_TRUE(view->loads[0].delegateWasSet);

  EXPECT_TRUE(platform.app.activatedIgnoringOtherApps);
  ASSERT_NE(platform.app.iconImage, nullptr);
  EXPECT_EQ(dynamic_cast<HeadlessImage&>(*platform.app.iconImage).url,
            URL::fileURLWithPath((uiFolder() / "mark.png").string()));

  // The confirmation timer: 1.0 s, repeating, kept by the controller.
  ASSERT_NE(controller->timer, nullptr);
  const auto& timer = dynamic_cast<HeadlessTimer&>(*controller->timer);
  EXPECT_DOUBLE_EQ(timer.interval, 1.0);
  EXPECT_TRUE(timer.repeats);
  EXPECT_TRUE(platform.events().empty());
  EXPECT_FALSE(platform.app.exitStatus.has_value());
}

TEST_F(ControllerTest, MissingOrBrokenIconLeavesTheDefault) {
  launch();
  EXPECT_TRUE(platform.app.iconWasSet);
  EXPECT_EQ(platform.app.iconImage, nullptr);
  ASSERT_NE(platform.window(), nullptr);
  EXPECT_TRUE(platform.window()->shownInFront);
  EXPECT_EQ(platform.webView()->loads.size(), 1U);
  EXPECT_NE(controller->timer, nullptr);
}

TEST_F(ControllerTest, NotAnImageIsNoIcon) {
  writeFile(uiFolder() / "mark.png", "not a picture");
  launch();
  EXPECT_EQ(platform.app.iconImage, nullptr);
}

TEST_F(ControllerTest, TimerHoldsTheControllerOnlyWeakly) {
  launch();
  std::weak_ptr<SetupController> weak = controller;
  const std::shared_ptr<platform::Timer> timer = controller->timer;
  controller->result = SetupResult{(temp.path() / "folder").string(), "t", "v"};
  // Cycle: the controller holds the timer; the timer's action must not hold it back.
  controller.reset();
  EXPECT_TRUE(weak.expired());
  platform.runLoop.fireTimers();  // a tick with the controller gone does nothing
  EXPECT_TRUE(platform.events().empty());
}

TEST_F(ControllerTest, CloseGuardFollowsInstalling) {
  launch();
  EXPECT_TRUE(controller->applicationShouldTerminateAfterLastWindowClosed());
  controller->installing = true;
  EXPECT_FALSE(controller->windowShouldClose());
  EXPECT_FALSE(platform.requestWindowClose());
  EXPECT_FALSE(platform.app.exitStatus.has_value());
  controller->installing = false;
  EXPECT_TRUE(controller->windowShouldClose());
  EXPECT_TRUE(platform.requestWindowClose());
  EXPECT_EQ(platform.app.exitStatus, 0);
}

TEST(ControllerFailures, NoWebViewOrWindowEndsWithStatusOne) {
  for (const bool failWebView : {true, false}) {
    TempFolder temp;
    platform::headless::HeadlessPlatform platform(
        {.executablePath = (temp.path() / "B.app/Contents/MacOS/p").string(), .clock = {}});
    platform.webkit.failWebViewCreation = failWebView;
    platform.app.failWindowCreation = !failWebView;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(runSetupProgram(platform.table()), 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(platform.app.exitStatus, 1);
  }
}

TEST(ControllerFailures, NoResourcesFolderMeansNoController) {
  platform::headless::HeadlessPlatform platform({.executablePath = "/", .clock = {}});
  struct NoBundle final : platform::Foundation {
    platform::Foundation& real;
    explicit NoBundle(platform::Foundation& f) : real(f) {}
    platform::Bundle mainBundle() override { return {}; }
    platform::FileManager& defaultManager() override { return real.defaultManager(); }
    platform::Outcome<platform::TaskResult> runTask(const URL& e, const std::vector<std::string>& a,
                                                    const platform::TaskOptions& o) override {
      return real.runTask(e, a, o);
    }
    platform::Outcome<std::string> uuidString() override { return real.uuidString(); }
    double timeIntervalSince1970() override { return real.timeIntervalSince1970(); }
  } foundation(platform.foundation);
  platform::Platform table{platform.app, platform.webkit, foundation, platform.dispatch, platform.runLoop};
  EXPECT_EQ(SetupController::create(table), nullptr);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runSetupProgram(table), 1);
  EXPECT_FALSE(::testing::internal::GetCapturedStderr().empty());
  EXPECT_EQ(platform.webView(), nullptr);
}

TEST(ControllerEntry, RunsTheLaunchSequenceFromTheEventLoop) {
  TempFolder temp;
  platform::headless::HeadlessPlatform platform(
      {.executablePath = (temp.path() / "B.app/Contents/MacOS/p").string(), .clock = {}});
  EXPECT_EQ(runSetupProgram(platform.table()), 0);
  EXPECT_NE(platform.app.delegate, nullptr);
  ASSERT_NE(platform.window(), nullptr);
  EXPECT_EQ(platform.window()->title, "Vorn Preview Setup");
}

}  // namespace
}  // namespace vorn::testing
