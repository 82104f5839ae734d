// What the updater, the receipt writer and the native host share: where a
// setup lives, how it is remembered and confirmed, and writing a file so that
// no reader ever sees half of it.
#pragma once

#include <array>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "confirm/setup_receipt.h"

namespace vorn::tools {

inline constexpr std::string_view kDataFolderName = "vorn-preview";
inline constexpr std::string_view kExtensionFolderName = "extension";
inline constexpr std::string_view kLastSetupFileName = "last-setup.json";

// The browser extension in the folder confirms the setup through this native
// messaging host; only the extension's own origin may start it.
inline constexpr std::string_view kNativeHostName = "com.vorn.preview_setup";
inline constexpr std::string_view kNativeHostExecutable = "vorn-native-host";
inline constexpr std::string_view kExtensionOrigin = "chrome-extension://ldieoajldojdadeoenlijijeolcdiogl/";
// Where each Chromium-family browser looks for a user's hosts, below the
// user's config folder.
inline constexpr std::array<std::string_view, 5> kNativeHostFolders = {
    "google-chrome/NativeMessagingHosts", "chromium/NativeMessagingHosts",
    "BraveSoftware/Brave-Browser/NativeMessagingHosts", "microsoft-edge/NativeMessagingHosts",
    "vivaldi/NativeMessagingHosts"};

// A failure that ends a tool with one line on standard error.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The user's data folder: $XDG_DATA_HOME when it is an absolute path,
// otherwise ~/.local/share.
std::filesystem::path userDataFolder();

// The user's config folder: $XDG_CONFIG_HOME when it is an absolute path,
// otherwise ~/.config.
std::filesystem::path userConfigFolder();

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

// Writes the receipt that confirms `setup` beside its folder, stamped `age`
// seconds before now, and returns where it went.
std::filesystem::path writeReceipt(const Setup& setup, double age = 0);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`: readers see the old file or the whole new one.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// 128 random bits from the kernel, as 32 lower-case hexadecimal digits.
std::string randomToken();

}  // namespace vorn::tools
