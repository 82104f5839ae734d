#include <gtest/gtest.h>

#include "controller_fixture.h"

namespace vorn::testing {
namespace {

using platform::MessageBody;
using platform::NavigationActionPolicy;
using platform::NonStringBody;
using platform::URL;

// The folder has characters that need escaping, so the page URL does too.
class BridgeTest : public ControllerTest {
 protected:
  BridgeTest() : ControllerTest("Vorn #1 % Setup\xC3\xA9.app") { launch(); }
  URL page() const { return controller->indexPageURL(); }
  const std::vector<std::string>& scripts() const { return platform.webView()->scripts; }
  const auto& clipboard() const { return platform.app.pasteboard.contents; }
  void postFrom(bool mainFrame, std::optional<URL> url, MessageBody body) {
    platform.postMessage(kMessageHandlerName, mainFrame, std::move(url), std::move(body));
  }
};

TEST_F(BridgeTest, AcceptsOnlyTheMainFrameShowingTheIndexPage) {
  const std::string text = page().absoluteString();
  // Each of these must be ignored: nothing copied, nothing sent.
  postFrom(false, page(), std::string("copyExtensions"));
  postFrom(true, std::nullopt, std::string("copyExtensions"));
  for (const std::string& other :
       {text + "?x=1", text + "#top", text + "?", text + "#", text.substr(0, text.size() - 10) + "INDEX.html",
        text.substr(0, text.size() - 10) + "other.html", std::string("about:blank"),
        std::string("https://example.invalid/index.html"), text.substr(0, text.size() - 10)}) {
    postFrom(true, URL(other), std::string("copyExtensions"));
  }
  EXPECT_TRUE(scripts().empty());
  EXPECT_TRUE(clipboard().empty());

  // The same page spelled with dot segments is the same page.
  const std::string folder = text.substr(0, text.size() - std::string("index.html").size());
  postFrom(true, URL(folder + "sub/../index.html"), std::string("copyExtensions"));
  postFrom(true, URL(folder + "./index.html"), std::string("copyExtensions"));
  EXPECT_EQ(events().size(), 2U);
}

TEST_F(BridgeTest, IgnoresBodiesThatAreNotExactlyACommandWord) {
  for (const char* kind : {"object", "array", "number", "boolean", "null"}) {
    postFrom(true, page(), NonStringBody{kind});
  }
  for (const char* near :
       {"CopyExtensions", "copyextensions", " copyExtensions", "copyExtensions ", "copyExtensions\n", "",
        "copy", "INSTALL", "Done", "check!", "{\"type\":\"check\"}"}) {
    postFrom(true, page(), std::string(near));
  }
  EXPECT_TRUE(scripts().empty());
  EXPECT_TRUE(clipboard().empty());
  EXPECT_FALSE(state().installing);
}

TEST_F(BridgeTest, EachCommandHonoursItsCondition) {
  // copyFolder and done need a result and a confirmation first.
  post("copyFolder");
  post("done");
  EXPECT_TRUE(scripts().empty());
  EXPECT_TRUE(clipboard().empty());
  EXPECT_FALSE(platform.app.exitStatus.has_value());

  // install is refused while one runs: no second worker, no event.
  const std::filesystem::path go = temp.path() / "go";
  const std::filesystem::path folder = temp.path() / "Ext" / "folder";
  const SetupResult record{folder.string(), "tok", "1.0"};
  setUpdaterReporting(record, go);
  post("install");
  ASSERT_TRUE(state().installing);
  post("install");
  EXPECT_EQ(platform.dispatch.globalWorkQueued, 1);
  EXPECT_TRUE(scripts().empty());  // the outcome comes later, from the worker

  // check sends nothing while installing.
  writeReceiptFor(record);
  post("check");
  EXPECT_TRUE(scripts().empty());

  writeFile(go, "");
  ASSERT_TRUE(platform.dispatch.waitAndRunMainQueue(std::chrono::seconds(30)));
  ASSERT_EQ(events().size(), 1U);
  EXPECT_EQ(events()[0].at("type"), "installed");

  post("copyFolder");
  ASSERT_EQ(events().size(), 2U);
  EXPECT_EQ(events()[1], (Event{{"type", "copied"}, {"target", "folder"}}));
  ASSERT_EQ(clipboard().size(), 1U);
  EXPECT_EQ(clipboard()[0], folder.string());
  post("done");
  EXPECT_FALSE(platform.app.exitStatus.has_value()) << "installed, not yet confirmed";

  post("check");
  ASSERT_EQ(events().size(), 3U);
  EXPECT_EQ(events()[2], (Event{{"type", "confirmed"}}));
  post("done");
  EXPECT_EQ(platform.app.exitStatus, 0);
  EXPECT_EQ(events().size(), 3U);  // done sends nothing
}

TEST_F(BridgeTest, InstallStartsOneWorkerWhoseOutcomeComesThroughTheMainQueue) {
  post("install");
  EXPECT_TRUE(state().installing);
  EXPECT_EQ(platform.dispatch.globalWorkQueued, 1);
  post("install");
  EXPECT_EQ(platform.dispatch.globalWorkQueued, 1);
  EXPECT_TRUE(scripts().empty());
  platform.dispatch.joinBackground();
  EXPECT_TRUE(scripts().empty()) << "the worker itself sends nothing";
  platform.dispatch.runMainQueue();
  EXPECT_FALSE(state().installing);
  ASSERT_EQ(events().size(), 1U);
  EXPECT_EQ(events()[0].at("type"), "error");  // this bundle has no updater
}

TEST_F(BridgeTest, CopiesReplaceEverythingOnTheClipboard) {
  platform.app.pasteboard.contents = {"old", "<b>old</b>"};
  post("copyExtensions");
  ASSERT_EQ(clipboard().size(), 1U);
  EXPECT_EQ(clipboard()[0], "chrome://extensions/");

  installReporting(SetupResult{"", "t", "v"});  // an empty folder still copies
  post("copyFolder");
  ASSERT_EQ(clipboard().size(), 1U);
  EXPECT_EQ(clipboard()[0], "");
  EXPECT_EQ(platform.app.pasteboard.clearCount, 2);
  ASSERT_EQ(events().size(), 3U);
  EXPECT_EQ(events()[0].at("target"), "extensions");
  EXPECT_EQ(events()[2].at("target"), "folder");
  EXPECT_EQ(scripts()[0], "window.vornSetup.receive({\"target\":\"extensions\",\"type\":\"copied\"})");
}

TEST_F(BridgeTest, EmitWritesCompactJsonWithEscapedSlashes) {
  controller->emit(Event{{"type", "installed"}, {"folder", "/a b/\"q\"\\x\n\t\x01/\xC3\xA9\xE2\x80\xA8"}});
  ASSERT_EQ(scripts().size(), 1U);
  EXPECT_EQ(
      scripts()[0],
      "window.vornSetup.receive({\"folder\":\"\\/a b\\/\\\"q\\\"\\\\x\\n\\t\\u0001\\/\xC3\xA9\xE2\x80\xA8\","
      "\"type\":\"installed\"})");
  // The page gets the value back unchanged.
  EXPECT_EQ(events()[0].at("folder"), "/a b/\"q\"\\x\n\t\x01/\xC3\xA9\xE2\x80\xA8");
}

TEST_F(BridgeTest, EmitDropsAnEventThatIsNotText) {
  controller->emit(Event{{"type", "error"}, {"message", "bad \xFF byte"}});
  EXPECT_TRUE(scripts().empty());
  controller->emit(Event{{"type", "confirmed"}});
  EXPECT_EQ(scripts().size(), 1U);
}

TEST_F(BridgeTest, NavigationAllowsOnlyTheSetupPage) {
  const std::string text = page().absoluteString();
  const std::string folder = text.substr(0, text.size() - std::string("index.html").size());
  auto decide = [&](std::optional<URL> url) { return platform.decideNavigation(std::move(url)); };
  using V = std::vector<NavigationActionPolicy>;
  const V allow{NavigationActionPolicy::Allow};
  const V cancel{NavigationActionPolicy::Cancel};

  EXPECT_EQ(decide(page()), allow);  // first load and reloads
  EXPECT_EQ(decide(URL(folder + "sub/../index.html")), allow);
  EXPECT_EQ(decide(URL(folder + "sub/./../././index.html")), allow);
  EXPECT_EQ(decide(URL::fileURLWithPath((uiFolder() / "index.html").string())), allow);

  EXPECT_EQ(decide(std::nullopt), cancel);
  for (const std::string& other :
       {folder + "other.html", folder + "sub/index.html", folder + "INDEX.html", text + "?q", text + "#frag",
        folder + "../index.html", std::string("https://example.invalid/"), std::string("about:blank"),
        std::string("mailto:x@example.invalid"), std::string("")}) {
    EXPECT_EQ(decide(URL(other)), cancel) << other;
  }
}

}  // namespace
}  // namespace vorn::testing
