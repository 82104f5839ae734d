#include "browser_registrations.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "tool_support.h"

namespace vorn::tools {

namespace fs = std::filesystem;

fs::path chromeConfigFolder() {
  // Relative values would depend on the browser's working folder; like the
  // base directory rules, they are ignored.
  if (auto chrome = absoluteEnvironmentFolder("CHROME_CONFIG_HOME")) return *chrome;
  return normalFolder(userConfigFolder());
}

bool browserInstalled(const BrowserRegistration& row) {
  fs::path under;
  if (const char* root = std::getenv("VORN_TEST_BROWSER_PROGRAMS_ROOT"); root != nullptr && root[0] == '/')
    under = root;
  return std::any_of(row.programs.begin(), row.programs.end(), [&](std::string_view program) {
    return !program.empty() && ::access((under.string() + std::string(program)).c_str(), X_OK) == 0;
  });
}

std::vector<BrowserPlace> browserPlaces() {
  const fs::path config = normalFolder(userConfigFolder());
  const fs::path chrome = chromeConfigFolder();
  const std::string manifest = std::string(kNativeHostName) + ".json";
  std::vector<BrowserPlace> places;
  for (const auto& row : kBrowserRegistrations) {
    const fs::path& root = row.root == ConfigRoot::kChrome ? chrome : config;
    const fs::path hosts = root / row.folder / kNativeHostsFolderName;
    places.push_back({&row, root, hosts, hosts / manifest});
  }
  return places;
}

std::vector<fs::path> setupRoots() {
  std::vector<fs::path> roots = {normalFolder(userDataFolder()), normalFolder(userConfigFolder()),
                                 chromeConfigFolder()};
  std::sort(roots.begin(), roots.end());
  roots.erase(std::unique(roots.begin(), roots.end()), roots.end());
  return roots;
}

std::set<fs::path> placesSetupMayMake() {
  std::set<fs::path> places;
  for (const fs::path& root : setupRoots()) {
    for (fs::path above = root; above.has_relative_path(); above = above.parent_path()) places.insert(above);
  }
  places.insert(normalFolder(toolFolder()));
  places.insert(normalFolder(toolFolder()) / kExtensionFolderName);
  for (const BrowserPlace& place : browserPlaces()) {
    fs::path folder = place.root;
    for (const auto& part : fs::path(place.row->folder) / kNativeHostsFolderName)
      places.insert(folder /= part);
    places.insert(place.manifest);
  }
  return places;
}

std::string encodeCreatedRecord(const std::vector<fs::path>& made) {
  nlohmann::json paths = nlohmann::json::array();
  for (const auto& path : made) paths.push_back(path.string());
  return nlohmann::json{{"created", paths}}.dump(1) + "\n";
}

std::optional<std::vector<fs::path>> decodeCreatedRecord(std::string_view text,
                                                         const std::set<fs::path>& allowed,
                                                         std::vector<std::string>& refused) {
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object() || !json.contains("created") || !json["created"].is_array()) return std::nullopt;
  std::vector<fs::path> made;
  for (const auto& entry : json["created"]) {
    if (!entry.is_string()) {
      refused.push_back(entry.dump() + " is not a path");
      continue;
    }
    const fs::path path = entry.get<std::string>();
    // Compared as paths, and only in their one normal spelling: "a/b/" or
    // "a/./b" would let a record name a place by a detour.
    if (!path.is_absolute() || path.native() != normalFolder(path).native() || !allowed.contains(path)) {
      refused.push_back(entry.dump() + " is not a place setup makes");
      continue;
    }
    if (std::find(made.begin(), made.end(), path) == made.end()) made.push_back(path);
  }
  return made;
}

}  // namespace vorn::tools
