// The updater in setup mode: prepares the folder that the browser extension is
// loaded from, picks a token for this setup and reports both on standard
// output as {"folder":…,"token":…,"version":…}.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string_view>
#include <system_error>

#include "tool_support.h"

namespace {

constexpr std::string_view kVersion = VORN_VERSION;

// A minimal unpacked-extension manifest, so the folder can be loaded as is.
std::string manifest() {
  return nlohmann::json{{"manifest_version", 3},
                        {"name", "Vorn Preview"},
                        {"version", kVersion},
                        {"description", "Vorn Preview placeholder extension."}}
             .dump(2) +
         "\n";
}

vorn::tools::Setup setUp() {
  namespace fs = std::filesystem;
  const fs::path base = vorn::tools::toolFolder();
  const fs::path folder = base / vorn::tools::kExtensionFolderName;
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw vorn::tools::ToolError("cannot create " + folder.string() + ": " + error.message());
  vorn::tools::writeFileAtomically(folder / "manifest.json", manifest());
  vorn::tools::Setup setup{folder.string(), vorn::tools::randomToken(), std::string(kVersion)};
  vorn::tools::writeFileAtomically(base / vorn::tools::kLastSetupFileName,
                                   vorn::tools::encodeSetup(setup) + "\n");
  return setup;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string_view(argv[1]) != "--setup") {
    std::cerr << "usage: vorn-updater --setup\n";
    return 2;
  }
  try {
    const auto setup = setUp();
    std::cout << vorn::tools::encodeSetup(setup) << '\n';
    std::cout.flush();
    if (!std::cout) {
      std::cerr << "vorn-updater: cannot write the result to standard output\n";
      return 1;
    }
    return 0;
  } catch (const std::exception& failure) {
    std::cerr << "vorn-updater: " << failure.what() << '\n';
    return 1;
  }
}
