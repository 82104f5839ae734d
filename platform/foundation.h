// The main bundle, the file manager, processes and pipes, UUIDs and the clock.
#pragma once

#include <atomic>
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

// Asked for once, from any thread, when the work it was handed to should stop
// (the program is ending); long operations look at it between their steps.
class Cancellation {
 public:
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  [[nodiscard]] bool isCancelled() const { return cancelled_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancelled_{false};
};

// The error of an operation that stopped because it was cancelled.
inline Error cancelledError() {
  return Error{std::string(kCancelledErrorDomain), 0, "The operation was cancelled."};
}
[[nodiscard]] inline bool isCancelledError(const Error& error) {
  return error.domain == kCancelledErrorDomain;
}

// The domain of a replacement refused because what has the name is not an
// earlier copy of the item; it is left exactly as it was.
inline constexpr std::string_view kNotAnEarlierCopyDomain = "VornSetup.NotAnEarlierCopy";

// How a task is run beyond its command line.
struct TaskOptions {
  // Seconds from the launch after which the task's process group is ended; 0 is no limit.
  double timeLimit = 0;
  // Standard error is kept whole up to twice this many bytes; beyond that its
  // first and its last this many bytes. 0 keeps it all.
  std::size_t standardErrorEnds = 0;
  // Standard output is kept up to this many bytes and the rest only counted; 0 keeps it all.
  std::size_t standardOutputLimit = 0;
  // Ends the task's process group once asked; null never asks.
  const Cancellation* cancellation = nullptr;
};

// What the installer's updater left behind once it has ended and its streams
// have been read (to their end, or as far as they held anything once it had
// exited: whatever it left running is ended then).
struct TaskResult {
  int terminationStatus = 0;  // exit status, or non-zero when ended by a signal
  bool terminatedBySignal = false;
  bool timedOut = false;                  // ended for running past the time limit
  Data standardOutput;                    // all of it, or its first standardOutputLimit bytes
  std::size_t standardOutputLeftOut = 0;  // bytes beyond the limit, read and dropped
  Data standardError;                     // all of it, or its first bytes when standardErrorLeftOut > 0
  Data standardErrorTail;                 // its last bytes when standardErrorLeftOut > 0, else empty
  std::size_t standardErrorLeftOut = 0;   // bytes between the two that were not kept
};

// Held while an installation may write into a folder; released when dropped.
class FolderLock {
 public:
  virtual ~FolderLock() = default;
};

class FileManager {
 public:
  virtual ~FileManager() = default;
  virtual URL homeDirectoryForCurrentUser() = 0;
  // A folder that is already there counts as success.
  virtual Status createDirectory(const URL& url, bool withIntermediateDirectories) = 0;
  // A cancellation stops the copy before its next file.
  virtual Status copyItem(const URL& from, const URL& to, const Cancellation& cancellation) = 0;
  virtual bool fileExistsAtPath(const std::string& path) = 0;
  // Whether `url` names a folder, not a link, that holds each of `files`
  // (paths relative to it) as a regular file reached through no link.
  virtual bool folderHolds(const URL& url, const std::vector<std::string>& files) = 0;
  // Replaces `original` by `replacement`, but only while `original` is a
  // folder that holds `originalHolds` (as folderHolds): anything else there is
  // left as it is, with an error of kNotAnEarlierCopyDomain. The replacement
  // is on disk before it takes the name, and the name before the old tree is
  // removed. Afterwards `original` holds what `replacement` held, and the
  // replacement's name holds whatever the old tree's removal had to leave;
  // where two names cannot be exchanged in one step, the old tree is set
  // aside at `setAside` instead, and what its removal leaves stays there.
  virtual Status replaceItem(const URL& original, const URL& replacement,
                             const std::vector<std::string>& originalHolds, const URL& setAside) = 0;
  // The moved tree is on disk before it takes its new name, and the name after.
  virtual Status moveItem(const URL& from, const URL& to) = 0;
  // Removes a whole tree of the caller's own, never following a link and never
  // crossing into another file system: what is mounted inside stays whole, and
  // so do the folders that hold it. Its folders whose mode keeps their entries
  // in place are given their owner's write permission first.
  virtual Status removeItem(const URL& url) = 0;
  // The names in a folder, without "." and "..".
  virtual Outcome<std::vector<std::string>> contentsOfDirectory(const URL& url) = 0;
  // Waits until this process holds the folder's exclusive advisory lock, which
  // other processes taking it respect; a cancellation ends the wait.
  virtual Outcome<std::unique_ptr<FolderLock>> lockFolder(const URL& url,
                                                          const Cancellation& cancellation) = 0;
  // Reads a regular file of at most maxBytes without following a symbolic link
  // and without ever blocking; anything else is an error.
  virtual Outcome<std::string> contentsOfSmallRegularFile(const std::string& path, std::size_t maxBytes) = 0;
};

class Foundation {
 public:
  virtual ~Foundation() = default;
  virtual Bundle mainBundle() = 0;
  virtual FileManager& defaultManager() = 0;
  // Launches the executable in a process group of its own with these
  // arguments, inheriting standard input, environment and working folder,
  // collects both output streams and waits for it; once it has exited, its
  // streams are read as far as they hold anything (for a short grace at
  // most, so that a descendant holding them cannot hold the caller), and
  // whatever it left running in its group is ended: SIGTERM, then SIGKILL a
  // moment later. A launch failure, or a cancellation, is the error.
  virtual Outcome<TaskResult> runTask(const URL& executable, const std::vector<std::string>& arguments,
                                      const TaskOptions& options) = 0;
  Outcome<TaskResult> runTask(const URL& executable, const std::vector<std::string>& arguments) {
    return runTask(executable, arguments, TaskOptions{});
  }
  // 36 characters, upper-case hexadecimal, 8-4-4-4-12; an error when the
  // system has no randomness to give.
  virtual Outcome<std::string> uuidString() = 0;
  // Wall-clock seconds since 1970, with fractions.
  virtual double timeIntervalSince1970() = 0;
};

}  // namespace vorn::platform
