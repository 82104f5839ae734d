// The updater. In setup mode it puts the bundle's browser extension into the
// folder that the browser loads it from, registers the bundle's native
// messaging host with each Chromium-family browser it can, picks a token for
// this setup and reports {"folder":…,"token":…,"version":…} on standard output.
// In uninstall mode it removes what setup mode made, and nothing else.
//
// Below the user's data and config folders it works by descriptor and never
// follows a symbolic link, so it writes nothing into, and removes nothing
// from, a place a link points to.
#include <dirent.h>
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
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "browser_registrations.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_home.h"
#include "platform/posix/posix_place.h"
#include "setup_record.h"
#include "setup_safety.h"
#include "tool_support.h"

namespace {

namespace fs = std::filesystem;
using vorn::platform::posix::UniqueFd;
using vorn::tools::ToolError;

constexpr std::string_view kUsage = "usage: vorn-updater --setup | --uninstall | --version\n";

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

std::ptrdiff_t depth(const fs::path& path) { return std::distance(path.begin(), path.end()); }

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
  return root.string() + ": " + vorn::tools::describeError(error);
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

// The bundle's extension, folders before what is in them; files' bytes only
// when `withBytes`.
std::vector<BundleEntry> bundledExtension(const fs::path& bundled, bool withBytes) {
  std::vector<BundleEntry> entries;
  std::error_code error;
  for (fs::recursive_directory_iterator entry(bundled, error), end; !error && entry != end;
       entry.increment(error)) {
    const fs::path relative = entry->path().lexically_relative(bundled);
    if (entry->is_directory()) {
      entries.push_back({relative, true, {}});
    } else if (entry->is_regular_file()) {
      entries.push_back({relative, false, withBytes ? readWhole(entry->path()) : std::string()});
    }
  }
  if (error) throw ToolError("cannot read " + printable(bundled) + ": " + error.message());
  return entries;
}

fs::path bundledExtensionFolder() { return ownFolder().parent_path() / "Resources" / "extension"; }

// Everything setup is going to write, known to be right before it writes.
struct Plan {
  fs::path host;                   // the bundle's, by its real path
  std::optional<std::string> why;  // why another user could replace it
  std::string hostBytes;           // for a private copy, when `why`
  std::vector<BundleEntry> extension;
  fs::path home;
  fs::path dataRoot;
  fs::path tool;
  fs::path extensionFolder;
  vorn::tools::CreatedRecord earlier;  // what earlier setups made, from their record
};

// The tools' folder when it is there as a real folder; invalid otherwise.
UniqueFd openToolFolder(const fs::path& dataRoot, const fs::path& tool) {
  const int data = vorn::tools::openRootFolder(dataRoot, false, nullptr);
  if (data < 0) return {};
  const UniqueFd dataFd(data);
  const int fd = vorn::tools::openFolderAt(dataFd.get(), dataRoot, tool.filename().string(), false, nullptr);
  return fd < 0 ? UniqueFd() : UniqueFd(fd);
}

// The record in the tools' folder, read as untrusted; each entry refused and
// each reason it is ignored is a line in `refused`.
std::optional<vorn::tools::CreatedRecord> readRecord(int tool, const fs::path& toolPath,
                                                     std::vector<std::string>& refused) {
  const std::string name(vorn::tools::kCreatedRecordFileName);
  std::vector<std::string> why;
  std::optional<vorn::tools::CreatedRecord> record;
  try {
    if (auto text = vorn::tools::readSmallFileAt(tool, toolPath, name, vorn::tools::kCreatedRecordLimit)) {
      record = vorn::tools::decodeRecord(*text, vorn::tools::currentRecordRules(), why);
      if (!record) why.emplace_back("it is not a record of what setup made");
    }
  } catch (const ToolError& failure) {
    why.emplace_back(failure.what());
  }
  for (const auto& each : why) refused.push_back("ignored in " + printable(toolPath / name) + ": " + each);
  return record;
}

struct Identity {
  std::uint64_t device;
  std::uint64_t inode;
};
std::optional<Identity> folderIdentity(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
  return Identity{status.st_dev, status.st_ino};
}

// What earlier setups made and is still theirs; an earlier version's record
// becomes this one's, each folder with the one it was made in.
vorn::tools::CreatedRecord stillMade(vorn::tools::CreatedRecord earlier) {
  std::vector<vorn::tools::MadeFolder> kept;
  for (const auto& folder : earlier.folders) {
    const auto now = folderIdentity(folder.path);
    if (now && now->device == folder.device && now->inode == folder.inode) kept.push_back(folder);
  }
  std::sort(earlier.legacyFolders.begin(), earlier.legacyFolders.end(),
            [](const fs::path& a, const fs::path& b) { return depth(a) < depth(b); });
  for (const auto& path : earlier.legacyFolders) {
    const auto now = folderIdentity(path);
    if (!now) continue;
    const auto parent =
        std::find_if(kept.begin(), kept.end(), [&](const auto& f) { return f.path == path.parent_path(); });
    kept.push_back({path, parent == kept.end() ? path.parent_path() : parent->base, now->device, now->inode});
  }
  earlier.folders = std::move(kept);
  earlier.legacyFolders.clear();
  earlier.legacy = false;
  return earlier;
}

Plan validate() {
  Plan plan;
  const fs::path own = ownFolder();
  const fs::path bundled = bundledExtensionFolder();
  if (!fs::is_regular_file(bundled / "manifest.json"))
    throw ToolError("the bundle holds no browser extension: " + printable(bundled / "manifest.json") +
                    " is missing");
  const fs::path host = own / vorn::tools::kNativeHostExecutable;
  if (::access(host.c_str(), X_OK) != 0 || !fs::is_regular_file(host))
    throw ToolError("the bundle holds no native messaging host: " + printable(host) + " is missing");
  std::error_code error;
  plan.host = fs::canonical(host, error);
  if (error)
    throw ToolError("cannot find the native messaging host " + printable(host) + ": " + error.message());
  // The host's path goes into each browser's manifest, which is JSON.
  if (!vorn::tools::isUtf8(plan.host.string()))
    throw ToolError("the bundle lies at a path that is not valid UTF-8 text, which browsers cannot read: " +
                    printable(own) + "; move it to a folder whose name is plain text and run setup again");
  plan.why = vorn::tools::whyOthersCouldReplace(plan.host);
  if (plan.why) plan.hostBytes = readWhole(plan.host);
  plan.extension = bundledExtension(bundled, true);

  if (auto home = vorn::platform::posix::homeFolder()) plan.home = vorn::tools::normalFolder(*home);
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
  if (plan.why) refuseLink(plan.tool / vorn::tools::kNativeHostExecutable, false);
  if (const UniqueFd tool = openToolFolder(plan.dataRoot, plan.tool); tool.valid()) {
    std::vector<std::string> refused;
    if (auto record = readRecord(tool.get(), plan.tool, refused))
      plan.earlier = stillMade(std::move(*record));
    for (const auto& line : refused) std::cerr << "vorn-updater: " << vorn::tools::oneLine(line) << '\n';
  }
  return plan;
}

// Makes folders for setup and keeps the record of them up to date: saved as
// soon as the tools' folder is there, and again after each group of folders
// and before each file that the record names, so that an end at any point
// leaves nothing made that the record does not hold.
class Maker {
 public:
  Maker(vorn::tools::CreatedRecord record, fs::path home, vorn::tools::HeldSignals& signals)
      : record_(std::move(record)), home_(std::move(home)), signals_(signals) {}

