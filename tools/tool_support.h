// What the updater and the receipt writer share: where a setup lives, how it
// is remembered, and writing a file so that no reader ever sees half of it.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "confirm/setup_receipt.h"

namespace vorn::tools {

inline constexpr std::string_view kDataFolderName = "vorn-preview";
inline constexpr std::string_view kExtensionFolderName = "extension";
inline constexpr std::string_view kLastSetupFileName = "last-setup.json";

// A failure that ends a tool with one line on standard error.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The user's data folder: $XDG_DATA_HOME when it is an absolute path,
// otherwise ~/.local/share.
std::filesystem::path userDataFolder();

// <user data folder>/vorn-preview: the updater's own folder.
inline std::filesystem::path toolFolder() { return userDataFolder() / kDataFolderName; }

// What a setup reported, and what its receipt has to repeat.
struct Setup {
  std::string folder;
  std::string token;
  std::string version;
};

std::string encodeSetup(const Setup& setup);
// The setup that the updater remembered last; fails when there is none.
Setup readLastSetup();

// The folder that a receipt for `folder` goes into: its parent, also when
// `folder` ends with a separator.
std::filesystem::path receiptFolderFor(const std::filesystem::path& folder);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`: readers see the old file or the whole new one.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// 128 random bits from the kernel, as 32 lower-case hexadecimal digits.
std::string randomToken();

}  // namespace vorn::tools
