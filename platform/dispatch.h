// The background queue, the main queue and the repeating main-thread timer.
#pragma once

#include <functional>
#include <memory>

#include "platform/error.h"

namespace vorn::platform {

class Dispatch {
 public:
  virtual ~Dispatch() = default;
  // An error when the work could not be queued (it will then never run).
  virtual Status asyncGlobal(std::function<void()> work) = 0;
  // Runs the work on the main thread at a later turn of its loop.
  virtual void asyncMain(std::function<void()> work) = 0;
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
