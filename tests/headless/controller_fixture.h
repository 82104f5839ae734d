// A controller on the headless platform, running from a throw-away bundle.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/setup_controller.h"
#include "platform/headless/headless_platform.h"

namespace vorn::testing {

// A unique temporary folder, removed with everything inside it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& stem = "vorn-test");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes);

class ControllerTest : public ::testing::Test {
 protected:
  // The bundle lives at <temp>/<bundleName>; the program in Contents/MacOS.
  explicit ControllerTest(const std::string& bundleName = "Vorn Preview Setup.app");

  std::filesystem::path bundle() const { return bundle_; }
  std::filesystem::path uiFolder() const { return bundle_ / "Contents" / "Resources" / "ui"; }
  // Runs the launch sequence.
  void launch();
  std::vector<std::map<std::string, std::string>> events() const { return platform.events(); }
  void post(const std::string& word) {
    platform.postMessage(kMessageHandlerName, true, controller->indexPageURL(), word);
  }

  TempFolder temp;
  std::filesystem::path bundle_;
  platform::headless::HeadlessPlatform platform;
  std::shared_ptr<SetupController> controller;
};

}  // namespace vorn::testing
