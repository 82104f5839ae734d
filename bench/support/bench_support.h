// Small pieces the benchmark programs share: a throw-away folder, file
// writing, and a controller in the watching state on the headless platform.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "app/setup_controller.h"
#include "confirm/setup_receipt.h"
#include "platform/headless/headless_platform.h"

namespace vorn::bench {

// A unique folder under $TMPDIR (or /tmp), removed with everything in it.
class TempFolder {
 public:
  explicit TempFolder(const std::string& stem = "vorn-bench") {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + stem + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// A receipt that matches the token and version, stamped `createdAt`, padded
// with white space to exactly `size` bytes.
inline std::string paddedReceipt(std::string_view token, std::string_view version, double createdAt,
                                 std::size_t size) {
  std::string json = std::string(R"({"token":")") + std::string(token) + R"(","version":")" +
                     std::string(version) + R"(","createdAt":)" + std::to_string(createdAt) + "}";
  if (json.size() < size) json.append(size - json.size(), ' ');
  return json;
}

// A launched controller whose installation has succeeded, reached as the page
// reaches it: "install" posted, a bundle whose updater reports the record. Every
// tick looks for <temp>/setup-confirmed.json beside <temp>/extension. The clock
// stands still at kNow.
class WatchingController {
 public:
  static constexpr std::string_view kToken = "3f6c2a9e-token";
  static constexpr std::string_view kVersion = "1.4.2";
  static constexpr double kNow = 1.7e9;

  WatchingController()
      : platform_({.executablePath = (temp_.path() / "B.app/Contents/MacOS/prog").string(),
                   .clock = [] { return kNow; }}) {
    // The installation lands in a home of the run's own.
    ::setenv("HOME", (temp_.path() / "home").c_str(), 1);
    const std::filesystem::path updater = temp_.path() / "B.app/Contents/MacOS/vorn-updater";
    const std::filesystem::path record = temp_.path() / "record.json";
    writeFile(record,
              nlohmann::json{
                  {"folder", (temp_.path() / "extension").string()}, {"token", kToken}, {"version", kVersion}}
                  .dump());
    writeFile(updater, "#!/bin/sh\ncat '" + record.string() + "'\n");
    std::filesystem::permissions(updater, std::filesystem::perms(0755));
    std::filesystem::create_directories(temp_.path() / "B.app/Contents/Resources/ui");
    controller = SetupController::create(platform_.table());
    if (!controller) throw std::runtime_error("no controller");
    controller->applicationDidFinishLaunching();
    platform_.postMessage(kMessageHandlerName, true, controller->indexPageURL(), std::string("install"));
    while (controller->view().installing)
      platform_.dispatch.waitAndRunMainQueue(std::chrono::milliseconds(100));
    if (!controller->view().result) throw std::runtime_error("the installation did not succeed");
    platform_.webView()->scripts.clear();
    receiptPath = (temp_.path() / kReceiptFileName).string();
  }

  // A receipt of exactly 1 KiB that matches in token and version and is
  // exactly as old as the watcher refuses: a tick reads, decodes and compares
  // all of it, reads the clock twice and stops at the last condition. (A
  // confirming tick ends the watching, so it could not be repeated.)
  void writeMatchingReceipt() { writeFile(receiptPath, paddedReceipt(kToken, kVersion, kNow - 1800, 1024)); }

  [[nodiscard]] bool confirmed() const { return controller->view().confirmed; }

 private:
  TempFolder temp_;
  platform::headless::HeadlessPlatform platform_;

 public:
  std::shared_ptr<SetupController> controller;
  std::string receiptPath;
};

}  // namespace vorn::bench
