// The real program on the desktop backend: launched directly, with the test
// turning the main context itself, or run to its end as its entry point runs
// it, with a road driving the page from inside the event loop.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "app/setup_controller.h"
#include "platform/desktop.h"
#include "tests/desktop/desktop_fixture.h"

namespace vorn::desktop_testing {

class ProgramFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The launch sequence alone, without the event loop.
  void launch();
  // Runs the program as its entry point does, `road` driving it from inside
  // the running event loop; answers the program's exit status. A road must
  // set `ended` before it ends the program; one that stops early (a failed
  // assertion) ends the loop with a failure instead of leaving it running.
  int runProgram(std::function<void()> road);

  WebKitWebView* view() const;
  GtkWidget* windowWidget() const;
  std::string value(const std::string& script) const;
  void run(const std::string& script) const;
  bool reaches(const std::string& state, double seconds = 30.0) const;
  bool pageReady() const;

  // Puts a shell script in the place of the bundle's updater until the test
  // ends; the installer copies it into the installed bundle and runs it there.
  void useUpdater(const std::string& body);
  // The bundle's own updater, set aside while a script stands in for it.
  std::filesystem::path realUpdater() const;

  std::unique_ptr<platform::DesktopPlatform> desktop;
  std::shared_ptr<SetupController> controller;
  bool ended = false;

 private:
  std::filesystem::path updater() const;
  std::function<void()> drive_;
  bool updaterReplaced_ = false;
};

// Each test starts with the program launched and `ready` true on its page.
class LaunchedProgramFixture : public ProgramFixture {
 protected:
  explicit LaunchedProgramFixture(std::string ready) : ready_(std::move(ready)) {}
  void SetUp() override;

 private:
  std::string ready_;
};

}  // namespace vorn::desktop_testing