  vorn::tools::CreatedRecord& record() { return record_; }

  // Between steps: a signal that asks to stop ends setup here.
  void step() {
    if (const int signal = signals_.arrived()) throw vorn::tools::Stopped{signal};
  }

  // Opens `root` with the links in it followed (it is the user's choice),
  // making its missing folders, 0700 as the base directory rules ask, only
  // inside the home folder.
  UniqueFd root(const fs::path& root) {
    fs::path existing = root;
    std::vector<std::string> missing;
    UniqueFd folder;
    for (;;) {
      folder = UniqueFd(::open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (folder.valid()) break;
      if (errno != ENOENT || !existing.has_relative_path()) throw ToolError(rootFailure(root, errno));
      if (home_.empty() || !vorn::tools::isStrictlyBelow(existing, home_))
        throw ToolError(printable(existing) +
                        " is missing, and setup makes missing folders only inside the home folder " +
                        printable(home_));
      missing.push_back(existing.filename().string());
      existing = existing.parent_path();
    }
    for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
      folder = child(folder.get(), existing, *name, 0700);
      existing /= *name;
    }
    const int fd = vorn::tools::openRootFolder(root, false, nullptr);
    if (fd < 0) throw ToolError(rootFailure(root, -fd));
    return UniqueFd(fd);
  }

