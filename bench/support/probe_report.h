// What a start-up probe reports once the page's first script has posted a
// message. VORN_BENCH_MODE chooses:
//   start  (default) print {"firstPost": <CLOCK_MONOTONIC seconds>} and end the process at once;
//   memory wait VORN_BENCH_SETTLE_MS (1000 unless set) for the page to be shown, then also print
//          the resident memory of this process and of every process it started, and end.
// Shared by the minimal baseline program and the probe of our own program, so
// both are measured alike. Plain POSIX: no toolkit header.
#pragma once

namespace vorn::bench {

// Safe to call from every message; only the first call counts.
void firstMessagePosted();

}  // namespace vorn::bench
