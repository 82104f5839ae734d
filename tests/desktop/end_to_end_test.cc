// The whole road in the real program: the real page, the sample updater and
// the receipt writer, the event loop run as the program runs it. The test
// clicks by script only where a person would click. With
// VORN_SCREENSHOT_DIR set, a picture of each state is saved there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/desktop/program_fixture.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace desktop_testing;

constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;
constexpr const char* kPrefix = "Installation could not finish. ";

class EndToEndTest : public ProgramFixture {
 protected:
  void SetUp() override {
    ProgramFixture::SetUp();
    if (const char* folder = std::getenv("VORN_SCREENSHOT_DIR")) shots = folder;
  }

  // The sample updater, after a pause long enough to see the installing state.
  void useSampleUpdater() { useUpdater("sleep 1\nexec \"" + realUpdater().string() + "\" \"$@\""); }

  void click(const std::string& id) {
    ASSERT_EQ(value("document.getElementById('" + id + "').click(); true"), "true") << id;
  }
  void picture(const std::string& name) {
    if (shots.empty()) return;
    pumpFor(0.3);  // let transitions settle
    EXPECT_TRUE(saveSnapshot(view(), shots / (name + ".png"))) << name;
  }
  void clickDone() {
    ended = true;
    click("done");
  }

  fs::path shots;
};

TEST_F(EndToEndTest, InstallCopyConfirmAndDone) {
  useSampleUpdater();
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    ASSERT_TRUE(reaches("start"));
    picture("1-start");

    click("install");
    ASSERT_TRUE(reaches("installing", 5.0));
    picture("2-installing");
    ASSERT_TRUE(reaches("installed")) << value("document.body.innerText");
    ASSERT_TRUE(controller->view().result);
    EXPECT_EQ(value("document.getElementById('folder').textContent"),
              nlohmann::json(controller->view().result->folder).dump());
    EXPECT_TRUE(fs::is_directory(controller->view().result->folder));

    click("copy-extensions");
    ASSERT_TRUE(
        waitForScript(view(), "document.getElementById('copy-extensions').textContent.includes('Copied')"));
    EXPECT_EQ(clipboardSeenByAnotherProgram(), afterCopying("chrome://extensions/"));
    click("copy-folder");
    ASSERT_TRUE(
        waitForScript(view(), "document.getElementById('copy-folder').textContent.includes('Copied')"));
    picture("3-installed");
    EXPECT_EQ(clipboardSeenByAnotherProgram(), afterCopying(controller->view().result->folder));

    click("check");  // nothing to find yet
    pumpFor(0.3);
    EXPECT_FALSE(controller->view().confirmed);
    const ChildRun writer = runChild({kReceiptWriter});
    ASSERT_EQ(writer.status, 0) << writer.err;
    ASSERT_TRUE(reaches("confirmed", 5.0));
    picture("4-confirmed");
    clickDone();
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(ended);
}

TEST_F(EndToEndTest, AFailingUpdaterIsShownInFullAndTryingAgainSucceeds) {
  const std::string line = "vorn-updater: the extension folder could not be prepared: \"disk\" <full> & more";
  useUpdater("sleep 1\necho '" + line + "' >&2\nexit 3");
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    click("install");
    ASSERT_TRUE(reaches("error"));
    EXPECT_EQ(value("document.getElementById('error-message').textContent"),
              nlohmann::json(kPrefix + line + "\n").dump());
    picture("5-error");
    EXPECT_FALSE(controller->view().result);

    useSampleUpdater();
    click("retry");
    ASSERT_TRUE(reaches("installed"));
    ASSERT_TRUE(controller->view().result);
    ASSERT_EQ(runChild({kReceiptWriter}).status, 0);
    ASSERT_TRUE(reaches("confirmed", 5.0));
    clickDone();
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace vorn
