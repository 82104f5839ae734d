// What a start-up probe reports once the page's first script has posted a
// message. VORN_BENCH_MODE chooses:
//   start  (default) print {"firstPost": <CLOCK_MONOTONIC seconds>} and end the process at once;
//   memory wait VORN_BENCH_SETTLE_MS (1000 unless set) for the page to be shown, then also print
//          the resident memory of this process and of every process it started, and end;
//   idle   print {"firstPost": …} and keep running: every later post is printed as
//          {"post": <body>, "at": <seconds>}, and every line read from standard input is a
//          script for the page (followCommands), so bench/run.py can walk the page through
//          its states and sample the processes from outside. End of input ends the process.
// Shared by the minimal baseline program and the probe of our own program, so
// both are measured alike. Plain POSIX: no toolkit header.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vorn::bench {

// Safe to call from every message; only the first call counts.
void firstMessagePosted();

// The same, for a message whose body is known; in idle mode the body is printed.
void messagePosted(std::string_view body);

// In idle mode, reads standard input on a thread of its own and hands every
// line to `evaluate` through `toMain` (which must run it on the main thread);
// does nothing in the other modes.
void followCommands(std::function<void(std::function<void()>)> toMain,
                    std::function<void(std::string)> evaluate);

}  // namespace vorn::bench
