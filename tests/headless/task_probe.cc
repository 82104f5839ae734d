// A process that runs an updater the way the program does, for tests that end
// it outright: a first run on a worker thread that has ended by then, a second
// on a worker thread still waiting for it. The process then waits on standard
// input and leaves by exit(), as a toolkit that loses its display does; or it
// is killed before.
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "platform/posix/posix_foundation.h"
#include "platform/url.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  using vorn::platform::URL;
  vorn::platform::posix::PosixFoundation foundation;
  std::thread([&] { static_cast<void>(foundation.runTask(URL::fileURLWithPath("/bin/true"), {})); }).join();
  std::thread([&] {
    static_cast<void>(foundation.runTask(URL::fileURLWithPath(argv[1]), {"--setup"}));
  }).detach();
  char byte = 0;
  static_cast<void>(::read(STDIN_FILENO, &byte, 1));
  std::exit(1);
}