  // Opens the real folder `name` in `parent`, making it with `mode` (the
  // umask applies) when it is missing.
  UniqueFd child(int parent, const fs::path& parentFolder, const std::string& name, mode_t mode) {
    const fs::path parentPath = vorn::tools::normalFolder(parentFolder);
    const fs::path path = parentPath / name;
    int fd = vorn::tools::openFolderAt(parent, parentPath, name, false, nullptr);
    bool made = false;
    if (fd == -ENOENT) {
      if (::mkdirat(parent, name.c_str(), mode) == 0) {
        made = true;
      } else if (errno != EEXIST) {
        throw ToolError(vorn::tools::describeFailure(parent, path, errno));
      }
      fd = vorn::tools::openFolderAt(parent, parentPath, name, false, nullptr);
    }
    if (fd < 0) throw ToolError(vorn::tools::describeFailure(parent, path, -fd));
    UniqueFd folder(fd);
    struct stat status {};
    if (made && ::fstat(folder.get(), &status) == 0) {
      const auto in = std::find_if(record_.folders.begin(), record_.folders.end(),
                                   [&](const auto& f) { return f.path == parentPath; });
      record_.folders.push_back(
          {path, in == record_.folders.end() ? parentPath : in->base, status.st_dev, status.st_ino});
      unsaved_ = true;
    }
    return folder;
  }

  // From now on the record is saved in the tools' folder.
  void keepIn(int tool, fs::path toolPath) {
    tool_ = tool;
    toolPath_ = std::move(toolPath);
    unsaved_ = true;
    save();
  }

  void save() {
    if (tool_ < 0 || !unsaved_) return;
    vorn::tools::writeFileAtomicallyAt(tool_, toolPath_, std::string(vorn::tools::kCreatedRecordFileName),
                                       vorn::tools::encodeRecord(record_));
    unsaved_ = false;
  }
  void changed() { unsaved_ = true; }

 private:
  vorn::tools::CreatedRecord record_;
  fs::path home_;
  vorn::tools::HeldSignals& signals_;
  int tool_ = -1;
  fs::path toolPath_;
  bool unsaved_ = false;
};

std::set<std::string> fileNamesIn(const std::vector<BundleEntry>& entries, const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : entries) {
    if (!entry.folder && entry.relative.parent_path() == folder)
      names.insert(entry.relative.filename().string());
  }
  return names;
}

// Every file of the bundle's extension, written afresh into the folder; files
// there that the bundle does not have stay as they are.
void copyExtension(const Plan& plan, int tool, Maker& maker) {
  for (const auto& entry : plan.extension) {
    if (!entry.folder) maker.record().extensionFiles.insert(entry.relative);
  }
  maker.changed();
  std::map<fs::path, UniqueFd> folders;
  folders[fs::path()] = maker.child(tool, plan.tool, std::string(vorn::tools::kExtensionFolderName), 0755);
  maker.save();
  vorn::tools::sweepTemporaries(folders[fs::path()].get(), fileNamesIn(plan.extension, {}));
  for (const auto& entry : plan.extension) {
    maker.step();
    const int parent = folders.at(entry.relative.parent_path()).get();
    const fs::path parentPath = plan.extensionFolder / entry.relative.parent_path();
    const std::string name = entry.relative.filename().string();
    if (entry.folder) {
      folders[entry.relative] = maker.child(parent, parentPath, name, 0755);
      maker.save();
      vorn::tools::sweepTemporaries(folders[entry.relative].get(),
                                    fileNamesIn(plan.extension, entry.relative));
    } else {
      vorn::tools::writeFileAtomicallyAt(parent, parentPath, name, entry.bytes);
    }
  }
}

