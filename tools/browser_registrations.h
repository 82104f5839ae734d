// Where setup registers the native messaging host: one row per browser, and
// the record of what setup made. Setup and uninstall both read this table, so
// uninstall removes what setup could have made and nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::tools {

// The folder a browser's own folder lies in: Google Chrome and Chromium take
// $CHROME_CONFIG_HOME before $XDG_CONFIG_HOME; the others know only the latter.
enum class ConfigRoot { kChrome, kXdg };

struct BrowserRegistration {
  std::string_view browser;  // as messages name it
  ConfigRoot root;
  std::string_view folder;  // the browser's own folder, below its root
};

// Every browser looks for a user's hosts in NativeMessagingHosts/ of its own
// folder; a channel of a browser has a folder of its own.
inline constexpr std::string_view kNativeHostsFolderName = "NativeMessagingHosts";
inline constexpr std::array<BrowserRegistration, 9> kBrowserRegistrations = {{
    {"Google Chrome", ConfigRoot::kChrome, "google-chrome"},
    {"Google Chrome Beta", ConfigRoot::kChrome, "google-chrome-beta"},
    {"Google Chrome Unstable", ConfigRoot::kChrome, "google-chrome-unstable"},
    {"Chromium", ConfigRoot::kChrome, "chromium"},
    {"Brave", ConfigRoot::kXdg, "BraveSoftware/Brave-Browser"},
    {"Microsoft Edge", ConfigRoot::kXdg, "microsoft-edge"},
    {"Microsoft Edge Beta", ConfigRoot::kXdg, "microsoft-edge-beta"},
    {"Microsoft Edge Dev", ConfigRoot::kXdg, "microsoft-edge-dev"},
    {"Vivaldi", ConfigRoot::kXdg, "vivaldi"},
}};

// What setup made, kept in the tools' folder for uninstall. Uninstall reads it
// as untrusted input: at most this many bytes, and only entries that name a
// place setup may make.
inline constexpr std::string_view kCreatedRecordFileName = "created-by-setup.json";
inline constexpr std::size_t kCreatedRecordLimit = std::size_t{64} * 1024;

// $CHROME_CONFIG_HOME when it is an absolute path, otherwise the user's
// config folder; normalised.
std::filesystem::path chromeConfigFolder();

// A row with its root found in the current environment.
struct BrowserPlace {
  const BrowserRegistration* row;
  std::filesystem::path root;   // normalised
  std::filesystem::path hosts;  // root/folder/NativeMessagingHosts
  std::filesystem::path manifest;
};
std::vector<BrowserPlace> browserPlaces();

// The roots setup works below: the data folder, the config folder and the
// Chrome config folder, normalised; duplicates once.
std::vector<std::filesystem::path> setupRoots();

// Every path setup may make in the current environment: each root and the
// folders above it, the tools' folder, each browser's folders down to its
// NativeMessagingHosts and the manifest there.
std::set<std::filesystem::path> placesSetupMayMake();

std::string encodeCreatedRecord(const std::vector<std::filesystem::path>& made);

// The entries of a record that name a place in `allowed`, each once; every
// other entry adds a line to `refused`. Nothing when the text is no record.
std::optional<std::vector<std::filesystem::path>> decodeCreatedRecord(
    std::string_view text, const std::set<std::filesystem::path>& allowed, std::vector<std::string>& refused);

}  // namespace vorn::tools
