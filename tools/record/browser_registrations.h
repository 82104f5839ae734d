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
  // Where its packages put the program; any one of them there means the
  // browser is installed.
  std::array<std::string_view, 3> programs;
};

// Every browser looks for a user's hosts in NativeMessagingHosts/ of its own
// folder; a channel of a browser has a folder of its own.
inline constexpr std::string_view kNativeHostsFolderName = "NativeMessagingHosts";
inline constexpr std::array<BrowserRegistration, 9> kBrowserRegistrations = {{
    {"Google Chrome",
     ConfigRoot::kChrome,
     "google-chrome",
     {"/usr/bin/google-chrome", "/usr/bin/google-chrome-stable", "/opt/google/chrome/chrome"}},
    {"Google Chrome Beta",
     ConfigRoot::kChrome,
     "google-chrome-beta",
     {"/usr/bin/google-chrome-beta", "/opt/google/chrome-beta/chrome", ""}},
    {"Google Chrome Unstable",
     ConfigRoot::kChrome,
     "google-chrome-unstable",
     {"/usr/bin/google-chrome-unstable", "/opt/google/chrome-unstable/chrome", ""}},
    {"Chromium",
     ConfigRoot::kChrome,
     "chromium",
     {"/usr/bin/chromium", "/usr/bin/chromium-browser", "/usr/lib/chromium/chromium"}},
    {"Brave",
     ConfigRoot::kXdg,
     "BraveSoftware/Brave-Browser",
     {"/usr/bin/brave-browser", "/usr/bin/brave-browser-stable", "/opt/brave.com/brave/brave"}},
    {"Microsoft Edge",
     ConfigRoot::kXdg,
     "microsoft-edge",
     {"/usr/bin/microsoft-edge", "/usr/bin/microsoft-edge-stable", "/opt/microsoft/msedge/msedge"}},
    {"Microsoft Edge Beta",
     ConfigRoot::kXdg,
     "microsoft-edge-beta",
     {"/usr/bin/microsoft-edge-beta", "/opt/microsoft/msedge-beta/msedge", ""}},
    {"Microsoft Edge Dev",
     ConfigRoot::kXdg,
     "microsoft-edge-dev",
     {"/usr/bin/microsoft-edge-dev", "/opt/microsoft/msedge-dev/msedge", ""}},
    {"Vivaldi",
     ConfigRoot::kXdg,
     "vivaldi",
     {"/usr/bin/vivaldi", "/usr/bin/vivaldi-stable", "/opt/vivaldi/vivaldi"}},
}};

// Whether one of the row's programs is installed. The tests point
// $VORN_TEST_BROWSER_PROGRAMS_ROOT (absolute) at a folder of their own
// that the program paths are looked up below, so that they do not depend
// on the browsers of the machine they run on.
bool browserInstalled(const BrowserRegistration& row);

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
// folders above it, the tools' folder and its extension folder, each
// browser's folders down to its NativeMessagingHosts and the manifest there.
// Folders below the extension folder are the bundle's, and are not listed.
std::set<std::filesystem::path> placesSetupMayMake();

std::string encodeCreatedRecord(const std::vector<std::filesystem::path>& made);

// The entries of a record that name a place in `allowed`, each once; every
// other entry adds a line to `refused`. Nothing when the text is no record.
std::optional<std::vector<std::filesystem::path>> decodeCreatedRecord(
    std::string_view text, const std::set<std::filesystem::path>& allowed, std::vector<std::string>& refused);

}  // namespace vorn::tools
