// The platform contract against the GTK backend, on the display the test runs on.
#include <functional>
#include <memory>
#include <stdexcept>

#include "platform/desktop.h"
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

 private:
  std::unique_ptr<platform::DesktopPlatform> desktop_;
};

using Backends = ::testing::Types<DesktopBackend>;
INSTANTIATE_TYPED_TEST_SUITE_P(Desktop, PlatformContract, Backends);

}  // namespace
}  // namespace vorn::contract
