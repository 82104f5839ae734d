// The updater. In setup mode it puts the bundle's browser extension into the
// folder that the browser loads it from, registers the bundle's native
// messaging host with each Chromium-family browser it can, picks a token for
// this setup and reports {"folder":…,"token":…,"version":…} on standard output.
// In uninstall mode it removes what setup mode made, and nothing else.
//
// Below the user's data and config folders it works by descriptor and never
// follows a symbolic link, so it writes nothing into, and removes nothing
// from, a place a link points to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "browser_registrations.h"
#include "platform/posix/posix_fd.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using vorn::platform::posix::UniqueFd;
using vorn::tools::ToolError;

constexpr std::string_view kVersion = VORN_VERSION;
constexpr std::string_view kUsage = "usage: vorn-updater --setup | --uninstall\n";

std::string hostManifestName() { return std::string(vorn::tools::kNativeHostName) + ".json"; }

// A path that may not be valid UTF-8, fit for one line of a message.
std::string printable(const fs::path& path) {
  return nlohmann::json(path.string()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The folder this executable lies in: Contents/MacOS of its bundle.
fs::path ownFolder() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) throw ToolError("cannot find the updater's own executable: " + error.message());
  return self.parent_path();
}

std::string readWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string rootFailure(const fs::path& root, int error) {
  if (error == ELOOP)
    return root.string() + ", or a folder on the way to it, is a symbolic link that leads nowhere";
  if (error == ENOTDIR)
    return root.string() + ", or a folder on the way to it, is a file where a folder should be";
  return root.string() + ": " + std::strerror(error);
}

UniqueFd openRoot(const fs::path& root, bool make, std::vector<fs::path>* made) {
  const int fd = vorn::tools::openRootFolder(root, make, made);
  if (fd < 0) throw ToolError(rootFailure(root, -fd));
  return UniqueFd(fd);
}

UniqueFd openChild(int parent, const fs::path& parentPath, const std::string& name,
                   std::vector<fs::path>* made) {
  const int fd = vorn::tools::openFolderAt(parent, parentPath, name, true, made);
  if (fd < 0) throw ToolError(vorn::tools::describeFailure(parent, parentPath / name, -fd));
  return UniqueFd(fd);
}

// A path that setup is about to write: missing is fine, a link never.
void refuseLink(const fs::path& path, bool folder) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return;
    throw ToolError("cannot look at " + path.string() + ": " + std::strerror(errno));
  }
  if (S_ISLNK(status.st_mode))
    throw ToolError(
        path.string() +
        " is a symbolic link; setup writes nothing through links: move it aside and run setup again");
  if (folder && !S_ISDIR(status.st_mode))
    throw ToolError(path.string() + " is a file where a folder should be");
  if (!folder && S_ISDIR(status.st_mode))
    throw ToolError(path.string() + " is a folder where a file should be");
}

struct BundleEntry {
  fs::path relative;
  bool folder = false;
  std::string bytes;
};

// Everything setup is going to write, known to be right before it writes.
struct Plan {
  fs::path host;
  std::vector<BundleEntry> extension;
  fs::path dataRoot;
  fs::path tool;
  fs::path extensionFolder;
  std::vector<fs::path> made;  // what earlier setups made, from their record
};

std::vector<fs::path> earlierRecord(const Plan& plan) {
  const int data = vorn::tools::openRootFolder(plan.dataRoot, false, nullptr);
  if (data < 0) return {};
  const UniqueFd dataFd(data);
  const int tool =
      vorn::tools::openFolderAt(dataFd.get(), plan.dataRoot, plan.tool.filename().string(), false, nullptr);
  if (tool < 0) return {};
  const UniqueFd toolFd(tool);
  const std::string name(vorn::tools::kCreatedRecordFileName);
  std::vector<std::string> refused;
  std::optional<std::vector<fs::path>> made;
  try {
    if (auto text =
            vorn::tools::readSmallFileAt(toolFd.get(), plan.tool, name, vorn::tools::kCreatedRecordLimit))
      made = vorn::tools::decodeCreatedRecord(*text, vorn::tools::placesSetupMayMake(), refused);
    else
      return {};
  } catch (const ToolError& failure) {
    refused.emplace_back(failure.what());
  }
  if (!made) refused.emplace_back("it is not a record of what setup made");
  for (const auto& why : refused)
    std::cerr << "vorn-updater: ignored in " << (plan.tool / name).string() << ": " << why << '\n';
  return made.value_or(std::vector<fs::path>{});
}

