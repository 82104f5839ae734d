// Runs exactly N watcher ticks and nothing else, so that a system-call count
// of the whole process (strace -c -f) divided by N gives the cost of one tick
// once the count of a zero-tick run is taken off.
//   vorn_tick_probe <ticks> none|receipt
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "bench/support/bench_support.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <ticks> none|receipt\n", argv[0]);
    return 2;
  }
  const long ticks = std::strtol(argv[1], nullptr, 10);
  const std::string_view mode = argv[2];
  vorn::bench::WatchingController watching;
  if (mode == "receipt") watching.writeMatchingReceipt();
  for (long i = 0; i < ticks; ++i) watching.controller->checkConfirmation();
  if (watching.confirmed()) {
    std::fprintf(stderr, "the receipt confirmed: the ticks after it did nothing\n");
    return 1;
  }
  std::printf("%ld ticks\n", ticks);
  return 0;
}
