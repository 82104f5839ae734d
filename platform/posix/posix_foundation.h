// Foundation on POSIX: real files, processes, UUIDs and clock, shared by every backend.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation.h"

namespace vorn::platform::posix {

class PosixFileManager final : public FileManager {
 public:
  URL homeDirectoryForCurrentUser() override;
  Status createDirectory(const URL& url, bool withIntermediateDirectories) override;
  Status copyItem(const URL& from, const URL& to, const Cancellation& cancellation) override;
  bool fileExistsAtPath(const std::string& path) override;
  bool folderHolds(const URL& url, const std::vector<std::string>& files) override;
  Status replaceItem(const URL& original, const URL& replacement,
                     const std::vector<std::string>& originalHolds, const URL& setAside) override;
  Status moveItem(const URL& from, const URL& to) override;
  Status removeItem(const URL& url) override;
  Outcome<std::vector<std::string>> contentsOfDirectory(const URL& url) override;
  Outcome<std::unique_ptr<FolderLock>> lockFolder(const URL& url, const Cancellation& cancellation) override;
  Outcome<std::string> contentsOfSmallRegularFile(const std::string& path, std::size_t maxBytes) override;
};

// The bundle that holds an executable: two levels up when it lies in
// Contents/MacOS, else the executable's own folder.
Bundle bundleForExecutable(const std::string& executablePath);

class PosixFoundation final : public Foundation {
 public:
  struct Options {
    // The running executable's path; empty means /proc/self/exe.
    std::string executablePath;
    // Replaces the wall clock (tests pin ages to the half second).
    std::function<double()> clock;
  };
  PosixFoundation() = default;
  explicit PosixFoundation(Options options) : options_(std::move(options)) {}

  Bundle mainBundle() override;
  FileManager& defaultManager() override { return files_; }
  using Foundation::runTask;
  Outcome<TaskResult> runTask(const URL& executable, const std::vector<std::string>& arguments,
                              const TaskOptions& options) override;
  Outcome<std::string> uuidString() override;
  double timeIntervalSince1970() override;

  void setClock(std::function<double()> clock) { options_.clock = std::move(clock); }
  // Replaces getrandom(2), with its contract (tests make it fail).
  void setRandomSource(std::function<ssize_t(void*, std::size_t)> random) { random_ = std::move(random); }

 private:
  Options options_;
  std::function<ssize_t(void*, std::size_t)> random_;
  PosixFileManager files_;
};

}  // namespace vorn::platform::posix
