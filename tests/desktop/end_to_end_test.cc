// The whole road in the real program: the real page, the sample updater and
// the receipt writer, the event loop run as the program runs it. The test
// clicks by script only where a person would click. With
// VORN_SCREENSHOT_DIR set, a picture of each state is saved there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>

#include "app/setup_controller.h"
#include "platform/desktop.h"
#include "platform/gtk/gtk_platform.h"
#include "tests/desktop/desktop_fixture.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace desktop_testing;

constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;
constexpr const char* kPrefix = "Installation could not finish. ";

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop = platform::makeDesktopPlatform();
    ASSERT_TRUE(desktop) << "no display";
    updater = bundlePath() / "Contents" / "MacOS" / "vorn-updater";
    realUpdater = updater.string() + ".real";
    if (!fs::exists(realUpdater)) fs::rename(updater, realUpdater);
    if (const char* folder = std::getenv("VORN_SCREENSHOT_DIR")) shots = folder;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove(updater, ignored);
    fs::rename(realUpdater, updater, ignored);
  }

  // Puts a shell script in the source bundle's place of the updater; the
  // installer copies it into the installed bundle and runs it from there.
  void useUpdater(const std::string& body) {
    std::error_code ignored;
    fs::remove(updater, ignored);
    std::ofstream(updater) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(updater, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  }
  // The sample updater, after a pause long enough to see the installing state.
  void useSampleUpdater() { useUpdater("sleep 1\nexec \"" + realUpdater.string() + "\" \"$@\""); }

  // Runs the program as its entry point does, with `road` driving the page
  // from inside the running event loop; answers the program's exit status.
  int runProgram(std::function<void()> road) {
    platform::Platform& table = desktop->table();
    controller = SetupController::create(table);
    if (!controller) return -1;
    table.app.setDelegate(controller.get());
    drive = [this, road = std::move(road)] {
      if (pumpUntil([&] { return controller->view().web != nullptr; })) road();
      // A road that stopped early (a failed assertion) must not leave the loop running.
      if (!ended) desktop->table().app.terminateWithFailure("the road stopped early");
    };
    g_timeout_add(
        0,
        [](gpointer self) -> gboolean {
          static_cast<EndToEndTest*>(self)->drive();
          return G_SOURCE_REMOVE;
        },
        this);
    const int status = table.app.run();
    table.app.setDelegate(nullptr);
    return status;
  }

  WebKitWebView* view() {
    return WEBKIT_WEB_VIEW(
        dynamic_cast<const platform::gtk::DesktopWebView&>(*controller->view().web).widget());
  }
  std::string value(const std::string& script) { return evaluate(view(), script).value_or("(threw)"); }
  void click(const std::string& id) {
    ASSERT_EQ(value("document.getElementById('" + id + "').click(); true"), "true") << id;
  }
  bool reaches(const std::string& state, double seconds = 30.0) {
    return waitForScript(view(), "document.body.dataset.state === '" + state + "'", seconds);
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

  std::unique_ptr<platform::DesktopPlatform> desktop;
  std::shared_ptr<SetupController> controller;
  std::function<void()> drive;
  bool ended = false;
  fs::path updater;
  fs::path realUpdater;
  fs::path shots;
};

TEST_F(EndToEndTest, InstallCopyConfirmAndDone) {
  useSampleUpdater();
  const int status = runProgram([&] {
    ASSERT_TRUE(waitForScript(view(), "document.readyState === 'complete' && window.vornSetup"));
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
    ASSERT_TRUE(waitForScript(view(), "document.readyState === 'complete' && window.vornSetup"));
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
