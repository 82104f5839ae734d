// The background queue, the main queue, a folder's changes and the repeating
// main-thread timer.
#pragma once

#include <functional>
#include <memory>

#include "platform/error.h"
#include "platform/url.h"

namespace vorn::platform {

// Held while a folder is watched; dropping it stops the watching, and no
// call back comes after that.
class FolderWatch {
 public:
  virtual ~FolderWatch() = default;
};

class Dispatch {
 public:
  virtual ~Dispatch() = default;
  // An error when the work could not be queued (it will then never run).
  virtual Status asyncGlobal(std::function<void()> work) = 0;
  // Runs the work on the main thread at a later turn of its loop.
  virtual void asyncMain(std::function<void()> work) = 0;
  // Calls `changed` on the main queue, at a later turn of its loop, whenever
  // an entry of the folder itself is created, written, renamed in or out, or
  // removed; changes that come together may give one call. Empty when the
  // folder cannot be watched (missing, not a folder, or no watch to be had).
  virtual std::unique_ptr<FolderWatch> watchFolder(const URL& folder, std::function<void()> changed) = 0;
};

class Timer {
 public:
  virtual ~Timer() = default;
};

class RunLoop {
 public:
  virtual ~RunLoop() = default;
  // Scheduled on the main loop; the first firing comes one interval after scheduling.
  virtual std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats,
                                                std::function<void()> action) = 0;
};

}  // namespace vorn::platform
