// The setup controller on the desktop backend: the real window, web view,
// navigation decisions, clipboard and close guard, seen from outside where
// another program would see them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "tests/desktop/program_fixture.h"

namespace vorn {
namespace {

using namespace desktop_testing;

class ProgramTest : public LaunchedProgramFixture {
 protected:
  // The first script posts "copyExtensions"; its answer proves the round trip.
  ProgramTest()
      : LaunchedProgramFixture(
            "window.probe && probe.events.length === 1 && document.readyState === 'complete'") {}
  // Still the setup page, and the same document as before (its marker kept).
  bool stillTheSamePage() {
    return webkit_web_view_get_uri(view()) == controller->indexPageURL().absoluteString() &&
           value("window.kept") == "true" &&
           value("document.getElementById('marker').textContent") == "\"index\"";
  }
  std::pair<int, int> centreOf(const std::string& id) {
    const std::string rect = "document.getElementById('" + id + "').getBoundingClientRect()";
    return {std::stoi(value("Math.round(" + rect + ".x + 5)")),
            std::stoi(value("Math.round(" + rect + ".y + 5)"))};
  }
};

TEST_F(ProgramTest, TheWindowIsFixedSizeTitledCentredAndHasTheIcon) {
  if (!onX11()) {
    // What the program asks of a Wayland compositor; placing is the compositor's.
    GtkWindow* window = GTK_WINDOW(windowWidget());
    ASSERT_TRUE(pumpUntil([&] { return gtk_widget_get_mapped(windowWidget()); }));
    EXPECT_EQ(std::string(gtk_window_get_title(window)), "Vorn Preview Setup");
    EXPECT_FALSE(gtk_window_get_resizable(window));
    // The content area: the window itself carries the decorations GTK draws there.
    GtkWidget* content = GTK_WIDGET(view());
    pumpUntil([&] { return gtk_widget_get_allocated_width(content) == 680; });
    EXPECT_EQ(gtk_widget_get_allocated_width(content), 680);
    EXPECT_EQ(gtk_widget_get_allocated_height(content), 760);
    gint width = 0;
    gint height = 0;
    gtk_window_get_size(window, &width, &height);
    EXPECT_EQ(width, 680);
    EXPECT_EQ(height, 760);
    ASSERT_TRUE(pumpUntil([&] { return gtk_window_get_icon(window) != nullptr; }));
    // As the compositor heard it: the app id, the title, and a size that can't change.
    const std::string asked = compositorLog();
    EXPECT_NE(asked.find(R"(.set_app_id("com.vorn.PreviewSetup"))"), std::string::npos);
    EXPECT_NE(asked.find(R"(.set_title("Vorn Preview Setup"))"), std::string::npos);
    const auto last = [&](const std::string& request) {
      const auto at = asked.rfind(request + "(");
      return at == std::string::npos
                 ? std::string()
                 : asked.substr(at + request.size(), asked.find(')', at) - at - request.size() + 1);
    };
    EXPECT_EQ(last(".set_min_size"), last(".set_max_size"));
    EXPECT_TRUE(last(".set_min_size").starts_with("(680, ")) << last(".set_min_size");
    EXPECT_EQ(visibleToplevels(), 1);
    return;
  }
  ASSERT_TRUE(pumpUntil([&] { return readX11Window(windowWidget()).width == 680; }));
  const X11Window seen = readX11Window(windowWidget());
  EXPECT_EQ(seen.title, "Vorn Preview Setup");
  EXPECT_EQ(seen.width, 680);
  EXPECT_EQ(seen.height, 760);
  EXPECT_EQ(seen.minWidth, 680);
  EXPECT_EQ(seen.maxWidth, 680);
  EXPECT_EQ(seen.minHeight, 760);
  EXPECT_EQ(seen.maxHeight, 760);
  EXPECT_EQ(seen.x, (seen.screenWidth - 680) / 2);
  EXPECT_EQ(seen.y, (seen.screenHeight - 760) / 2);
  EXPECT_TRUE(seen.hasIcon);
  EXPECT_EQ(seen.instanceName, "com.vorn.PreviewSetup");
  EXPECT_EQ(seen.className, "com.vorn.PreviewSetup");
  EXPECT_EQ(visibleToplevels(), 1);
}

TEST_F(ProgramTest, MainFramePostsReachTheControllerAndTheClipboard) {
  EXPECT_EQ(value("probe.posted"), "true");
  EXPECT_EQ(value("JSON.stringify(probe.events[0])"), R"("{\"target\":\"extensions\",\"type\":\"copied\"}")");
  // Without a seat there is no clipboard: the copy does nothing, the event still comes.
  EXPECT_EQ(clipboardSeenByAnotherProgram(), afterCopying("chrome://extensions/"));

  // Values that need escaping arrive unchanged.
  controller->emit({{"type", "copied"}, {"target", "a\"b\\c\nd/e </script> é"}});
  ASSERT_TRUE(waitForScript(view(), "probe.events.length === 2"));
  EXPECT_EQ(value("probe.events[1].target"), R"("a\"b\\c\nd/e </script> é")");
}

TEST_F(ProgramTest, PostsFromAnEmbeddedSetupPageAreIgnored) {
  // Something else on the clipboard, so that an accepted copy would show.
  if (hasClipboard()) gtk_clipboard_set_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD), "sentinel", -1);
  // The embedded page's first script posts "copyExtensions" as it loads; an
  // about:blank frame is scripted by its parent.
  run("var f = document.createElement('iframe'); f.onload = () => { window.frameLoaded = true; };"
      "f.src = 'index.html'; document.body.appendChild(f)");
  ASSERT_TRUE(waitForScript(view(), "window.frameLoaded"));
  run("var g = document.createElement('iframe'); document.body.appendChild(g);"
      "g.contentWindow.webkit.messageHandlers.setup.postMessage('copyExtensions')");
  pumpFor(0.5);
  EXPECT_EQ(value("probe.events.length"), "1");
  EXPECT_EQ(clipboardSeenByAnotherProgram(), afterCopying("sentinel"));
}

TEST_F(ProgramTest, NavigationsAwayAreCancelledAndAReloadIsAllowed) {
  run("window.kept = true");
  for (const char* target :
       {"'other.html'", "'index.html?step=2'", "'https://example.com/'", "'index.html#done'"}) {
    run(std::string("location.href = ") + target);
    pumpFor(0.4);
    EXPECT_TRUE(stillTheSamePage()) << target;
  }

  // New windows are only asked for after a real user gesture; a real click
  // needs the X server.
  if (!onX11()) {
    run("location.reload()");
    ASSERT_TRUE(waitForScript(view(), "window.probe && !window.kept && probe.posted"));
    return;
  }
  const auto [openX, openY] = centreOf("opener");
  ASSERT_TRUE(clickAt(windowWidget(), openX, openY));
  ASSERT_TRUE(waitForScript(view(), "'opened' in probe"));
  EXPECT_EQ(value("probe.opened"), "false");
  const auto [linkX, linkY] = centreOf("blank");
  ASSERT_TRUE(clickAt(windowWidget(), linkX, linkY));
  pumpFor(0.5);
  EXPECT_TRUE(stillTheSamePage());
  EXPECT_EQ(visibleToplevels(), 1);

  run("location.reload()");
  ASSERT_TRUE(waitForScript(view(), "window.probe && !window.kept && probe.posted"));
  EXPECT_EQ(webkit_web_view_get_uri(view()), controller->indexPageURL().absoluteString());
}

TEST_F(ProgramTest, TheWindowStaysOpenWhileInstallingAndClosesAfterwards) {
  run("webkit.messageHandlers.setup.postMessage('install')");
  ASSERT_TRUE(pumpUntil([&] { return controller->view().installing; }, 5.0));
  gtk_window_close(GTK_WINDOW(windowWidget()));
  pumpFor(0.3);
  EXPECT_EQ(visibleToplevels(), 1);

  ASSERT_TRUE(
      waitForScript(view(), "probe.events.some(e => e.type === 'installed' || e.type === 'error')", 30.0));
  EXPECT_EQ(value("probe.events[probe.events.length - 1].type"), "\"installed\"")
      << value("JSON.stringify(probe.events)");
  EXPECT_FALSE(controller->view().installing);
  EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(getenv("HOME")) / "Applications" /
                                            "Vorn Preview Setup.app" / "Contents" / "Resources" / "ui"));
  gtk_window_close(GTK_WINDOW(windowWidget()));
  EXPECT_TRUE(pumpUntil([] { return visibleToplevels() == 0; }, 5.0));
}

}  // namespace
}  // namespace vorn
