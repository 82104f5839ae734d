// Stands in for the program that confirms a setup: writes setup-confirmed.json
// into the tools' folder, beside the extension folder that the last setup
// names (and refuses a record that names any other), with its token and
// version and the current time, and prints where it went.
#include <cmath>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>

#include "tool_support.h"

namespace {

constexpr std::string_view kUsage = "usage: vorn-receipt-writer [--age SECONDS | --version]\n";

// Whole input must be a finite number; a negative age stamps the future.
bool parseSeconds(const char* text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (vorn::tools::printedVersion(argc, argv, "vorn-receipt-writer")) return 0;
  double age = 0;
  const bool plain = argc == 1;
  const bool backdated = argc == 3 && std::string_view(argv[1]) == "--age" && parseSeconds(argv[2], age);
  if (!plain && !backdated) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    // The record and the receipt in the one folder, opened once.
    const auto tool = vorn::tools::openToolFolder();
    const auto path = vorn::tools::writeReceiptAt(tool.get(), vorn::tools::readLastSetupAt(tool.get()), age);
    std::cout << vorn::tools::escapedPath(path) << '\n';
    return 0;
  } catch (const vorn::tools::ToolError& failure) {
    std::cerr << "vorn-receipt-writer: " << failure.what() << '\n';
    return 1;
  } catch (const std::exception& failure) {
    std::cerr << "vorn-receipt-writer: " << vorn::tools::escapedText(failure.what()) << '\n';
    return 1;
  }
}
