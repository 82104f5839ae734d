#include <gtest/gtest.h>

#include "controller_fixture.h"

namespace vorn::testing {
namespace {

using platform::URL;
using platform::headless::HeadlessImage;
using platform::headless::HeadlessTimer;

constexpr std::string_view kPng = "\x89PNG\r\n\x1a\n\0\0\0\rIHDR";

TEST_F(ControllerTest, BeforeLaunchNothingIsShownHeardOrScheduled) {
  ASSERT_NE(controller, nullptr);
  EXPECT_EQ(controller->indexPageURL(), URL::fileURLWithPath((uiFolder() / "index.html").string()));
  post("copyExtensions");
  platform.runLoop.fireTimers();
  EXPECT_EQ(platform.window(), nullptr);
  EXPECT_EQ(platform.webView(), nullptr);
  EXPECT_TRUE(platform.runLoop.timers.empty());
  EXPECT_TRUE(platform.app.pasteboard.contents.empty());
}

TEST_F(ControllerTest, LaunchShowsTheSetupPageInItsFixedWindowAndStartsTheWatch) {
  writeFile(uiFolder() / "mark.png", kPng);
  launch();
  auto* view = platform.webView();
  auto* window = platform.window();
  ASSERT_NE(view, nullptr);
  ASSERT_NE(window, nullptr);

  // Ephemeral storage; the page reaches the controller through "setup" only.
  EXPECT_EQ(view->configuration.websiteDataStore, platform::WebsiteDataStore::NonPersistent);
  ASSERT_EQ(view->configuration.userContentController.handlers.size(), 1U);
  platform.postMessage("other", true, controller->indexPageURL(), std::string("copyExtensions"));
  EXPECT_TRUE(events().empty());
  post("copyExtensions");
  EXPECT_EQ(events().size(), 1U);

  // 680x760 content, titled, closable, not resizable, centred and in front,
  // showing the web view.
  EXPECT_EQ(window->contentSize, (platform::Size{680, 760}));
  EXPECT_EQ(window->style, platform::WindowStyle{});
  EXPECT_FALSE(window->style.resizable);
  EXPECT_EQ(window->title, "Vorn Preview Setup");
  EXPECT_EQ(window->contentView, view);
  EXPECT_TRUE(window->centered);
  EXPECT_TRUE(window->shownInFront);

  // The page loads once, with the whole ui folder readable, and only once
  // its navigations are decided: the setup page itself is allowed.
  ASSERT_EQ(view->loads.size(), 1U);
  EXPECT_EQ(view->loads[0].url, URL::fileURLWithPath((uiFolder() / "index.html").string()));
  EXPECT_EQ(view->loads[0].allowingReadAccessTo, URL::fileURLWithPath(uiFolder().string(), true));
  EXPECT_TRUE(view->loads[0].delegateWasSet);
  EXPECT_EQ(platform.decideNavigation(view->loads[0].url),
            std::vector<platform::NavigationActionPolicy>{platform::NavigationActionPolicy::Allow});

  EXPECT_TRUE(platform.app.broughtForward);
  ASSERT_NE(platform.app.iconImage, nullptr);
  EXPECT_EQ(dynamic_cast<HeadlessImage&>(*platform.app.iconImage).url,
            URL::fileURLWithPath((uiFolder() / "mark.png").string()));

  // One confirmation timer: every second, repeating, held by the controller.
  ASSERT_EQ(platform.runLoop.timers.size(), 1U);
  const std::shared_ptr<HeadlessTimer> timer = platform.runLoop.timers[0].lock();
  ASSERT_NE(timer, nullptr);
  EXPECT_DOUBLE_EQ(timer->interval, 1.0);
  EXPECT_TRUE(timer->repeats);
  EXPECT_TRUE(state().timerScheduled);
  EXPECT_FALSE(platform.app.exitStatus.has_value());
}

TEST_F(ControllerTest, MissingOrBrokenIconLeavesTheDefault) {
  launch();
  EXPECT_TRUE(platform.app.iconWasSet);
  EXPECT_EQ(platform.app.iconImage, nullptr);
  ASSERT_NE(platform.window(), nullptr);
  EXPECT_TRUE(platform.window()->shownInFront);
  EXPECT_EQ(platform.webView()->loads.size(), 1U);
  EXPECT_TRUE(state().timerScheduled);
}

TEST_F(ControllerTest, NotAnImageIsNoIcon) {
  writeFile(uiFolder() / "mark.png", "not a picture");
  launch();
  EXPECT_EQ(platform.app.iconImage, nullptr);
}

TEST_F(ControllerTest, TimerHoldsTheControllerOnlyWeakly) {
  launch();
  const SetupResult record{(temp.path() / "Ext" / "folder").string(), "t", "v"};
  installReporting(record);
  writeReceiptFor(record);  // a tick would confirm, were the controller still there
  const std::size_t sent = events().size();
  std::weak_ptr<SetupController> weak = controller;
  const std::shared_ptr<HeadlessTimer> timer = platform.runLoop.timers.at(0).lock();
  // Cycle: the controller holds the timer; the timer's action must not hold it back.
  controller.reset();
  EXPECT_TRUE(weak.expired());
  platform.runLoop.fireTimers();  // a tick with the controller gone does nothing
  EXPECT_EQ(platform.events().size(), sent);
}

TEST_F(ControllerTest, CloseGuardFollowsInstalling) {
  launch();
  EXPECT_TRUE(controller->applicationShouldTerminateAfterLastWindowClosed());
  const std::filesystem::path go = temp.path() / "go";
  setUpdaterReporting(SetupResult{"/f", "t", "v"}, go);
  post("install");
  ASSERT_TRUE(state().installing);
  EXPECT_FALSE(controller->windowShouldClose());
  EXPECT_FALSE(platform.requestWindowClose());
  EXPECT_FALSE(platform.app.exitStatus.has_value());
  writeFile(go, "");
  ASSERT_TRUE(platform.dispatch.waitAndRunMainQueue(std::chrono::seconds(30)));
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