Plan validate() {
  Plan plan;
  const fs::path own = ownFolder();
  const fs::path bundled = own.parent_path() / "Resources" / "extension";
  if (!fs::is_regular_file(bundled / "manifest.json"))
    throw ToolError("the bundle holds no browser extension: " + printable(bundled / "manifest.json") +
                    " is missing");
  plan.host = own / vorn::tools::kNativeHostExecutable;
  if (::access(plan.host.c_str(), X_OK) != 0 || !fs::is_regular_file(plan.host))
    throw ToolError("the bundle holds no native messaging host: " + printable(plan.host) + " is missing");
  // The host's path goes into each browser's manifest, which is JSON.
  if (!vorn::tools::isUtf8(own.string()))
    throw ToolError("the bundle lies at a path that is not valid UTF-8 text, which browsers cannot read: " +
                    printable(own) + "; move it to a folder whose name is plain text and run setup again");
  std::error_code error;
  for (fs::recursive_directory_iterator entry(bundled, error), end; !error && entry != end;
       entry.increment(error)) {
    const fs::path relative = entry->path().lexically_relative(bundled);
    if (entry->is_directory()) {
      plan.extension.push_back({relative, true, {}});
    } else if (entry->is_regular_file()) {
      plan.extension.push_back({relative, false, readWhole(entry->path())});
    }
  }
  if (error) throw ToolError("cannot read " + printable(bundled) + ": " + error.message());

  plan.dataRoot = vorn::tools::normalFolder(vorn::tools::userDataFolder());
  plan.tool = plan.dataRoot / vorn::tools::kDataFolderName;
  plan.extensionFolder = plan.tool / vorn::tools::kExtensionFolderName;
  if (!vorn::tools::isUtf8(plan.tool.string()))
    throw ToolError("the data folder " + printable(plan.tool) +
                    " is not valid UTF-8 text, which the setup's record cannot hold");
  refuseLink(plan.tool, true);
  refuseLink(plan.extensionFolder, true);
  for (const auto& entry : plan.extension) refuseLink(plan.extensionFolder / entry.relative, entry.folder);
  for (const std::string_view file : {vorn::tools::kLastSetupFileName, vorn::tools::kCreatedRecordFileName})
    refuseLink(plan.tool / file, false);
  plan.made = earlierRecord(plan);
  return plan;
}

// Every file of the bundle's extension, written afresh into the folder; files
// there that the bundle does not have stay as they are.
void copyExtension(const Plan& plan, int tool) {
  std::map<fs::path, UniqueFd> folders;
  folders[fs::path()] = openChild(tool, plan.tool, std::string(vorn::tools::kExtensionFolderName), nullptr);
  for (const auto& entry : plan.extension) {
    const int parent = folders.at(entry.relative.parent_path()).get();
    const fs::path parentPath = plan.extensionFolder / entry.relative.parent_path();
    const std::string name = entry.relative.filename().string();
    if (entry.folder) {
      folders[entry.relative] = openChild(parent, parentPath, name, nullptr);
    } else {
      vorn::tools::writeFileAtomicallyAt(parent, parentPath, name, entry.bytes);
    }
  }
}

// The manifest that lets each browser start the host for the extension
// alone, written where the browser looks. A browser whose folder setup may
// not change is skipped with one line; returns how many were registered.
int registerHost(const Plan& plan, std::vector<fs::path>& made) {
  const std::string manifest =
      nlohmann::json{{"name", vorn::tools::kNativeHostName},
                     {"description", "Confirms a Vorn Preview setup for its browser extension."},
                     {"path", plan.host.string()},
                     {"type", "stdio"},
                     {"allowed_origins", {vorn::tools::kExtensionOrigin}}}
          .dump(2) +
      "\n";
  std::map<fs::path, UniqueFd> roots;
  std::map<fs::path, std::string> brokenRoots;
  int registered = 0;
  for (const auto& place : vorn::tools::browserPlaces()) {
    try {
      if (!vorn::tools::isUtf8(place.manifest.string()))
        throw ToolError(printable(place.hosts) +
                        " is not valid UTF-8 text, which the setup's record cannot hold");
      if (const auto broken = brokenRoots.find(place.root); broken != brokenRoots.end())
        throw ToolError(broken->second);
      if (!roots.contains(place.root)) {
        try {
          roots[place.root] = openRoot(place.root, true, &made);
        } catch (const ToolError& failure) {
          brokenRoots[place.root] = failure.what();
          throw;
        }
      }
      UniqueFd folder;
      int fd = roots.at(place.root).get();
      fs::path path = place.root;
      for (const auto& part : fs::path(place.row->folder) / vorn::tools::kNativeHostsFolderName) {
        folder = openChild(fd, path, part.string(), &made);
        fd = folder.get();
        path /= part;
      }
      vorn::tools::writeFileAtomicallyAt(fd, path, hostManifestName(), manifest);
      made.push_back(place.manifest);
      ++registered;
    } catch (const ToolError& failure) {
      std::cerr << "vorn-updater: not registered with " << place.row->browser << ": " << failure.what()
                << '\n';
    }
  }
  return registered;
}

