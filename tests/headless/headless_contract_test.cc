// The platform contract against the headless stand-in. Its timers fire when
// the test turns the loop, so each turn here fires them once.
#include <chrono>
#include <functional>
#include <string>

#include "platform/headless/headless_platform.h"
#include "tests/contract/platform_contract.h"

namespace vorn::contract {
namespace {

class HeadlessBackend {
 public:
  platform::Platform& table() { return platform_.table(); }
  static bool hasClipboard() { return true; }
  static bool realTime() { return false; }
  bool turnUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      platform_.dispatch.waitAndRunMainQueue(std::chrono::milliseconds(5));
      platform_.runLoop.fireTimers();
    }
    return true;
  }
  bool pressClose(platform::Window& /*window*/) { return platform_.requestWindowClose(); }
  bool showPage(platform::WebView& view, platform::Window& window) {
    window.setContentView(view);
    window.makeKeyAndOrderFront();
    view.loadFileURL(kPage, kPage);
    return true;
  }
  void pagePosts(platform::WebView& /*view*/, const std::string& name, const std::string& word) {
    platform_.postMessage(name, true, kPage, word);
  }

 private:
  inline static const platform::URL kPage = platform::URL::fileURLWithPath("/contract/index.html");
  platform::headless::HeadlessPlatform platform_;
};

using Backends = ::testing::Types<HeadlessBackend>;
INSTANTIATE_TYPED_TEST_SUITE_P(Headless, PlatformContract, Backends);

}  // namespace
}  // namespace vorn::contract
