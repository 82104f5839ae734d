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
//   // The user presses the window's close button; answers whether it closed.
//   bool pressClose(platform::Window& window);
//   // Shows the test page in `view`, in `window`; answers once it has loaded.
//   bool showPage(platform::WebView& view, platform::Window& window);
//   // The shown page's main frame posts `word` to the handler named `name`.
//   void pagePosts(platform::WebView& view, const std::string& name, const std::string& word);
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>
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
  std::shared_ptr<platform::Timer> single = runLoop.scheduledTimer(kInterval, false, [&] { ++once; });
  std::shared_ptr<platform::Timer> timer = runLoop.scheduledTimer(kInterval, true, [&] {
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

TYPED_TEST_P(PlatformContract, AWatchedFolderCallsBackOnTheMainQueueUntilDropped) {
  platform::Dispatch& dispatch = this->table().dispatch;
  std::string root = (std::filesystem::temp_directory_path() / "vorn-watch-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  const std::filesystem::path watched = std::filesystem::path(root) / "watched";
  const std::filesystem::path beside = std::filesystem::path(root) / "beside";
  std::filesystem::create_directories(watched / "inner");
  std::filesystem::create_directories(beside);
  const auto write = [](const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  };
  const auto settle = [this] { this->backend_.turnUntil([] { return false; }, 0.3); };

  // Only a folder that is there can be watched.
  write(beside / "plain", "x");
  EXPECT_EQ(dispatch.watchFolder(platform::URL::fileURLWithPath((watched / "missing").string()), [] {}),
            nullptr);
  EXPECT_EQ(dispatch.watchFolder(platform::URL::fileURLWithPath((beside / "plain").string()), [] {}),
            nullptr);

  const std::thread::id mainThread = std::this_thread::get_id();
  int calls = 0;
  bool onMain = true;
  std::unique_ptr<platform::FolderWatch> watch =
      dispatch.watchFolder(platform::URL::fileURLWithPath(watched.string(), true), [&] {
        onMain = onMain && std::this_thread::get_id() == mainThread;
        ++calls;
      });
  ASSERT_NE(watch, nullptr);

  // Each way an entry lands: written in place, renamed in from beside (as an
  // atomic writer does), renamed within, removed.
  const std::vector<std::pair<std::string, std::function<void()>>> changes{
      {"written in place", [&] { write(watched / "setup-confirmed.json", "{}"); }},
      {"renamed in", [&] { std::filesystem::rename(beside / "plain", watched / "arrived.json"); }},
      {"renamed within", [&] { std::filesystem::rename(watched / "arrived.json", watched / "moved.json"); }},
      {"removed", [&] { std::filesystem::remove(watched / "moved.json"); }},
  };
  for (const auto& [what, change] : changes) {
    settle();
    calls = 0;
    change();
    EXPECT_EQ(calls, 0) << what << ": never inside the change";
    EXPECT_TRUE(this->backend_.turnUntil([&] { return calls > 0; }, 10)) << what;
  }
  EXPECT_TRUE(onMain);

  // Entries of the folder itself only: not what happens inside a folder in it, nor beside it.
  settle();
  calls = 0;
  write(watched / "inner" / "deeper.json", "{}");
  write(beside / "other.json", "{}");
  settle();
  EXPECT_EQ(calls, 0);

  // A change that was on its way when the watch was dropped never calls back.
  write(watched / "setup-confirmed.json", "{\"late\": true}");
  watch.reset();
  settle();
  write(watched / "after.json", "{}");
  settle();
  EXPECT_EQ(calls, 0);
  std::filesystem::remove_all(root);
}

TYPED_TEST_P(PlatformContract, TheCloseButtonAsksTheWindowsDelegateFirst) {
  struct Guard final : platform::WindowDelegate {
    bool allow = false;
    int asked = 0;
    bool windowShouldClose() override {
      ++asked;
      return allow;
    }
  } guard;
  std::unique_ptr<platform::Window> window =
      this->table().app.makeWindow(platform::Size{320, 240}, platform::WindowStyle{});
  ASSERT_NE(window, nullptr);
  window->setDelegate(&guard);
  window->makeKeyAndOrderFront();
  EXPECT_FALSE(this->backend_.pressClose(*window));
  EXPECT_EQ(guard.asked, 1);
  EXPECT_FALSE(this->backend_.pressClose(*window)) << "a refused close is asked again, never remembered";
  EXPECT_EQ(guard.asked, 2);
  guard.allow = true;
  EXPECT_TRUE(this->backend_.pressClose(*window));
  EXPECT_EQ(guard.asked, 3);
}

TYPED_TEST_P(PlatformContract, APageReachesOnlyTheHandlerOfTheNameItPostsTo) {
  struct Recorder final : platform::ScriptMessageHandler {
    std::vector<platform::ScriptMessage> posts;
    void userContentControllerDidReceiveScriptMessage(const platform::ScriptMessage& message) override {
      posts.push_back(message);
    }
    [[nodiscard]] int count(const std::string& word) const {
      int n = 0;
      for (const auto& post : posts) {
        const auto* text = std::get_if<std::string>(&post.body);
        if (text != nullptr && *text == word) ++n;
      }
      return n;
    }
  } setup, other;
  platform::WebViewConfiguration configuration;
  configuration.websiteDataStore = platform::WebsiteDataStore::NonPersistent;
  configuration.userContentController.addScriptMessageHandler(&setup, "setup");
  configuration.userContentController.addScriptMessageHandler(&other, "other");
  std::unique_ptr<platform::WebView> view = this->table().webkit.makeWebView(configuration);
  ASSERT_NE(view, nullptr);
  std::unique_ptr<platform::Window> window =
      this->table().app.makeWindow(platform::Size{680, 760}, platform::WindowStyle{});
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(this->backend_.showPage(*view, *window));

  this->backend_.pagePosts(*view, "setup", "to-setup");
  this->backend_.pagePosts(*view, "other", "to-other");
  // Names are exact: neither a case nor a space apart, nor one nobody registered.
  for (const char* stranger : {"Setup", "setup ", "", "nobody"})
    this->backend_.pagePosts(*view, stranger, "astray");
  ASSERT_TRUE(
      this->backend_.turnUntil([&] { return setup.count("to-setup") + other.count("to-other") == 2; }, 10));
  this->backend_.turnUntil([] { return false; }, 0.2);  // whatever else was on its way
  EXPECT_EQ(setup.count("to-setup"), 1);
  EXPECT_EQ(setup.count("to-other") + setup.count("astray"), 0);
  EXPECT_EQ(other.count("to-other"), 1);
  EXPECT_EQ(other.count("to-setup") + other.count("astray"), 0);
  for (const auto& post : setup.posts) {
    const auto* text = std::get_if<std::string>(&post.body);
    if (text == nullptr || *text != "to-setup") continue;
    EXPECT_TRUE(post.frameInfo.isMainFrame);
    EXPECT_TRUE(post.frameInfo.requestURL.has_value());
  }
}

TYPED_TEST_P(PlatformContract, AnIconIsAnImageFileOrNothing) {
  // A whole 1×1 PNG, as an image tool writes it.
  constexpr std::string_view kPng(
      "\x89\x50\x4E\x47\x0D\x0A\x1A\x0A\x00\x00\x00\x0D\x49\x48\x44\x52\x00\x00\x00\x01\x00\x00\x00\x01"
      "\x08\x06\x00\x00\x00\x1F\x15\xC4\x89\x00\x00\x00\x0D\x49\x44\x41\x54\x78\xDA\x63\x64\x60\xF8"
      "\x5F\x0F\x00\x02\x87\x01\x80\xEB\x47\xBA\x92\x00\x00\x00\x00\x49\x45\x4E\x44\xAE\x42\x60\x82",
      70);
  std::string folder = (std::filesystem::temp_directory_path() / "vorn-contract-XXXXXX").string();
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  const auto write = [&folder](const std::string& name, std::string_view bytes) {
    std::ofstream(folder + "/" + name, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return platform::URL::fileURLWithPath(folder + "/" + name);
  };
  platform::Application& app = this->table().app;
  const std::shared_ptr<platform::Image> image = app.imageWithContentsOfURL(write("mark.png", kPng));
  EXPECT_NE(image, nullptr);
  EXPECT_EQ(app.imageWithContentsOfURL(write("words.png", "not a picture")), nullptr);
  EXPECT_EQ(app.imageWithContentsOfURL(write("empty.png", "")), nullptr);
  EXPECT_EQ(app.imageWithContentsOfURL(platform::URL::fileURLWithPath(folder + "/missing.png")), nullptr);
  EXPECT_EQ(app.imageWithContentsOfURL(platform::URL("http://127.0.0.1:9/mark.png")), nullptr);
  // Either may be given; an empty one leaves the default.
  app.setApplicationIconImage(image);
  app.setApplicationIconImage(nullptr);
  std::filesystem::remove_all(folder);
}

REGISTER_TYPED_TEST_SUITE_P(PlatformContract, WindowsNeedAnArea, TheClipboardTakesWellFormedTextOnly,
                            AnIconIsAnImageFileOrNothing, TheCloseButtonAsksTheWindowsDelegateFirst,
                            APageReachesOnlyTheHandlerOfTheNameItPostsTo, TheMainQueueRunsLaterAndInOrder,
                            WorkRunsOffTheMainThreadAndHandsBackThroughTheMainQueue,
                            TimersFireAfterTheirIntervalUntilReleased,
                            AWatchedFolderCallsBackOnTheMainQueueUntilDropped);

}  // namespace vorn::contract
