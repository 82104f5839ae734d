// emit() of an event with a 4 KiB folder path against building the same JSON
// with the JSON library alone.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>

#include "app/setup_controller.h"
#include "platform/headless/headless_platform.h"

namespace {

std::string longFolder() {
  std::string folder;
  while (folder.size() < 4096) folder += "/home/user/.local/share/vorn-preview/extension";
  folder.resize(4096);
  return folder;
}

void BM_Emit(benchmark::State& state) {
  vorn::platform::headless::HeadlessPlatform platform(
      {.executablePath = "/tmp/B.app/Contents/MacOS/p", .clock = {}});
  auto controller = vorn::SetupController::create(platform.table());
  controller->applicationDidFinishLaunching();
  auto& scripts = platform.webView()->scripts;
  const vorn::Event event{{"type", "installed"}, {"folder", longFolder()}};
  for (auto _ : state) {
    controller->emit(event);
    benchmark::DoNotOptimize(scripts.back().data());
    scripts.clear();
  }
}

void BM_EmitBaseline(benchmark::State& state) {
  const vorn::Event event{{"type", "installed"}, {"folder", longFolder()}};
  for (auto _ : state) {
    std::string json = nlohmann::json(event).dump();
    benchmark::DoNotOptimize(json.data());
  }
}

BENCHMARK(BM_Emit);
BENCHMARK(BM_EmitBaseline);

}  // namespace

BENCHMARK_MAIN();
