#include "tests/desktop/real_page_fixture.h"

#include <fstream>

namespace vorn::desktop_testing {

namespace fs = std::filesystem;

void RealPageTest::SetUp() {
  ProgramFixture::SetUp();
  gate_ = bundlePath() / "gate";
  std::error_code ignored;
  fs::remove(gate_, ignored);
}

void RealPageTest::TearDown() {
  std::error_code ignored;
  fs::remove(gate_, ignored);
  ProgramFixture::TearDown();
}

void RealPageTest::useHeldUpdater(const std::string& body) {
  std::error_code ignored;
  fs::remove(gate_, ignored);
  useUpdater("while [ ! -e '" + gate_.string() + "' ]; do sleep 0.05; done\n" + body);
}

void RealPageTest::useHeldSampleUpdater() {
  useHeldUpdater("exec \"" + realUpdater().string() + "\" \"$@\"");
}

void RealPageTest::useHeldFailingUpdater(const std::string& line) {
  useHeldUpdater("echo '" + line + "' >&2\nexit 3");
}

void RealPageTest::openGate() { std::ofstream(gate_) << "open\n"; }

void RealPageTest::pressDone() {
  ended = true;
  press("done");
}

void RealPageTest::endRoad() {
  ended = true;
  desktop->table().app.terminate();
}

void RealPageTest::press(const std::string& id) {
  run("var b = document.getElementById('" + id + "'); b.focus(); b.click()");
}

}  // namespace vorn::desktop_testing
