// A controller on the headless platform, running from a throw-away bundle.
#pragma once

#include <gtest/gtest.h>
#include <linux/capability.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/setup_controller.h"
#include "platform/headless/headless_platform.h"

namespace vorn::testing {

// A unique temporary folder, removed with everything inside it.
class TempFolder {
 public:
  // In the system's temporary folder, or in `base` when one is given.
  explicit TempFolder(const std::string& stem = "vorn-test", const std::filesystem::path& base = {});
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, std::string_view bytes);

// Root passes every permission check, so a test would never meet a file it may
// not read; for a scope this thread (and the threads it starts) runs with the
// owner's checks only, as the user the program is made for.
class OwnerPermissionsOnly {
 public:
  OwnerPermissionsOnly();
  ~OwnerPermissionsOnly();
  OwnerPermissionsOnly(const OwnerPermissionsOnly&) = delete;
  OwnerPermissionsOnly& operator=(const OwnerPermissionsOnly&) = delete;

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
  bool active_ = false;
};

// A receipt as the receipt writer words it; `createdAt` is written as given.
std::string receipt(std::string_view token, std::string_view version, std::string_view createdAt);
// Seconds since 1970 with three decimals, as a receipt's `createdAt`.
std::string stamp(double seconds);

// A controller on a throw-away bundle, with HOME at <temp>/home so that an
// installation lands in <temp>/home/Applications. The bundle's updater is a
// shell script the test writes.
class ControllerTest : public ::testing::Test {
 protected:
  // The bundle lives at <temp>/<bundleName>; the program in Contents/MacOS.
  explicit ControllerTest(const std::string& bundleName = "Vorn Preview Setup.app");

  std::filesystem::path bundle() const { return bundle_; }
  std::filesystem::path uiFolder() const { return bundle_ / "Contents" / "Resources" / "ui"; }
  std::filesystem::path home() const { return temp.path() / "home"; }
  std::filesystem::path applications() const { return home() / "Applications"; }
  std::filesystem::path destination() const { return applications() / "Vorn Preview Setup.app"; }
  std::filesystem::path updaterPath() const { return bundle_ / "Contents" / "MacOS" / "vorn-updater"; }
  // What the installer recognises as an earlier bundle: the program and the page.
  static void makeEarlierBundle(const std::filesystem::path& at) {
    writeFile(at / "Contents" / "MacOS" / "vorn-preview-setup", "old program");
    writeFile(at / "Contents" / "Resources" / "ui" / "index.html", "<html>old</html>");
  }
  // Runs the launch sequence.
  void launch();
  std::vector<std::map<std::string, std::string>> events() const { return platform.events(); }
  void post(const std::string& word) {
    platform.postMessage(kMessageHandlerName, true, controller->indexPageURL(), word);
  }
  SetupController::View state() const { return controller->view(); }

  // The bundle's updater becomes an executable shell script with this body.
  void setUpdater(const std::string& body);
  // ... one that prints exactly this record as its JSON result; with a
  // `gate`, only once that file exists, so a test can look in mid-way.
  void setUpdaterReporting(const SetupResult& record, const std::filesystem::path& gate = {});
  // A receipt matching `record`, beside its folder, made `age` seconds ago by the platform's clock.
  void writeReceiptFor(const SetupResult& record, double age = 1);
  // Posts "install" and runs the hand-back; answers the one event it sent.
  std::map<std::string, std::string> install(std::chrono::seconds within = std::chrono::seconds(30));
  // An installation whose updater reports `record`, started as the page starts one.
  void installReporting(const SetupResult& record);

  TempFolder temp;
  std::filesystem::path bundle_;
  platform::headless::HeadlessPlatform platform;
  std::shared_ptr<SetupController> controller;
};

}  // namespace vorn::testing
