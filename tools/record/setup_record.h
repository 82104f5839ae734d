// The record of what setup made, which uninstall reads as untrusted input.
//
// A folder is kept with the folder it was made in (the deepest one that was
// there before) and its device and inode, so that uninstall removes only a
// folder on the way from there to what setup made, and only while it is still
// that folder. Entries are stored relative to that folder, which keeps the
// record small even below a very long home folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::tools {

struct MadeFolder {
  std::filesystem::path path;  // absolute and normal
  std::filesystem::path base;  // the folder it was made in that setup did not make
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

struct CreatedRecord {
  std::vector<MadeFolder> folders;                 // parents before children
  std::set<std::filesystem::path> extensionFiles;  // relative to the extension folder
  std::set<std::string> browsers;                  // rows' folders whose manifest setup wrote
  bool hostCopy = false;                           // a private copy of the host in the tools' folder
  // What an earlier version recorded: folders as bare paths, without what
  // they were made in or which folder they are.
  std::vector<std::filesystem::path> legacyFolders;
  bool legacy = false;
};

// What the environment allows a record to name.
struct RecordRules {
  std::filesystem::path home;                // normal
  std::vector<std::filesystem::path> roots;  // setupRoots()
  std::set<std::filesystem::path> places;    // placesSetupMayMake()
  std::filesystem::path extensionFolder;     // below which the bundle's folders lie
  // Whether setup could have made `folder`: one of its places, strictly below
  // the home folder or one of the roots, never the home folder or above it.
  [[nodiscard]] bool mayHaveMade(const std::filesystem::path& folder) const;
};
RecordRules currentRecordRules();

// Compact JSON; fails (ToolError) rather than give more than the reader takes.
std::string encodeRecord(const CreatedRecord& record);

// The entries that `rules` allow, each once; every other entry adds a line to
// `refused`. Nothing when the text is no record. Reads an earlier version's
// {"created":[…]} too.
std::optional<CreatedRecord> decodeRecord(std::string_view text, const RecordRules& rules,
                                          std::vector<std::string>& refused);

// Whether `path` lies strictly below `folder`, comparing whole components.
bool isStrictlyBelow(const std::filesystem::path& path, const std::filesystem::path& folder);

}  // namespace vorn::tools
