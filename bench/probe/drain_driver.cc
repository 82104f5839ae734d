// Runs an updater through the platform's runTask exactly as the installer
// does and times it until both streams are at their end and it has ended.
// Prints one JSON line: seconds, the CLOCK_MONOTONIC stamp of that moment
// (so a caller can time from the process start), bytes on each stream,
// whether the standard output decodes as the updater's record and how long
// that decoding took.
//   vorn_drain_driver <updater>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "install/setup_result.h"
#include "platform/posix/posix_foundation.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <updater>\n", argv[0]);
    return 2;
  }
  vorn::platform::posix::PosixFoundation foundation;
  const auto start = std::chrono::steady_clock::now();
  auto task = foundation.runTask(vorn::platform::URL::fileURLWithPath(argv[1]), {"--setup"});
  const auto drained = std::chrono::steady_clock::now();
  timespec stamp{};
  ::clock_gettime(CLOCK_MONOTONIC, &stamp);
  const double seconds = std::chrono::duration<double>(drained - start).count();
  if (!task) {
    std::fprintf(stderr, "launch failed: %s\n", task.error().localizedDescription.c_str());
    return 1;
  }
  const auto decoded = vorn::decodeSetupResult(task.value().standardOutput.bytes());
  const double decodeSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - drained).count();
  const nlohmann::json out{
      {"seconds", seconds},
      {"drained", static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) / 1e9},
      {"decodeSeconds", decodeSeconds},
      {"status", task.value().terminationStatus},
      {"stdoutBytes", task.value().standardOutput.size()},
      {"stderrBytes", task.value().standardError.size()},
      {"decoded", decoded.ok()}};
  std::printf("%s\n", out.dump().c_str());
  return task.value().terminationStatus == 0 && decoded.ok() ? 0 : 1;
}
