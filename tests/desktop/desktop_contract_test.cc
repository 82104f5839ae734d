// The platform contract against the GTK backend, on the display the test runs on.
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "platform/desktop.h"
#include "platform/gtk/gtk_platform.h"
#include "tests/contract/platform_contract.h"
#include "tests/desktop/desktop_fixture.h"

namespace vorn::contract {
namespace {

class DesktopBackend {
 public:
  DesktopBackend() : desktop_(platform::makeDesktopPlatform()) {
    if (!desktop_) throw std::runtime_error("no display");
  }
  platform::Platform& table() { return desktop_->table(); }
  static bool hasClipboard() { return desktop_testing::hasClipboard(); }
  static bool realTime() { return true; }
  static bool turnUntil(const std::function<bool()>& done, double seconds) {
    return desktop_testing::pumpUntil(done, seconds);
  }
  static bool pressClose(platform::Window& window) {
    GtkWidget* widget = GTK_WIDGET(dynamic_cast<platform::gtk::DesktopWindow&>(window).widget());
    gtk_window_close(GTK_WINDOW(widget));
    // A refused close leaves nothing to wait for; this long is plenty for one that is not.
    return desktop_testing::pumpUntil([widget] { return !gtk_widget_get_visible(widget); }, 1.0);
  }
  static bool showPage(platform::WebView& view, platform::Window& window) {
    window.setContentView(view);
    window.makeKeyAndOrderFront();
    const platform::URL folder = desktop_testing::uiFolderURL();
    const platform::URL page = folder.appendingPathComponent("index.html");
    view.loadFileURL(page, folder);
    // The view's first document is an empty one that is complete at once.
    return desktop_testing::waitForScript(
        widgetOf(view), "location.href === " + nlohmann::json(page.absoluteString()).dump() +
                            " && document.readyState === 'complete'");
  }
  static void pagePosts(platform::WebView& view, const std::string& name, const std::string& word) {
    desktop_testing::evaluate(widgetOf(view), "try { window.webkit.messageHandlers[" +
                                                  nlohmann::json(name).dump() + "].postMessage(" +
                                                  nlohmann::json(word).dump() + "); } catch (e) {} true");
  }

 private:
  static WebKitWebView* widgetOf(platform::WebView& view) {
    return WEBKIT_WEB_VIEW(dynamic_cast<platform::gtk::DesktopWebView&>(view).widget());
  }
  std::unique_ptr<platform::DesktopPlatform> desktop_;
};

using Backends = ::testing::Types<DesktopBackend>;
INSTANTIATE_TYPED_TEST_SUITE_P(Desktop, PlatformContract, Backends);

}  // namespace
}  // namespace vorn::contract
