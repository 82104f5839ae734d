#include "tests/desktop/real_page_fixture.h"

#include <fstream>

#include "platform/gtk/gtk_platform.h"

namespace vorn::desktop_testing {

namespace fs = std::filesystem;

void RealPageTest::SetUp() {
  desktop = platform::makeDesktopPlatform();
  ASSERT_TRUE(desktop) << "no display";
  updater_ = bundlePath() / "Contents" / "MacOS" / "vorn-updater";
  realUpdater_ = updater_.string() + ".real";
  if (!fs::exists(realUpdater_)) fs::rename(updater_, realUpdater_);
  gate_ = bundlePath() / "gate";
  std::error_code ignored;
  fs::remove(gate_, ignored);
}

void RealPageTest::TearDown() {
  std::error_code ignored;
  fs::remove(updater_, ignored);
  fs::rename(realUpdater_, updater_, ignored);
  fs::remove(gate_, ignored);
}

void RealPageTest::useUpdater(const std::string& body) {
  std::error_code ignored;
  fs::remove(updater_, ignored);
  fs::remove(gate_, ignored);
  std::ofstream(updater_) << "#!/bin/sh\nwhile [ ! -e '" << gate_.string() << "' ]; do sleep 0.05; done\n"
                          << body << "\n";
  fs::permissions(updater_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

void RealPageTest::useHeldSampleUpdater() { useUpdater("exec \"" + realUpdater_.string() + "\" \"$@\""); }

void RealPageTest::useHeldFailingUpdater(const std::string& line) {
  useUpdater("echo '" + line + "' >&2\nexit 3");
}

void RealPageTest::openGate() { std::ofstream(gate_) << "open\n"; }

int RealPageTest::runProgram(std::function<void()> road) {
  platform::Platform& table = desktop->table();
  controller = SetupController::create(table);
  if (!controller) return -1;
  table.app.setDelegate(controller.get());
  drive_ = [this, road = std::move(road)] {
    if (pumpUntil([&] { return controller->view().web != nullptr; })) road();
    // A road that stopped early (a failed assertion) must not leave the loop running.
    if (!ended_) desktop->table().app.terminateWithFailure("the road stopped early");
  };
  g_timeout_add(
      0,
      [](gpointer self) -> gboolean {
        static_cast<RealPageTest*>(self)->drive_();
        return G_SOURCE_REMOVE;
      },
      this);
  const int status = table.app.run();
  table.app.setDelegate(nullptr);
  return status;
}

void RealPageTest::pressDone() {
  ended_ = true;
  press("done");
}

void RealPageTest::endRoad() {
  ended_ = true;
  desktop->table().app.terminate();
}

WebKitWebView* RealPageTest::view() {
  return WEBKIT_WEB_VIEW(
      dynamic_cast<const platform::gtk::DesktopWebView&>(*controller->view().web).widget());
}

GtkWidget* RealPageTest::windowWidget() {
  return GTK_WIDGET(dynamic_cast<const platform::gtk::DesktopWindow&>(*controller->view().window).widget());
}

std::string RealPageTest::value(const std::string& script) {
  return evaluate(view(), script).value_or("(threw)");
}

void RealPageTest::run(const std::string& script) { ASSERT_EQ(value(script + "; true"), "true") << script; }

void RealPageTest::press(const std::string& id) {
  run("var b = document.getElementById('" + id + "'); b.focus(); b.click()");
}

bool RealPageTest::reaches(const std::string& state, double seconds) {
  return waitForScript(view(), "document.body.dataset.state === '" + state + "'", seconds);
}

bool RealPageTest::pageReady() {
  return waitForScript(view(), "document.readyState === 'complete' && window.vornSetup");
}

}  // namespace vorn::desktop_testing
