// Small pieces the benchmark programs share: a throw-away folder, file
// writing, and a controller in the watching state on the headless platform.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "app/setup_controller.h"
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

// A launched controller whose installation has succeeded: every tick looks for
// <temp>/setup-confirmed.json beside <temp>/extension.
class WatchingController {
 public:
  static constexpr std::string_view kToken = "3f6c2a9e-token";
  static constexpr std::string_view kVersion = "1.4.2";

  WatchingController()
      : platform_({.executablePath = (temp_.path() / "B.app/Contents/MacOS/prog").string(), .clock = {}}) {
    controller = SetupController::create(platform_.table());
    if (!controller) throw std::runtime_error("no controller");
    controller->applicationDidFinishLaunching();
    controller->result =
        SetupResult{(temp_.path() / "extension").string(), std::string(kToken), std::string(kVersion)};
    receiptPath = (temp_.path() / "setup-confirmed.json").string();
  }

  // Puts a fresh, matching receipt of exactly 1 KiB in place.
  void writeMatchingReceipt() {
    writeFile(receiptPath,
              paddedReceipt(kToken, kVersion, platform_.foundation.timeIntervalSince1970(), 1024));
  }

  // Back to watching after a confirmation; drops the sent scripts.
  void rearm() {
    controller->confirmed = false;
    platform_.webView()->scripts.clear();
  }

  [[nodiscard]] bool confirmed() const { return controller->confirmed; }

 private:
  TempFolder temp_;
  platform::headless::HeadlessPlatform platform_;

 public:
  std::shared_ptr<SetupController> controller;
  std::string receiptPath;
};

}  // namespace vorn::bench
