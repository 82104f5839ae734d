// Stands in for the program that confirms a setup: writes setup-confirmed.json
// beside the folder of the last setup, with its token and version and the
// current time, and prints where it went.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tool_support.h"

namespace {

constexpr std::string_view kUsage = "usage: vorn-receipt-writer [--age SECONDS]\n";

double secondsSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Whole input must be a finite number; a negative age stamps the future.
bool parseSeconds(const char* text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(seconds);
}

}  // namespace

int main(int argc, char** argv) {
  double age = 0;
  const bool plain = argc == 1;
  const bool backdated = argc == 3 && std::string_view(argv[1]) == "--age" && parseSeconds(argv[2], age);
  if (!plain && !backdated) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    const auto setup = vorn::tools::readLastSetup();
    const auto path = vorn::tools::receiptFolderFor(setup.folder) / vorn::kReceiptFileName;
    const nlohmann::json receipt{
        {"token", setup.token}, {"version", setup.version}, {"createdAt", secondsSince1970() - age}};
    vorn::tools::writeFileAtomically(path, receipt.dump() + "\n");
    std::cout << path.string() << '\n';
    return 0;
  } catch (const std::exception& failure) {
    std::cerr << "vorn-receipt-writer: " << failure.what() << '\n';
    return 1;
  }
}