// Whether the browser's own folder is there, in any shape: then it is the
// browser's to have made, and setup registers with it (or says why not).
bool folderThere(const vorn::tools::BrowserPlace& place) {
  struct stat status {};
  return ::lstat((place.root / place.row->folder).c_str(), &status) == 0;
}

// The manifest that lets each browser start the host for the extension
// alone, written where the browser looks, for each browser that is installed
// or has its folder. A browser whose folder setup may not change is skipped
// with one line; returns how many were tried and how many registered.
std::pair<int, int> registerHost(const fs::path& host, Maker& maker) {
  const std::string manifest =
      nlohmann::json{{"name", vorn::tools::kNativeHostName},
                     {"description", "Confirms a Vorn Preview setup for its browser extension."},
                     {"path", host.string()},
                     {"type", "stdio"},
                     {"allowed_origins", {vorn::tools::kExtensionOrigin}}}
          .dump(2) +
      "\n";
  std::map<fs::path, UniqueFd> roots;
  std::map<fs::path, std::string> brokenRoots;
  std::vector<std::string> later;
  int tried = 0;
  int registered = 0;
  for (const auto& place : vorn::tools::browserPlaces()) {
    if (!folderThere(place) && !vorn::tools::browserInstalled(*place.row)) {
      later.emplace_back(place.row->browser);
      continue;
    }
    maker.step();
    ++tried;
    try {
      if (!vorn::tools::isUtf8(place.manifest.string()))
        throw ToolError(printable(place.hosts) +
                        " is not valid UTF-8 text, which the setup's record cannot hold");
      if (const auto broken = brokenRoots.find(place.root); broken != brokenRoots.end())
        throw ToolError(broken->second);
      if (!roots.contains(place.root)) {
        try {
          roots[place.root] = maker.root(place.root);
        } catch (const ToolError& failure) {
          brokenRoots[place.root] = failure.what();
          throw;
        }
      }
      UniqueFd folder;
      int fd = roots.at(place.root).get();
      fs::path path = place.root;
      for (const auto& part : fs::path(place.row->folder) / vorn::tools::kNativeHostsFolderName) {
        // As the browsers make their own folders: for the user alone.
        folder = maker.child(fd, path, part.string(), 0700);
        fd = folder.get();
        path /= part;
      }
      if (maker.record().browsers.insert(std::string(place.row->folder)).second) maker.changed();
      maker.save();
      vorn::tools::sweepTemporaries(fd, {hostManifestName()});
      vorn::tools::writeFileAtomicallyAt(fd, path, hostManifestName(), manifest);
      ++registered;
    } catch (const ToolError& failure) {
      maker.save();
      std::cerr << "vorn-updater: "
                << vorn::tools::oneLine("not registered with " + std::string(place.row->browser) + ": " +
                                        failure.what())
                << '\n';
    }
  }
  if (!later.empty()) {
    std::string names;
    for (const auto& name : later) names += (names.empty() ? "" : ", ") + name;
    std::cerr << "vorn-updater: not installed, so left for a later setup: " << names
              << " (run setup again once one is installed)\n";
  }
  return {tried, registered};
}

// The names the updater writes in its own folder, whose temporary files a
// killed run may have left.
std::set<std::string> toolFolderNames() {
  return {std::string(vorn::tools::kLastSetupFileName), std::string(vorn::tools::kCreatedRecordFileName),
          std::string(vorn::tools::kNativeHostExecutable)};
}

