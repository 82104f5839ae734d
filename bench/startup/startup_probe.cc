// Our program exactly as the entry point builds it, desktop backend and logic,
// except that the WebKit interface is wrapped so that the page's first script
// message is reported (bench/support/probe_report.h). Run it from Contents/MacOS
// of a copy of the built bundle, so that the web-process extension is found.
// In idle mode the lines of standard input are scripts run in the page.
#include <cstdio>
#include <functional>
#include <string>

#include "app/setup_controller.h"
#include "bench/startup/observing_webkit.h"
#include "platform/desktop.h"

int main() {
  const std::unique_ptr<vorn::platform::DesktopPlatform> desktop = vorn::platform::makeDesktopPlatform();
  if (!desktop) {
    std::fprintf(stderr, "vorn_startup_probe: no display\n");
    return 1;
  }
  vorn::platform::Platform& real = desktop->table();
  vorn::bench::ObservingWebKit observing(real.webkit);
  vorn::platform::Platform observed{real.app, observing, real.foundation, real.dispatch, real.runLoop};
  vorn::bench::followCommands(
      [&real](std::function<void()> work) { real.dispatch.asyncMain(std::move(work)); },
      [&observing](std::string script) {
        if (vorn::platform::WebView* view = observing.webView()) view->evaluateJavaScript(std::move(script));
      });
  return vorn::runSetupProgram(observed);
}
