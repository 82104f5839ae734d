#include "setup_record.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "browser_registrations.h"
#include "platform/posix/posix_home.h"
#include "tool_support.h"

namespace vorn::tools {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr int kFormat = 2;

std::string shown(const json& entry) { return entry.dump(-1, ' ', false, json::error_handler_t::replace); }

// A relative path of plain names only: no "", ".", ".." or root to detour by.
bool plainRelative(const fs::path& path) {
  if (path.empty() || path.has_root_path()) return false;
  return std::all_of(path.begin(), path.end(),
                     [](const fs::path& part) { return !part.empty() && part != "." && part != ".."; });
}

bool normalAbsolute(const fs::path& path) {
  return path.is_absolute() && path.native() == normalFolder(path).native();
}

}  // namespace

bool isStrictlyBelow(const fs::path& path, const fs::path& folder) {
  auto [stop, inside] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return stop == folder.end() && inside != path.end();
}

bool RecordRules::mayHaveMade(const fs::path& folder) const {
  if (!places.contains(folder) && !isStrictlyBelow(folder, extensionFolder)) return false;
  if (!home.empty() && isStrictlyBelow(folder, home)) return true;
  return std::any_of(roots.begin(), roots.end(),
                     [&](const fs::path& root) { return isStrictlyBelow(folder, root); });
}

RecordRules currentRecordRules() {
  RecordRules rules;
  if (auto home = platform::posix::homeFolder()) rules.home = normalFolder(*home);
  rules.roots = setupRoots();
  rules.places = placesSetupMayMake();
  rules.extensionFolder = normalFolder(toolFolder()) / kExtensionFolderName;
  return rules;
}

std::string encodeRecord(const CreatedRecord& record) {
  json folders = json::object();
  for (const auto& folder : record.folders)
    folders[folder.base.string()].push_back(
        json::array({folder.path.lexically_relative(folder.base).string(), folder.device, folder.inode}));
  json files = json::array();
  for (const auto& file : record.extensionFiles) files.push_back(file.string());
  json text{{"format", kFormat},
            {"folders", folders},
            {"extension", files},
            {"browsers", record.browsers},
            {"host", record.hostCopy}};
  std::string bytes = text.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  if (bytes.size() > kCreatedRecordLimit)
    throw ToolError("the record of what setup made would be longer than the " +
                    std::to_string(kCreatedRecordLimit) +
                    " bytes that uninstall reads, so it is not written");
  return bytes;
}

namespace {

void decodeFolders(const json& groups, const RecordRules& rules, CreatedRecord& record,
                   std::vector<std::string>& refused) {
  std::set<fs::path> seen;
  for (const auto& [key, entries] : groups.items()) {
    const fs::path base = key;
    if (!entries.is_array()) {
      refused.push_back(shown(key) + " holds no list of folders");
      continue;
    }
    // The folders made in one group: each was made in the base or in one
    // made before it, which is how setup makes them.
    std::set<fs::path> group;
    for (const auto& entry : entries) {
      const bool shaped = entry.is_array() && entry.size() == 3 && entry[0].is_string() &&
                          entry[1].is_number_unsigned() && entry[2].is_number_unsigned();
      if (!shaped) {
        refused.push_back(shown(entry) + " is not a folder's entry");
        continue;
      }
      const fs::path relative = entry[0].get<std::string>();
      const fs::path path = base / relative;
      const bool onTheWay = path.parent_path() == base || group.contains(path.parent_path());
      // The first folder of a group lies in the base, and is below the home
      // folder or a root; so the base is at or below one of them too.
      if (!normalAbsolute(base) || !plainRelative(relative) || !onTheWay || !rules.mayHaveMade(path) ||
          seen.contains(path)) {
        refused.push_back(shown(key + "/" + entry[0].get<std::string>()) + " is not a place setup makes");
        continue;
      }
      group.insert(path);
      seen.insert(path);
      record.folders.push_back({path, base, entry[1].get<std::uint64_t>(), entry[2].get<std::uint64_t>()});
    }
  }
}

std::optional<CreatedRecord> decodeLegacy(const json& created, const RecordRules& rules,
                                          std::vector<std::string>& refused) {
  CreatedRecord record;
  record.legacy = true;
  const std::string manifest = std::string(kNativeHostName) + ".json";
  const auto places = browserPlaces();
  std::set<fs::path> seen;
  for (const auto& entry : created) {
    if (!entry.is_string()) {
      refused.push_back(shown(entry) + " is not a path");
      continue;
    }
    const fs::path path = entry.get<std::string>();
    const auto place =
        std::find_if(places.begin(), places.end(), [&](const auto& p) { return p.manifest == path; });
    if (path.filename() == manifest && place != places.end()) {
      record.browsers.insert(std::string(place->row->folder));
      continue;
    }
    // Compared as paths, and only in their one normal spelling: "a/b/" or
    // "a/./b" would let a record name a place by a detour.
    if (!normalAbsolute(path) || !rules.places.contains(path) || !rules.mayHaveMade(path) ||
        seen.contains(path)) {
      refused.push_back(shown(entry) + " is not a place setup makes");
      continue;
    }
    seen.insert(path);
    record.legacyFolders.push_back(path);
  }
  return record;
}

}  // namespace

std::optional<CreatedRecord> decodeRecord(std::string_view text, const RecordRules& rules,
                                          std::vector<std::string>& refused) {
  const auto root = json::parse(text, nullptr, false);
  if (!root.is_object()) return std::nullopt;
  if (!root.contains("format")) {
    if (!root.contains("created") || !root["created"].is_array()) return std::nullopt;
    return decodeLegacy(root["created"], rules, refused);
  }
  if (root["format"] != kFormat || !root.contains("folders") || !root["folders"].is_object())
    return std::nullopt;
  CreatedRecord record;
  decodeFolders(root["folders"], rules, record, refused);
  if (root.contains("extension") && root["extension"].is_array()) {
    for (const auto& entry : root["extension"]) {
      if (entry.is_string() && plainRelative(entry.get<std::string>())) {
        record.extensionFiles.insert(entry.get<std::string>());
      } else {
        refused.push_back(shown(entry) + " is not a file of the extension");
      }
    }
  }
  if (root.contains("browsers") && root["browsers"].is_array()) {
    for (const auto& entry : root["browsers"]) {
      const bool known =
          entry.is_string() && std::any_of(kBrowserRegistrations.begin(), kBrowserRegistrations.end(),
                                           [&](const auto& row) { return row.folder == entry; });
      if (known) {
        record.browsers.insert(entry.get<std::string>());
      } else {
        refused.push_back(shown(entry) + " is not a browser setup registers with");
      }
    }
  }
  record.hostCopy = root.value("host", false) == true;
  return record;
}

}  // namespace vorn::tools