vorn::tools::Setup setUp(vorn::tools::HeldSignals& signals) {
  Plan plan = validate();
  Maker maker(std::move(plan.earlier), plan.home, signals);
  const UniqueFd data = maker.root(plan.dataRoot);
  const UniqueFd tool = maker.child(data.get(), plan.dataRoot, plan.tool.filename().string(), 0755);
  std::pair<int, int> registered;
  try {
    maker.keepIn(tool.get(), plan.tool);
    vorn::tools::sweepTemporaries(tool.get(), toolFolderNames());
    fs::path host = plan.host;
    if (plan.why) {
      // A copy of the host no one else may replace, in the user's own folder.
      host = plan.tool / vorn::tools::kNativeHostExecutable;
      maker.record().hostCopy = true;
      maker.changed();
      maker.save();
      vorn::tools::writeFileAtomicallyAt(
          tool.get(), plan.tool, std::string(vorn::tools::kNativeHostExecutable), plan.hostBytes, 0755);
      std::cerr << "vorn-updater: "
                << vorn::tools::oneLine("registered a private copy of the native messaging host, " +
                                        printable(host) + ", because " + *plan.why +
                                        ", so another user could put " + "their own program at " +
                                        printable(plan.host))
                << '\n';
    }
    maker.step();
    copyExtension(plan, tool.get(), maker);
    registered = registerHost(host, maker);
    maker.step();
  } catch (...) {
    // Whatever ended setup, what it made stays recorded.
    try {
      maker.save();
    } catch (const ToolError& failure) {
      std::cerr << "vorn-updater: " << vorn::tools::oneLine(failure.what()) << '\n';
    }
    throw;
  }
  maker.save();
  if (registered.first > 0 && registered.second == 0)
    throw ToolError("no browser could be registered; see the lines above");
  vorn::tools::Setup setup{plan.extensionFolder.string(), vorn::tools::randomToken(),
                           std::string(vorn::tools::kVersion)};
  vorn::tools::writeFileAtomicallyAt(tool.get(), plan.tool, std::string(vorn::tools::kLastSetupFileName),
                                     vorn::tools::encodeSetup(setup) + "\n");
  maker.step();
  return setup;
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
  void removeFile(const fs::path& path, bool quiet);
  // Removes the folder setup made at `path` when it is empty and, when
  // `identity`, still that folder; says which it kept for what is in it.
  // Without `identity` (no record, or an earlier version's), only `named`
  // folders are said to be kept.
  void removeFolder(const fs::path& path, std::optional<Identity> identity, bool named);

  // Whether the folder `path` in `parent` holds anything but what setup made
  // and could not remove.
  bool holdsOthers(int parent, const fs::path& path) const;

  std::vector<std::string> failures_;
  std::vector<std::string> kept_;
  std::set<fs::path> keptFolders_;
  std::set<fs::path> failed_;  // setup's own, which could not go
  std::vector<fs::path> roots_ = vorn::tools::setupRoots();
};

// Whether `inside` is reached through the same mount as the folder `folder`:
// removal never crosses into another file system, a bind mount included.
bool onTheSameMount(int folder, int inside) {
  const auto outer = vorn::platform::posix::placeOf(folder);
  const auto inner = vorn::platform::posix::placeOf(inside);
  return outer && inner && *outer == *inner;
}

UniqueFd parentFailed(std::vector<std::string>& failures, const std::string& why, bool quiet) {
  if (!quiet) failures.push_back(why);
  return {};
}

UniqueFd Uninstall::parentOf(const fs::path& path, bool quiet) {
  fs::path base;
  for (const auto& root : roots_) {
    if (vorn::tools::isStrictlyBelow(path, root) && depth(root) > depth(base)) base = root;
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
    // Another user's folder, or one others may change, is not setup's either.
    if (child == -ENOENT || child == -ELOOP || child == -ENOTDIR || child == -vorn::tools::kOwnedByAnother ||
        child == -vorn::tools::kWritableByOthers)
      return {};
    if (child < 0)
      return parentFailed(
          failures_, "cannot remove " + vorn::tools::describeFailure(folder.get(), at / part, -child), quiet);
    UniqueFd next(child);
    // What is mounted there is not setup's; removeFolder names the folder.
    if (!onTheSameMount(folder.get(), next.get())) return {};
    folder = std::move(next);
    at /= part;
  }
  return folder;
}

