// The real program on the real page, as the road test runs it, with an updater
// that the test holds back and lets go, for the tests of what a screen reader
// hears and what an accessibility checker finds.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "app/setup_controller.h"
#include "platform/desktop.h"
#include "tests/desktop/desktop_fixture.h"

namespace vorn::desktop_testing {

class RealPageTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The sample updater, which first waits until the test opens the gate; or one
  // that fails with `line` on its standard error once the gate is open.
  void useHeldSampleUpdater();
  void useHeldFailingUpdater(const std::string& line);
  void openGate();

  // Runs the program as its entry point does, `road` driving it from inside
  // the running event loop; answers the program's exit status.
  int runProgram(std::function<void()> road);
  // Ends the road: by the page's Done button, or by quitting.
  void pressDone();
  void endRoad();

  WebKitWebView* view();
  GtkWidget* windowWidget();
  std::string value(const std::string& script);
  void run(const std::string& script);
  // A button pressed as from the keyboard: focused, then activated.
  void press(const std::string& id);
  bool reaches(const std::string& state, double seconds = 30.0);
  bool pageReady();

  std::unique_ptr<platform::DesktopPlatform> desktop;
  std::shared_ptr<SetupController> controller;

 private:
  void useUpdater(const std::string& body);

  std::function<void()> drive_;
  bool ended_ = false;
  std::filesystem::path updater_;
  std::filesystem::path realUpdater_;
  std::filesystem::path gate_;
};

}  // namespace vorn::desktop_testing
