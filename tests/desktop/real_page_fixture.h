// The real program on the real page, as the road test runs it, with an updater
// that the test holds back and lets go, for the tests of what a screen reader
// hears and what an accessibility checker finds.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/desktop/program_fixture.h"

namespace vorn::desktop_testing {

class RealPageTest : public ProgramFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The sample updater, which first waits until the test opens the gate; or one
  // that fails with `line` on its standard error once the gate is open.
  void useHeldSampleUpdater();
  void useHeldFailingUpdater(const std::string& line);
  void openGate();

  // Ends the road: by the page's Done button, or by quitting.
  void pressDone();
  void endRoad();
  // A button pressed as from the keyboard: focused, then activated.
  void press(const std::string& id);

 private:
  void useHeldUpdater(const std::string& body);

  std::filesystem::path gate_;
};

}  // namespace vorn::desktop_testing
