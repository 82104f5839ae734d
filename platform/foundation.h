// The main bundle, the file manager, processes and pipes, UUIDs and the clock.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/url.h"

namespace vorn::platform {

struct Bundle {
  URL bundleURL;                   // the folder that holds Contents/MacOS/<program>
  std::optional<URL> resourceURL;  // absent when the platform cannot say
};

// Bytes as the platform's data object holds them: read-only, and shared
// rather than copied, since an updater's output may run to hundreds of
// megabytes. The owner keeps the storage alive.
class Data {
 public:
  Data() = default;
  Data(std::shared_ptr<const void> owner, std::string_view bytes) : owner_(std::move(owner)), bytes_(bytes) {}

  [[nodiscard]] std::string_view bytes() const { return bytes_; }
  [[nodiscard]] std::size_t size() const { return bytes_.size(); }
  [[nodiscard]] bool empty() const { return bytes_.empty(); }

 private:
  std::shared_ptr<const void> owner_;
  std::string_view bytes_;
};

// What the installer's updater left behind once it has ended and both of its
// streams are at their end.
struct TaskResult {
  int terminationStatus = 0;  // exit status, or non-zero when ended by a signal
  bool terminatedBySignal = false;
  Data standardOutput;
  Data standardError;
};

class FileManager {
 public:
  virtual ~FileManager() = default;
  virtual URL homeDirectoryForCurrentUser() = 0;
  // A folder that is already there counts as success.
  virtual Status createDirectory(const URL& url, bool withIntermediateDirectories) = 0;
  virtual Status copyItem(const URL& from, const URL& to) = 0;
  virtual bool fileExistsAtPath(const std::string& path) = 0;
  // Afterwards `original` holds what `replacement` held and the replacement's name is gone.
  virtual Status replaceItem(const URL& original, const URL& replacement) = 0;
  virtual Status moveItem(const URL& from, const URL& to) = 0;
  virtual Status removeItem(const URL& url) = 0;
  // Reads a regular file of at most maxBytes without following a symbolic link
  // and without ever blocking; anything else is an error.
  virtual Outcome<std::string> contentsOfSmallRegularFile(const std::string& path, std::size_t maxBytes) = 0;
};

class Foundation {
 public:
  virtual ~Foundation() = default;
  virtual Bundle mainBundle() = 0;
  virtual FileManager& defaultManager() = 0;
  // Launches the executable with these arguments, inheriting standard input,
  // environment and working folder, collects both output streams to their end
  // and waits for it. A launch failure is the error.
  virtual Outcome<TaskResult> runTask(const URL& executable, const std::vector<std::string>& arguments) = 0;
  // 36 characters, upper-case hexadecimal, 8-4-4-4-12.
  virtual std::string uuidString() = 0;
  // Wall-clock seconds since 1970, with fractions.
  virtual double timeIntervalSince1970() = 0;
};

}  // namespace vorn::platform
