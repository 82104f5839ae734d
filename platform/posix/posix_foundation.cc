#include "platform/posix/posix_foundation.h"

#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_home.h"
#include "platform/posix/posix_tree.h"

namespace vorn::platform::posix {

Bundle bundleForExecutable(const std::string& executablePath) {
  const std::filesystem::path exe(executablePath);
  const std::filesystem::path folder = exe.parent_path();
  if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
    const std::filesystem::path root = folder.parent_path().parent_path();
    return Bundle{URL::fileURLWithPath(root.string(), true),
                  URL::fileURLWithPath((root / "Contents" / "Resources").string(), true)};
  }
  const URL own = URL::fileURLWithPath(folder.string(), true);
  return Bundle{own, own};
}

Bundle PosixFoundation::mainBundle() {
  std::string exe = options_.executablePath;
  if (exe.empty()) {
    std::error_code ec;
    exe = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec || exe.empty()) return Bundle{};
  }
  return bundleForExecutable(exe);
}

Outcome<std::string> PosixFoundation::uuidString() {
  std::array<std::uint8_t, 16> bytes{};
  std::size_t got = 0;
  // An interrupted or short answer is asked again, a few times; a system
  // that keeps giving nothing is a failure, not a reason to spin.
  constexpr int kAttempts = 16;
  int lastError = EIO;
  for (int attempt = 0; attempt < kAttempts && got < bytes.size(); ++attempt) {
    const ssize_t n = random_ ? random_(bytes.data() + got, bytes.size() - got)
                              : getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0) {
      lastError = errno;
    }
  }
  if (got < bytes.size()) return posixFailure(lastError, "make a random name for the staging copy");
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xF];
  }
  return text;
}

double PosixFoundation::timeIntervalSince1970() {
  if (options_.clock) return options_.clock();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

URL PosixFileManager::homeDirectoryForCurrentUser() {
  // With no home to be found, the root folder: an installation there fails in plain words.
  return URL::fileURLWithPath(homeFolder().value_or("/"), true);
}

}  // namespace vorn::platform::posix