// Keeps what setups made and is still there, each once, for uninstall.
void saveRecord(int tool, const fs::path& toolPath, const std::vector<fs::path>& made) {
  std::vector<fs::path> kept;
  for (const auto& path : made) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && std::find(kept.begin(), kept.end(), path) == kept.end())
      kept.push_back(path);
  }
  vorn::tools::writeFileAtomicallyAt(tool, toolPath, std::string(vorn::tools::kCreatedRecordFileName),
                                     vorn::tools::encodeCreatedRecord(kept));
}

vorn::tools::Setup setUp() {
  Plan plan = validate();
  std::vector<fs::path> made = plan.made;
  const UniqueFd data = openRoot(plan.dataRoot, true, &made);
  const UniqueFd tool = openChild(data.get(), plan.dataRoot, plan.tool.filename().string(), &made);
  int registered = 0;
  try {
    copyExtension(plan, tool.get());
    registered = registerHost(plan, made);
  } catch (const ToolError&) {
    saveRecord(tool.get(), plan.tool, made);
    throw;
  }
  saveRecord(tool.get(), plan.tool, made);
  if (registered == 0) throw ToolError("no browser could be registered; see the lines above");
  vorn::tools::Setup setup{plan.extensionFolder.string(), vorn::tools::randomToken(), std::string(kVersion)};
  vorn::tools::writeFileAtomicallyAt(tool.get(), plan.tool, std::string(vorn::tools::kLastSetupFileName),
                                     vorn::tools::encodeSetup(setup) + "\n");
  return setup;
}

// Whether `path` lies below `folder`, comparing whole components.
bool isBelow(const fs::path& path, const fs::path& folder) {
  auto [stop, inside] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
  return stop == folder.end() && inside != path.end();
}

class Uninstall {
 public:
  int run();

 private:
  void fail(const std::string& why) { failures_.push_back(why); }
  // Opens the folder `path` lies in the way setup reached it: the root with
  // its links, below it never through one. Invalid when nothing of setup's
  // can be there.
  UniqueFd parentOf(const fs::path& path, bool quiet);
  void remove(const fs::path& path, bool folder, bool quiet);

  std::vector<std::string> failures_;
  std::vector<fs::path> roots_ = vorn::tools::setupRoots();
};

UniqueFd parentFailed(std::vector<std::string>& failures, const std::string& why, bool quiet) {
  if (!quiet) failures.push_back(why);
  return {};
}

UniqueFd Uninstall::parentOf(const fs::path& path, bool quiet) {
  fs::path base;
  for (const auto& root : roots_) {
    if (isBelow(path, root) &&
        std::distance(root.begin(), root.end()) > std::distance(base.begin(), base.end()))
      base = root;
  }
  const fs::path parentPath = path.parent_path();
  if (base.empty()) {
    // A root, or a folder above one, that setup made.
    UniqueFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.valid() && errno != ENOENT && errno != ENOTDIR)
      return parentFailed(failures_, "cannot remove " + rootFailure(path, errno), quiet);
    return parent;
  }
  const int root = vorn::tools::openRootFolder(base, false, nullptr);
  if (root < 0)
    return -root == ENOENT ? UniqueFd()
                           : parentFailed(failures_, "cannot remove " + rootFailure(base, -root), quiet);
  UniqueFd folder(root);
  fs::path at = base;
  for (const auto& part : parentPath.lexically_relative(base)) {
    if (part == ".") break;
    const int child = vorn::tools::openFolderAt(folder.get(), at, part.string(), false, nullptr);
    // Missing, or a link or file now: nothing of setup's is behind it.
    if (child == -ENOENT || child == -ELOOP || child == -ENOTDIR) return {};
    if (child < 0)
      return parentFailed(
          failures_, "cannot remove " + vorn::tools::describeFailure(folder.get(), at / part, -child), quiet);
    folder = UniqueFd(child);
    at /= part;
  }
  return folder;
}

