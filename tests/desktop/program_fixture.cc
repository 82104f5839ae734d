#include "tests/desktop/program_fixture.h"

#include <fstream>

#include "platform/gtk/gtk_platform.h"

namespace vorn::desktop_testing {

void ProgramFixture::SetUp() {
  // The tests find the page's parts by their English words: the page is in
  // English whatever the account's own language; the language tests say theirs.
  g_setenv("LANGUAGE", "en", TRUE);
  desktop = platform::makeDesktopPlatform();
  ASSERT_TRUE(desktop) << "no display";
}

void ProgramFixture::TearDown() {
  if (desktop) desktop->table().app.setDelegate(nullptr);
  if (updaterReplaced_) {
    std::error_code ignored;
    std::filesystem::remove(updater(), ignored);
    std::filesystem::rename(realUpdater(), updater(), ignored);
  }
}

std::filesystem::path ProgramFixture::updater() const {
  return bundlePath() / "Contents" / "MacOS" / "vorn-updater";
}

std::filesystem::path ProgramFixture::realUpdater() const { return updater().string() + ".real"; }

void ProgramFixture::useUpdater(const std::string& body) {
  namespace fs = std::filesystem;
  // A run that was killed may have left the real one set aside already.
  if (!fs::exists(realUpdater())) fs::rename(updater(), realUpdater());
  updaterReplaced_ = true;
  std::error_code ignored;
  fs::remove(updater(), ignored);
  std::ofstream(updater()) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(updater(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

void ProgramFixture::launch() {
  platform::Platform& table = desktop->table();
  controller = SetupController::create(table);
  ASSERT_TRUE(controller);
  table.app.setDelegate(controller.get());
  controller->applicationDidFinishLaunching();
  ASSERT_TRUE(controller->view().web && controller->view().window);
}

int ProgramFixture::runProgram(std::function<void()> road) {
  platform::Platform& table = desktop->table();
  controller = SetupController::create(table);
  if (!controller) return -1;
  table.app.setDelegate(controller.get());
  drive_ = [this, road = std::move(road)] {
    if (pumpUntil([&] { return controller->view().web != nullptr; })) road();
    if (!ended) desktop->table().app.terminateWithFailure("the road stopped early");
  };
  g_timeout_add(
      0,
      [](gpointer self) -> gboolean {
        static_cast<ProgramFixture*>(self)->drive_();
        return G_SOURCE_REMOVE;
      },
      this);
  const int status = table.app.run();
  table.app.setDelegate(nullptr);
  return status;
}

WebKitWebView* ProgramFixture::view() const {
  return WEBKIT_WEB_VIEW(
      dynamic_cast<const platform::gtk::DesktopWebView&>(*controller->view().web).widget());
}

GtkWidget* ProgramFixture::windowWidget() const {
  return GTK_WIDGET(dynamic_cast<const platform::gtk::DesktopWindow&>(*controller->view().window).widget());
}

std::string ProgramFixture::value(const std::string& script) const {
  return evaluate(view(), script).value_or("(threw)");
}

void ProgramFixture::run(const std::string& script) const {
  ASSERT_EQ(value(script + "; true"), "true") << script;
}

bool ProgramFixture::reaches(const std::string& state, double seconds) const {
  return waitForScript(view(), "document.body.dataset.state === '" + state + "'", seconds);
}

bool ProgramFixture::pageReady() const {
  return waitForScript(view(), "document.readyState === 'complete' && window.vornSetup");
}

void LaunchedProgramFixture::SetUp() {
  ProgramFixture::SetUp();
  if (HasFatalFailure()) return;
  launch();
  if (HasFatalFailure()) return;
  ASSERT_TRUE(waitForScript(view(), ready_)) << ready_;
}

}  // namespace vorn::desktop_testing