void Uninstall::removeFile(const fs::path& path, bool quiet) {
  const UniqueFd parent = parentOf(path, quiet);
  if (!parent.valid()) return;
  const std::string name = path.filename().string();
  vorn::tools::sweepTemporaries(parent.get(), {name});
  struct stat status {};
  if (::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
  // Setup wrote a regular file; anything else there now is not its.
  if (!S_ISREG(status.st_mode)) return;
  if (::unlinkat(parent.get(), name.c_str(), 0) == 0 || errno == ENOENT) return;
  failed_.insert(path);
  fail("cannot remove " + vorn::tools::describeFailure(parent.get(), path, errno));
}

bool Uninstall::holdsOthers(int parent, const fs::path& path) const {
  UniqueFd folder(::openat(parent, path.filename().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::unique_ptr<DIR, int (*)(DIR*)> entries(folder.valid() ? ::fdopendir(folder.get()) : nullptr,
                                              &::closedir);
  // What cannot be looked into is not said to be anyone's.
  if (!entries) return false;
  folder.release();
  while (const dirent* entry = ::readdir(entries.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!keptFolders_.contains(path / name) && !failed_.contains(path / name)) return true;
  }
  return false;
}

void Uninstall::removeFolder(const fs::path& path, std::optional<Identity> identity, bool named) {
  const UniqueFd parent = parentOf(path, false);
  if (!parent.valid()) return;
  const std::string name = path.filename().string();
  struct stat status {};
  if (::fstatat(parent.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode))
    return;
  if (const UniqueFd folder(
          ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      folder.valid() && !onTheSameMount(parent.get(), folder.get())) {
    keptFolders_.insert(path);
    kept_.push_back("kept " + printable(path) + ", which setup made: another file system is mounted on it");
    return;
  }
  // A folder made in its place since is someone else's.
  if (identity && (status.st_dev != identity->device || status.st_ino != identity->inode)) return;
  if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return;
  if (errno != ENOTEMPTY && errno != EEXIST) failed_.insert(path);
  if (errno == ENOTEMPTY || errno == EEXIST) {
    keptFolders_.insert(path);
    if (named && holdsOthers(parent.get(), path))
      kept_.push_back("kept " + printable(path) +
                      ", which setup made: something that setup did not put there is in it");
    return;
  }
  fail("cannot remove " + vorn::tools::describeFailure(parent.get(), path, errno));
}

int Uninstall::run() {
  const fs::path dataRoot = vorn::tools::normalFolder(vorn::tools::userDataFolder());
  const fs::path toolPath = dataRoot / vorn::tools::kDataFolderName;
  const fs::path extensionPath = toolPath / vorn::tools::kExtensionFolderName;
  const std::string recordName(vorn::tools::kCreatedRecordFileName);
  UniqueFd tool;
  if (const int data = vorn::tools::openRootFolder(dataRoot, false, nullptr); data >= 0) {
    const UniqueFd dataFd(data);
    const int fd =
        vorn::tools::openFolderAt(dataFd.get(), dataRoot, toolPath.filename().string(), false, nullptr);
    // A link in place of the tools' folder is not setup's, nor a file system
    // mounted on it: nothing behind either is touched.
    if (fd >= 0) {
      tool = UniqueFd(fd);
      // removeFolder names it.
      if (!onTheSameMount(dataFd.get(), tool.get())) tool.reset();
    } else if (fd != -ENOENT && fd != -ELOOP && fd != -ENOTDIR) {
      fail("cannot remove " + vorn::tools::describeFailure(dataFd.get(), toolPath, -fd));
    }
  }

  std::optional<vorn::tools::CreatedRecord> recorded;
  if (tool.valid()) recorded = readRecord(tool.get(), toolPath, failures_);
  // Without a usable record, the manifests and the bundle's files are still
  // known by their names; folders only in the tools' folder, and only when
  // they are empty.
  const bool known = recorded.has_value();
  vorn::tools::CreatedRecord record = recorded.value_or(vorn::tools::CreatedRecord{});
  const std::string manifest = hostManifestName();
  for (const auto& place : vorn::tools::browserPlaces()) {
    if (!known || record.browsers.contains(std::string(place.row->folder)))
      removeFile(place.manifest, !known);
  }

  struct Folder {
    fs::path path;
    std::optional<Identity> identity;
    bool named;
  };
  std::vector<Folder> folders;
  if (!known || record.legacy) {
    std::vector<BundleEntry> bundled;
    try {
      bundled = bundledExtension(bundledExtensionFolder(), false);
    } catch (const ToolError&) {
    }
    for (const auto& entry : bundled) {
      if (entry.folder) {
        folders.push_back({extensionPath / entry.relative, std::nullopt, known});
      } else {
        record.extensionFiles.insert(entry.relative);
      }
    }
    folders.push_back({extensionPath, std::nullopt, known});
    if (!known) folders.push_back({toolPath, std::nullopt, false});
    for (const auto& folder : record.legacyFolders) folders.push_back({folder, std::nullopt, true});
  }
  for (const auto& folder : record.folders)
    folders.push_back({folder.path, Identity{folder.device, folder.inode}, true});

  if (tool.valid()) {
    for (const auto& file : record.extensionFiles) removeFile(extensionPath / file, false);
    std::set<std::string> names = toolFolderNames();
    names.insert(std::string(vorn::kReceiptFileName));
    vorn::tools::sweepTemporaries(tool.get(), names);
    std::vector<std::string> files = {std::string(vorn::tools::kLastSetupFileName),
                                      std::string(vorn::kReceiptFileName)};
    if (record.hostCopy) files.emplace_back(vorn::tools::kNativeHostExecutable);
    for (const std::string& name : files) {
      struct stat status {};
      if (::fstatat(tool.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(status.st_mode))
        continue;
      if (::unlinkat(tool.get(), name.c_str(), 0) != 0 && errno != ENOENT)
        fail("cannot remove " + vorn::tools::describeFailure(tool.get(), toolPath / name, errno));
    }
    // The record goes last but for the folders; while anything failed it
    // stays, so that those folders are not empty and the next run can retry.
    if (failures_.empty() && ::unlinkat(tool.get(), recordName.c_str(), 0) != 0 && errno != ENOENT)
      fail("cannot remove " + vorn::tools::describeFailure(tool.get(), toolPath / recordName, errno));
  }

  // The record stays while anything failed; its folder is not the user's for that.
  if (!failures_.empty()) failed_.insert(toolPath / recordName);
  // The deepest first, so that a folder is empty of setup's own when its turn comes.
  std::stable_sort(folders.begin(), folders.end(),
                   [](const auto& a, const auto& b) { return depth(a.path) > depth(b.path); });
  for (const auto& folder : folders) removeFolder(folder.path, folder.identity, folder.named);
  // What could not go stays recorded, for the next uninstall to try again,
  // unless the tools' folder itself is gone.
  struct stat toolStatus {};
  if (!failures_.empty() && known && tool.valid() && ::fstat(tool.get(), &toolStatus) == 0 &&
      toolStatus.st_nlink > 0) {
    try {
      vorn::tools::writeFileAtomicallyAt(
          tool.get(), toolPath, recordName,
          vorn::tools::encodeRecord(record.legacy ? stillMade(record) : record));
    } catch (const ToolError& failure) {
      fail(failure.what());
    }
  }

  for (const auto& line : kept_) std::cerr << "vorn-updater: " << vorn::tools::oneLine(line) << '\n';
  for (const auto& why : failures_) std::cerr << "vorn-updater: " << vorn::tools::oneLine(why) << '\n';
  return failures_.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (vorn::tools::printedVersion(argc, argv, "vorn-updater")) return 0;
  const std::string_view mode = argc == 2 ? argv[1] : "";
  if (mode != "--setup" && mode != "--uninstall") {
    std::cerr << kUsage;
    return 2;
  }
  // A signal to stop lets the step in progress finish and the record be saved.
  vorn::tools::HeldSignals signals;
  try {
    if (mode == "--uninstall") {
      const int status = Uninstall().run();
      const int signal = signals.arrived();
      return signal != 0 ? 128 + signal : status;
    }
    const auto setup = setUp(signals);
    std::cout << vorn::tools::encodeSetup(setup) << '\n';
    std::cout.flush();
    if (!std::cout) {
      std::cerr << "vorn-updater: cannot write the result to standard output\n";
      return 1;
    }
    return 0;
  } catch (const vorn::tools::Stopped& stopped) {
    return 128 + stopped.signal;
  } catch (const std::exception& failure) {
    std::cerr << "vorn-updater: " << vorn::tools::oneLine(failure.what()) << '\n';
    return 1;
  }
}
