// What every backend does, written once and run against each of them: the
// headless stand-in must behave as the desktop does, or a headless test could
// pass where the real program fails.
//
// A backend fixture provides:
//   platform::Platform& table();
//   bool hasClipboard();   // whether the display offers a clipboard at all
//   bool realTime();       // whether timers follow the clock (else each turn fires them)
//   // Turns the main loop until done() or `seconds` have passed; answers done().
//   bool turnUntil(const std::function<bool()>& done, double seconds);
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace vorn::contract {

template <typename Backend>
class PlatformContract : public ::testing::Test {
 protected:
  platform::Platform& table() { return backend_.table(); }
  Backend backend_;
};

TYPED_TEST_SUITE_P(PlatformContract);

TYPED_TEST_P(PlatformContract, WindowsNeedAnArea) {
  platform::Application& app = this->table().app;
  EXPECT_EQ(app.makeWindow(platform::Size{0, 760}, platform::WindowStyle{}), nullptr);
  EXPECT_EQ(app.makeWindow(platform::Size{680, 0}, platform::WindowStyle{}), nullptr);
  EXPECT_EQ(app.makeWindow(platform::Size{-680, -760}, platform::WindowStyle{}), nullptr);
  const std::unique_ptr<platform::Window> fixed =
      app.makeWindow(platform::Size{680, 760}, platform::WindowStyle{});
  ASSERT_NE(fixed, nullptr);
  fixed->setTitle("Contract");
  fixed->center();
  const std::unique_ptr<platform::Window> loose = app.makeWindow(
      platform::Size{1, 1}, platform::WindowStyle{.titled = false, .closable = false, .resizable = true});
  EXPECT_NE(loose, nullptr);
}

TYPED_TEST_P(PlatformContract, TheClipboardTakesWellFormedTextOnly) {
  platform::Pasteboard& pasteboard = this->table().app.generalPasteboard();
  const bool clipboard = this->backend_.hasClipboard();
  pasteboard.clearContents();
  EXPECT_EQ(pasteboard.setString("/home/u/Vorn Preview/extension \xC3\xA9\xE2\x80\xA8"), clipboard);
  EXPECT_EQ(pasteboard.setString(""), clipboard);
  // What the desktop's clipboard refuses: stray bytes, an overlong slash, a
  // lone surrogate, a cut-off sequence and a NUL inside the text.
  for (const std::string& refused :
       {std::string("\xFF\xFE"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
        std::string("ab\xE2\x80"), std::string("a\0b", 3)}) {
    EXPECT_FALSE(pasteboard.setString(refused)) << ::testing::PrintToString(refused);
  }
}

TYPED_TEST_P(PlatformContract, TheMainQueueRunsLaterAndInOrder) {
  platform::Dispatch& dispatch = this->table().dispatch;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::vector<int> ran;
  bool onMain = true;
  for (int i = 0; i < 5; ++i) {
    dispatch.asyncMain([&ran, &onMain, mainThread, i] {
      onMain = onMain && std::this_thread::get_id() == mainThread;
      ran.push_back(i);
    });
  }
  EXPECT_TRUE(ran.empty());  // never inside the call
  ASSERT_TRUE(this->backend_.turnUntil([&] { return ran.size() == 5; }, 10));
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(onMain);
}

TYPED_TEST_P(PlatformContract, WorkRunsOffTheMainThreadAndHandsBackThroughTheMainQueue) {
  platform::Dispatch& dispatch = this->table().dispatch;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> workOnMain{true};
  bool handedBack = false;
  bool handedBackOnMain = false;
  const platform::Status queued = dispatch.asyncGlobal([&] {
    workOnMain = std::this_thread::get_id() == mainThread;
    dispatch.asyncMain([&] {
      handedBackOnMain = std::this_thread::get_id() == mainThread;
      handedBack = true;
    });
  });
  ASSERT_TRUE(queued.ok()) << queued.error().localizedDescription;
  ASSERT_TRUE(this->backend_.turnUntil([&] { return handedBack; }, 10));
  EXPECT_FALSE(workOnMain);
  EXPECT_TRUE(handedBackOnMain);
}

TYPED_TEST_P(PlatformContract, TimersFireAfterTheirIntervalUntilReleased) {
  platform::RunLoop& runLoop = this->table().runLoop;
  constexpr double kInterval = 0.05;
  int once = 0;
  int repeating = 0;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration thirdFiring{};
  std::shared_ptr<platform::Timer> single =
      runLoop.scheduledTimer(kInterval, false, [&](platform::Timer&) { ++once; });
  std::shared_ptr<platform::Timer> timer = runLoop.scheduledTimer(kInterval, true, [&](platform::Timer&) {
    if (++repeating == 3) thirdFiring = std::chrono::steady_clock::now() - start;
  });
  EXPECT_EQ(once + repeating, 0);  // never inside the call
  ASSERT_TRUE(this->backend_.turnUntil([&] { return repeating >= 3; }, 10));
  EXPECT_EQ(once, 1);  // a one-shot timer fires once, however long the loop runs
  if (this->backend_.realTime()) {
    EXPECT_GE(std::chrono::duration<double>(thirdFiring).count(), 3 * kInterval * 0.9);
  }
  timer.reset();
  const int fired = repeating;
  this->backend_.turnUntil([] { return false; }, 4 * kInterval);
  EXPECT_EQ(repeating, fired);  // released: no more firings
  EXPECT_EQ(once, 1);
}

REGISTER_TYPED_TEST_SUITE_P(PlatformContract, WindowsNeedAnArea, TheClipboardTakesWellFormedTextOnly,
                            TheMainQueueRunsLaterAndInOrder,
                            WorkRunsOffTheMainThreadAndHandsBackThroughTheMainQueue,
                            TimersFireAfterTheirIntervalUntilReleased);

}  // namespace vorn::contract