void Uninstall::remove(const fs::path& path, bool folder, bool quiet) {
  const UniqueFd parent = parentOf(path, quiet);
  if (!parent.valid()) return;
  const std::string name = path.filename().string();
  struct stat status {};
  if (::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  // Setup made a real folder or a regular file; anything else there now is not its.
  if (folder ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) return;
  if (::unlinkat(parent.get(), name.c_str(), folder ? AT_REMOVEDIR : 0) == 0) return;
  // A folder that others' files are in now stays.
  if (errno == ENOENT || (folder && (errno == ENOTEMPTY || errno == EEXIST))) return;
  fail("cannot remove " + vorn::tools::describeFailure(parent.get(), path, errno));
}

int Uninstall::run() {
  const fs::path dataRoot = vorn::tools::normalFolder(vorn::tools::userDataFolder());
  const fs::path toolPath = dataRoot / vorn::tools::kDataFolderName;
  const std::string recordName(vorn::tools::kCreatedRecordFileName);
  UniqueFd tool;
  if (const int data = vorn::tools::openRootFolder(dataRoot, false, nullptr); data >= 0) {
    const UniqueFd dataFd(data);
    const int fd =
        vorn::tools::openFolderAt(dataFd.get(), dataRoot, toolPath.filename().string(), false, nullptr);
    // A link in place of the tools' folder is not setup's: nothing behind it is touched.
    if (fd >= 0) {
      tool = UniqueFd(fd);
    } else if (fd != -ENOENT && fd != -ELOOP && fd != -ENOTDIR) {
      fail("cannot remove " + vorn::tools::describeFailure(dataFd.get(), toolPath, -fd));
    }
  }

  std::optional<std::vector<fs::path>> recorded;
  if (tool.valid()) {
    std::vector<std::string> refused;
    try {
      if (auto text = vorn::tools::readSmallFileAt(tool.get(), toolPath, recordName,
                                                   vorn::tools::kCreatedRecordLimit)) {
        recorded = vorn::tools::decodeCreatedRecord(*text, vorn::tools::placesSetupMayMake(), refused);
        if (!recorded) refused.emplace_back("it is not a record of what setup made");
      }
    } catch (const ToolError& failure) {
      refused.emplace_back(failure.what());
    }
    for (const auto& why : refused) fail("ignored in " + (toolPath / recordName).string() + ": " + why);
  }
  // Without a usable record, the manifests are still known by their name;
  // no folder is, so none is removed.
  const bool known = recorded.has_value();
  std::vector<fs::path> entries;
  if (known) {
    entries = *recorded;
  } else {
    for (const auto& place : vorn::tools::browserPlaces()) entries.push_back(place.manifest);
  }
  const std::string manifest = hostManifestName();
  for (const auto& entry : entries) {
    if (entry.filename() == manifest) remove(entry, false, !known);
  }

  if (tool.valid()) {
    const std::string extension(vorn::tools::kExtensionFolderName);
    struct stat status {};
    if (::fstatat(tool.get(), extension.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode))
      vorn::tools::removeTreeAt(tool.get(), toolPath, extension, failures_);
    for (const std::string& name :
         {std::string(vorn::tools::kLastSetupFileName), std::string(vorn::kReceiptFileName)}) {
      if (::unlinkat(tool.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        fail("cannot remove " + vorn::tools::describeFailure(tool.get(), toolPath / name, errno));
    }
    // The record goes last but for the folders; while anything failed it
    // stays, so that those folders are not empty and the next run can retry.
    if (failures_.empty() && ::unlinkat(tool.get(), recordName.c_str(), 0) != 0 && errno != ENOENT)
      fail("cannot remove " + vorn::tools::describeFailure(tool.get(), toolPath / recordName, errno));
  }

  std::vector<fs::path> folders;
  for (const auto& entry : entries) {
    if (entry.filename() != manifest) folders.push_back(entry);
  }
  // The deepest first, so that a folder is empty of setup's own when its turn comes.
  std::stable_sort(folders.begin(), folders.end(), [](const fs::path& a, const fs::path& b) {
    return std::distance(a.begin(), a.end()) > std::distance(b.begin(), b.end());
  });
  for (const auto& folder : folders) remove(folder, true, false);
  // What could not go stays recorded, for the next uninstall to try again,
  // unless the tools' folder itself is gone.
  struct stat toolStatus {};
  if (!failures_.empty() && known && tool.valid() && ::fstat(tool.get(), &toolStatus) == 0 &&
      toolStatus.st_nlink > 0) {
    try {
      saveRecord(tool.get(), toolPath, entries);
    } catch (const ToolError& failure) {
      fail(failure.what());
    }
  }
  // The tools' own folder, when no record says more, goes once it is empty.
  if (!known) remove(toolPath, true, true);

  for (const auto& why : failures_) std::cerr << "vorn-updater: " << why << '\n';
  return failures_.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc == 2 ? argv[1] : "";
  if (mode != "--setup" && mode != "--uninstall") {
    std::cerr << kUsage;
    return 2;
  }
  try {
    if (mode == "--uninstall") return Uninstall().run();
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
