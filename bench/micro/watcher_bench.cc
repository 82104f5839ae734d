// One confirmation-watcher tick against the bare system calls it stands on:
// with no receipt, one lstat of the same path; with a 1 KiB receipt checked in
// full, open + fstat + read + close of the same file. The receipt's decoding on its
// own tells how much of a receipt tick is JSON rather than system calls, and
// the floor is the system calls alone that the entry check and the safe read
// make.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "bench/support/bench_support.h"
#include "confirm/setup_receipt.h"

namespace {

using vorn::bench::WatchingController;

void BM_TickNoReceipt(benchmark::State& state) {
  WatchingController watching;
  for (auto _ : state) {
    watching.controller->checkConfirmation();
  }
  if (watching.confirmed()) state.SkipWithError("confirmed without a receipt");
}

void BM_TickNoReceiptBaseline(benchmark::State& state) {
  WatchingController watching;
  struct stat st {};
  for (auto _ : state) {
    const int rc = ::lstat(watching.receiptPath.c_str(), &st);
    benchmark::DoNotOptimize(rc);
  }
}

void BM_TickReceipt(benchmark::State& state) {
  WatchingController watching;
  watching.writeMatchingReceipt();
  for (auto _ : state) {
    watching.controller->checkConfirmation();
  }
  if (watching.confirmed()) state.SkipWithError("the receipt confirmed: the tick would not repeat");
}

// open + fstat + read + close of the file as bare system calls.
void openStatRead(const std::string& path, int flags, std::array<char, 1025>& buffer) {
  const int fd = ::open(path.c_str(), flags);
  struct stat st {};
  ::fstat(fd, &st);
  const ssize_t got = ::read(fd, buffer.data(), buffer.size());
  ::close(fd);
  benchmark::DoNotOptimize(got);
  benchmark::DoNotOptimize(buffer.data());
}

void BM_TickReceiptBaseline(benchmark::State& state) {
  WatchingController watching;
  watching.writeMatchingReceipt();
  std::array<char, 1025> buffer{};
  for (auto _ : state) {
    openStatRead(watching.receiptPath, O_RDONLY | O_CLOEXEC, buffer);
  }
}

// The system calls alone of a receipt tick: the entry's attributes by path,
// then open, fstat and read of what was opened.
void BM_TickReceiptFloor(benchmark::State& state) {
  WatchingController watching;
  watching.writeMatchingReceipt();
  std::array<char, 1025> buffer{};
  for (auto _ : state) {
    struct stat entry {};
    benchmark::DoNotOptimize(::lstat(watching.receiptPath.c_str(), &entry));
    openStatRead(watching.receiptPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, buffer);
  }
}

void BM_ReceiptDecode(benchmark::State& state) {
  const std::string bytes =
      vorn::bench::paddedReceipt(WatchingController::kToken, WatchingController::kVersion, 1.7e9, 1024);
  for (auto _ : state) {
    auto receipt = vorn::decodeSetupReceipt(bytes);
    if (!receipt) {
      state.SkipWithError("the receipt did not decode");
      break;
    }
    benchmark::DoNotOptimize(receipt.value().token.data());
  }
}

BENCHMARK(BM_TickNoReceipt);
BENCHMARK(BM_TickNoReceiptBaseline);
BENCHMARK(BM_TickReceipt);
BENCHMARK(BM_TickReceiptBaseline);
BENCHMARK(BM_TickReceiptFloor);
BENCHMARK(BM_ReceiptDecode);

}  // namespace
