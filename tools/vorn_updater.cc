// The updater. In setup mode it puts the bundle's browser extension into the
// folder that the browser loads it from, registers the bundle's native
// messaging host with the Chromium-family browsers, picks a token for this
// setup and reports {"folder":…,"token":…,"version":…} on standard output.
// In uninstall mode it removes what setup mode wrote, and nothing else.
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <system_error>

#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using vorn::tools::ToolError;

constexpr std::string_view kVersion = VORN_VERSION;
constexpr std::string_view kUsage = "usage: vorn-updater --setup | --uninstall\n";

fs::path hostManifestName() { return std::string(vorn::tools::kNativeHostName) + ".json"; }

// The folder this executable lies in: Contents/MacOS of its bundle.
fs::path ownFolder() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) throw ToolError("cannot find the updater's own executable: " + error.message());
  return self.parent_path();
}

void makeFolders(const fs::path& folder) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw ToolError("cannot create " + folder.string() + ": " + error.message());
}

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every file of the bundle's extension, written afresh into `folder`; files
// there that the bundle does not have stay as they are.
void copyExtension(const fs::path& bundled, const fs::path& folder) {
  if (!fs::is_regular_file(bundled / "manifest.json"))
    throw ToolError("the bundle holds no browser extension: " + (bundled / "manifest.json").string() +
                    " is missing");
  makeFolders(folder);
  std::error_code error;
  for (fs::recursive_directory_iterator entry(bundled, error), end; !error && entry != end;
       entry.increment(error)) {
    const fs::path target = folder / entry->path().lexically_relative(bundled);
    if (entry->is_directory()) {
      makeFolders(target);
    } else if (entry->is_regular_file()) {
      vorn::tools::writeFileAtomically(target, readWhole(entry->path()));
    }
  }
  if (error) throw ToolError("cannot read " + bundled.string() + ": " + error.message());
}

// The manifest that lets the browser start the host for the extension alone.
void registerHost(const fs::path& host) {
  if (::access(host.c_str(), X_OK) != 0 || !fs::is_regular_file(host))
    throw ToolError("the bundle holds no native messaging host: " + host.string() + " is missing");
  const std::string manifest =
      nlohmann::json{{"name", vorn::tools::kNativeHostName},
                     {"description", "Confirms a Vorn Preview setup for its browser extension."},
                     {"path", host.string()},
                     {"type", "stdio"},
                     {"allowed_origins", {vorn::tools::kExtensionOrigin}}}
          .dump(2) +
      "\n";
  const fs::path config = vorn::tools::userConfigFolder();
  for (const std::string_view folder : vorn::tools::kNativeHostFolders) {
    makeFolders(config / folder);
    vorn::tools::writeFileAtomically(config / folder / hostManifestName(), manifest);
  }
}

vorn::tools::Setup setUp() {
  const fs::path own = ownFolder();
  const fs::path base = vorn::tools::toolFolder();
  const fs::path folder = base / vorn::tools::kExtensionFolderName;
  copyExtension(own.parent_path() / "Resources" / "extension", folder);
  registerHost(own / vorn::tools::kNativeHostExecutable);
  vorn::tools::Setup setup{folder.string(), vorn::tools::randomToken(), std::string(kVersion)};
  vorn::tools::writeFileAtomically(base / vorn::tools::kLastSetupFileName,
                                   vorn::tools::encodeSetup(setup) + "\n");
  return setup;
}

void removeFile(const fs::path& path) {
  std::error_code error;
  fs::remove(path, error);
  // A file where a folder should be holds nothing of ours either.
  if (error && error != std::errc::not_a_directory)
    throw ToolError("cannot remove " + path.string() + ": " + error.message());
}

// Removes `folder` and its parents below `top` while they are empty.
void removeEmptyFolders(fs::path folder, const fs::path& top) {
  while (folder != top && folder.has_relative_path() && ::rmdir(folder.c_str()) == 0)
    folder = folder.parent_path();
}

void uninstall() {
  const fs::path config = vorn::tools::userConfigFolder();
  for (const std::string_view folder : vorn::tools::kNativeHostFolders) {
    removeFile(config / folder / hostManifestName());
    removeEmptyFolders(config / folder, config);
  }
  const fs::path base = vorn::tools::toolFolder();
  const fs::path extension = base / vorn::tools::kExtensionFolderName;
  std::error_code error;
  fs::remove_all(extension, error);
  if (error) throw ToolError("cannot remove " + extension.string() + ": " + error.message());
  removeFile(base / vorn::tools::kLastSetupFileName);
  removeFile(base / vorn::kReceiptFileName);
  removeEmptyFolders(base, base.parent_path());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc == 2 ? argv[1] : "";
  if (mode != "--setup" && mode != "--uninstall") {
    std::cerr << kUsage;
    return 2;
  }
  try {
    if (mode == "--uninstall") {
      uninstall();
      return 0;
    }
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
