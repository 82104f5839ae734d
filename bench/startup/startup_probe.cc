// Our program exactly as the entry point builds it, desktop backend and logic,
// except that the WebKit interface is wrapped so that the page's first script
// message is reported (bench/support/probe_report.h). Run it from Contents/MacOS
// of a copy of the built bundle, so that the web-process extension is found.
// In idle mode the lines of standard input are scripts run in the page.
// Built a second time as vorn_startup_probe_ticking, the program as it was
// before folder watches: every watch is refused, which the program takes as a
// folder it cannot watch, so only the once-a-second tick confirms.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/setup_controller.h"
#include "bench/startup/observing_webkit.h"
#include "platform/desktop.h"

namespace {

#ifdef VORN_BENCH_TICKING
class TickingDispatch final : public vorn::platform::Dispatch {
 public:
  explicit TickingDispatch(vorn::platform::Dispatch& real) : real_(real) {}
  vorn::platform::Status asyncGlobal(std::function<void()> work) override {
    return real_.asyncGlobal(std::move(work));
  }
  void asyncMain(std::function<void()> work) override { real_.asyncMain(std::move(work)); }
  std::unique_ptr<vorn::platform::FolderWatch> watchFolder(const vorn::platform::URL& /*folder*/,
                                                           std::function<void()> /*changed*/) override {
    return nullptr;
  }

 private:
  vorn::platform::Dispatch& real_;
};
#endif

}  // namespace

int main() {
  const std::unique_ptr<vorn::platform::DesktopPlatform> desktop = vorn::platform::makeDesktopPlatform();
  if (!desktop) {
    std::fprintf(stderr, "vorn_startup_probe: no display\n");
    return 1;
  }
  vorn::platform::Platform& real = desktop->table();
  vorn::bench::ObservingWebKit observing(real.webkit);
#ifdef VORN_BENCH_TICKING
  TickingDispatch dispatch(real.dispatch);
#else
  vorn::platform::Dispatch& dispatch = real.dispatch;
#endif
  vorn::platform::Platform observed{real.app, observing, real.foundation, dispatch, real.runLoop};
  vorn::bench::followCommands(
      [&real](std::function<void()> work) { real.dispatch.asyncMain(std::move(work)); },
      [&observing](std::string script) {
        if (vorn::platform::WebView* view = observing.webView()) view->evaluateJavaScript(std::move(script));
      });
  return vorn::runSetupProgram(observed);
}
