// The web view on its own: what the page channel reports for posts from each
// kind of frame, and what the page may load.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "platform/desktop.h"
#include "platform/gtk/gtk_platform.h"
#include "tests/desktop/desktop_fixture.h"

namespace vorn {
namespace {

using namespace desktop_testing;
using platform::NonStringBody;
using platform::ScriptMessage;

struct Recorder final : platform::ScriptMessageHandler {
  std::vector<ScriptMessage> posts;
  void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) override {
    posts.push_back(message);
  }
};

class PageChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop = platform::makeDesktopPlatform();
    ASSERT_TRUE(desktop) << "no display";
    platform::Platform& table = desktop->table();
    platform::WebViewConfiguration configuration;
    configuration.websiteDataStore = platform::WebsiteDataStore::NonPersistent;
    configuration.userContentController.addScriptMessageHandler(&recorder, "setup");
    web = table.webkit.makeWebView(configuration);
    ASSERT_TRUE(web);
    window = table.app.makeWindow(platform::Size{680, 760}, platform::WindowStyle{});
    ASSERT_TRUE(window);
    window->setContentView(*web);
    window->makeKeyAndOrderFront();
    web->loadFileURL(index(), uiFolderURL());
    ASSERT_TRUE(pumpUntil([&] { return !recorder.posts.empty(); })) << "the page's first script did not post";
    ASSERT_TRUE(waitForScript(view(), "document.readyState === 'complete'"));
  }

  static platform::URL index() { return uiFolderURL().appendingPathComponent("index.html"); }
  WebKitWebView* view() {
    return WEBKIT_WEB_VIEW(dynamic_cast<platform::gtk::DesktopWebView&>(*web).widget());
  }
  void run(const std::string& script) { ASSERT_TRUE(evaluate(view(), script + "; true")) << script; }
  bool postsReach(std::size_t count) {
    return pumpUntil([&] { return recorder.posts.size() >= count; }, 10.0);
  }
  std::string load(const std::string& kind, const std::string& name, const std::string& url) {
    run("probe.tryLoad('" + kind + "', '" + name + "', " + url + ")");
    waitForScript(view(), "probe.loads['" + name + "'] !== 'pending'", 10.0);
    pumpFor(0.1);  // a script that ran marks itself after its load event
    return evaluate(view(), "probe.loads['" + name + "']").value_or("none");
  }

  std::unique_ptr<platform::DesktopPlatform> desktop;
  Recorder recorder;
  std::unique_ptr<platform::WebView> web;
  std::unique_ptr<platform::Window> window;
};

TEST_F(PageChannelTest, TheMainFramePostsWithItsOwnURLAndAStringBody) {
  const ScriptMessage& first = recorder.posts.front();
  EXPECT_TRUE(first.frameInfo.isMainFrame);
  ASSERT_TRUE(first.frameInfo.requestURL);
  EXPECT_EQ(first.frameInfo.requestURL->standardizedFileURL(), index().standardizedFileURL());
  EXPECT_EQ(std::get<std::string>(first.body), "copyExtensions");
}

TEST_F(PageChannelTest, PostsFromEmbeddedFramesAreNeverMainFramePosts) {
  // An iframe showing the setup page itself: its own first script posts. (Each
  // file is its own origin, so the parent cannot script that frame.)
  run("var f = document.createElement('iframe'); f.src = 'index.html'; document.body.appendChild(f)");
  ASSERT_TRUE(postsReach(2));
  EXPECT_FALSE(recorder.posts[1].frameInfo.isMainFrame);
  ASSERT_TRUE(recorder.posts[1].frameInfo.requestURL);
  EXPECT_EQ(recorder.posts[1].frameInfo.requestURL->standardizedFileURL(), index().standardizedFileURL());

  // An about:blank frame, scripted by its parent.
  run("var g = document.createElement('iframe'); document.body.appendChild(g);"
      "g.contentWindow.webkit.messageHandlers.setup.postMessage('install')");
  ASSERT_TRUE(postsReach(3));
  EXPECT_FALSE(recorder.posts[2].frameInfo.isMainFrame);
  EXPECT_NE(recorder.posts[2].frameInfo.requestURL, std::optional(index()));
}

TEST_F(PageChannelTest, OtherBodiesArriveAsTheirKindAndThePageCannotForgeTheChannel) {
  run("const h = webkit.messageHandlers.setup;"
      "h.postMessage({type: 'install'}); h.postMessage(42); h.postMessage(null); h.postMessage(['install']);"
      "h.postMessage(true); h.postMessage('')");
  ASSERT_TRUE(postsReach(7));
  const std::vector<std::string> kinds{"object", "number", "null", "array", "boolean"};
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const auto* other = std::get_if<NonStringBody>(&recorder.posts[1 + i].body);
    ASSERT_NE(other, nullptr) << i;
    EXPECT_EQ(other->kind, kinds[i]);
  }
  EXPECT_EQ(std::get<std::string>(recorder.posts[6].body), "");

  // Replacing the channel or its function does not take; the real one still
  // reports the real frame.
  run("try { webkit.messageHandlers.setup.postMessage = () => {}; } catch (e) {}"
      "try { window.webkit = {messageHandlers: {}}; } catch (e) {}"
      "try { Object.defineProperty(window, 'webkit', {value: 1}); } catch (e) {}");
  EXPECT_EQ(evaluate(view(), "typeof webkit.messageHandlers.setup.postMessage"), "\"function\"");
  run("webkit.messageHandlers.setup.postMessage('check')");
  ASSERT_TRUE(postsReach(8));
  EXPECT_TRUE(recorder.posts[7].frameInfo.isMainFrame);
}

TEST_F(PageChannelTest, ThePageLoadsItsOwnFilesAndNothingOutsideItsFolder) {
  const std::string outside = (bundlePath() / "Contents" / "Resources" / "outside.png").string();
  const std::filesystem::path escape = bundlePath() / "Contents" / "Resources" / "ui" / "escape";
  std::error_code ignored;
  std::filesystem::remove(escape, ignored);
  std::filesystem::create_directory_symlink("..", escape);

  EXPECT_EQ(load("img", "inside", "'inside.png'"), "\"loaded\"");
  EXPECT_EQ(load("script", "insideScript", "'inside.js'"), "\"ran\"");
  EXPECT_EQ(load("img", "dotted", "'./sub/../inside.png'"), "\"loaded\"");
  EXPECT_EQ(load("img", "outAndBack", "'../ui/inside.png'"), "\"loaded\"");

  EXPECT_EQ(load("img", "parent", "'../outside.png'"), "\"refused\"");
  EXPECT_EQ(load("script", "outsideScript", "'../outside.js'"), "\"refused\"");
  EXPECT_EQ(load("img", "encoded", "'%2e%2e/outside.png'"), "\"refused\"");
  EXPECT_EQ(load("img", "link", "'escape/outside.png'"), "\"refused\"");
  EXPECT_EQ(load("script", "linkScript", "'escape/outside.js'"), "\"refused\"");
  const std::string absolute = platform::URL::fileURLWithPath(outside).absoluteString();
  EXPECT_EQ(load("img", "absolute", "'" + absolute + "'"), "\"refused\"");
  EXPECT_EQ(load("img", "localhost", "'file://localhost" + absolute.substr(7) + "'"), "\"refused\"");
  EXPECT_EQ(load("img", "system", "'file:///usr/share/pixmaps/debian-logo.png'"), "\"refused\"");
  EXPECT_EQ(load("img", "web", "'http://127.0.0.1:9/x.png'"), "\"refused\"");
  std::filesystem::remove(escape, ignored);
}

}  // namespace
}  // namespace vorn
