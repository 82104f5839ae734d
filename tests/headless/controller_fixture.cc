#include "controller_fixture.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "confirm/setup_receipt.h"

namespace vorn::testing {

TempFolder::TempFolder(const std::string& stem, const std::filesystem::path& base) {
  std::string pattern =
      ((base.empty() ? std::filesystem::temp_directory_path() : base) / (stem + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Tests may leave folders without permissions; give them back before removal.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

OwnerPermissionsOnly::OwnerPermissionsOnly() {
  header_.version = _LINUX_CAPABILITY_VERSION_3;
  if (::syscall(SYS_capget, &header_, saved_) != 0) return;
  __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
  for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) reduced[0].effective &= ~(1U << cap);
  active_ = ::syscall(SYS_capset, &header_, reduced) == 0;
}

OwnerPermissionsOnly::~OwnerPermissionsOnly() {
  if (active_) ::syscall(SYS_capset, &header_, saved_);
}

std::string receipt(std::string_view token, std::string_view version, std::string_view createdAt) {
  return "{\"token\":\"" + std::string(token) + "\",\"version\":\"" + std::string(version) +
         "\",\"createdAt\":" + std::string(createdAt) + "}";
}

std::string stamp(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

ControllerTest::ControllerTest(const std::string& bundleName)
    : bundle_(temp.path() / bundleName),
      platform(platform::posix::PosixFoundation::Options{
          .executablePath = (bundle_ / "Contents" / "MacOS" / "vorn-preview-setup").string(), .clock = {}}) {
  setenv("HOME", home().c_str(), 1);
  // The program and its page: what makes an installed copy an earlier bundle
  // that the next installation may replace.
  writeFile(bundle_ / "Contents" / "MacOS" / "vorn-preview-setup", "#!/bin/sh\n");
  writeFile(uiFolder() / "index.html", "<html></html>");
  controller = SetupController::create(platform.table());
  if (controller) platform.app.setDelegate(controller.get());
}

void ControllerTest::launch() { controller->applicationDidFinishLaunching(); }

void ControllerTest::setUpdater(const std::string& body) {
  writeFile(updaterPath(), "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(updaterPath(), std::filesystem::perms(0755));
}

void ControllerTest::setUpdaterReporting(const SetupResult& record, const std::filesystem::path& gate) {
  // Kept outside the bundle, so the record is the same whichever copy runs.
  const std::filesystem::path file = temp.path() / "record.json";
  writeFile(
      file,
      nlohmann::json{{"folder", record.folder}, {"token", record.token}, {"version", record.version}}.dump());
  const std::string wait =
      gate.empty() ? "" : "while [ ! -e '" + gate.string() + "' ]; do sleep 0.02; done; ";
  setUpdater(wait + "cat '" + file.string() + "'");
}

void ControllerTest::writeReceiptFor(const SetupResult& record, double age) {
  writeFile(std::filesystem::path(record.folder).parent_path() / kReceiptFileName,
            receipt(record.token, record.version, stamp(platform.foundation.timeIntervalSince1970() - age)));
}

std::map<std::string, std::string> ControllerTest::install(std::chrono::seconds within) {
  const std::size_t before = events().size();
  post("install");
  EXPECT_TRUE(state().installing);
  EXPECT_TRUE(platform.dispatch.waitAndRunMainQueue(within));
  EXPECT_FALSE(state().installing);
  const auto sent = events();
  EXPECT_EQ(sent.size(), before + 1);
  return sent.size() > before ? sent.back() : std::map<std::string, std::string>{};
}

void ControllerTest::installReporting(const SetupResult& record) {
  setUpdaterReporting(record);
  const auto event = install();
  ASSERT_EQ(event.count("type"), 1U);
  ASSERT_EQ(event.at("type"), "installed") << (event.count("message") != 0 ? event.at("message") : "");
  ASSERT_EQ(state().result, record);
}

}  // namespace vorn::testing
