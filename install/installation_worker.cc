// The installation worker: the copy into the Applications folder and the
// updater's run. It runs on the work queue and touches no field.
#include <string>
#include <string_view>
#include <vector>

#include "app/setup_controller.h"
#include "install/updater.h"

namespace vorn {
namespace {

constexpr std::string_view kBundleName = "Vorn Preview Setup.app";
constexpr std::string_view kStagingPrefix = ".Vorn Preview Setup-";
constexpr std::string_view kUpdater = "Contents/MacOS/vorn-updater";
// What an earlier copy of this program holds, and so what setup may replace:
// the program and its page. Anything else by the bundle's name is the user's.
const std::vector<std::string> kEarlierCopyHolds = {"Contents/MacOS/vorn-preview-setup",
                                                    "Contents/Resources/ui/index.html"};

bool isHexUpper(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Exactly ".Vorn Preview Setup-" + an upper-case 8-4-4-4-12 UUID + ".app":
// the names that this installer gives its staging copies, and nothing else.
bool isStagingName(std::string_view name) {
  constexpr std::string_view kSuffix = ".app";
  if (!name.starts_with(kStagingPrefix) || !name.ends_with(kSuffix)) return false;
  name.remove_prefix(kStagingPrefix.size());
  name.remove_suffix(kSuffix.size());
  if (name.size() != 36) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? name[i] != '-' : !isHexUpper(name[i])) return false;
  }
  return true;
}

// The standard form, and one separator where a home folder may have given two.
std::string comparablePath(const platform::URL& url) {
  std::string path = url.standardizedFileURL().path();
  std::string folded;
  for (char c : path) {
    if (c == '/' && folded.ends_with('/')) continue;
    folded += c;
  }
  if (folded.size() > 1 && folded.ends_with('/')) folded.pop_back();
  return folded;
}

// What interrupted runs left: removed while this installation holds the
// folder's lock, so none of them is still being written.
void removeStaleStagingCopies(platform::FileManager& files, const platform::URL& applications) {
  auto names = files.contentsOfDirectory(applications);
  if (!names) return;
  for (const std::string& name : names.value()) {
    if (isStagingName(name)) (void)files.removeItem(applications.appendingPathComponent(name, true));
  }
}

platform::Error notAnEarlierCopy(const platform::URL& destination) {
  return platform::Error{std::string(platform::kNotAnEarlierCopyDomain), 1,
                         "Something else has the name \"" + destination.path() +
                             "\": it is not an earlier copy of Vorn Preview Setup, so setup leaves it as it "
                             "is. Move or rename it, then try again."};
}

platform::Outcome<platform::URL> stagingName(platform::Foundation& foundation, const platform::URL& folder) {
  auto uuid = foundation.uuidString();
  if (!uuid) return uuid.error();
  return folder.appendingPathComponent(std::string(kStagingPrefix) + uuid.value() + ".app", true);
}

}  // namespace

platform::Outcome<SetupResult> SetupController::runInstallation(platform::Foundation& foundation,
                                                                const platform::Cancellation& cancellation) {
  platform::FileManager& files = foundation.defaultManager();
  const platform::URL applications =
      files.homeDirectoryForCurrentUser().appendingPathComponent("Applications", true);
  if (platform::Status created = files.createDirectory(applications, true); !created) return created.error();
  // One installation into this folder at a time, across processes, until this one has ended.
  auto lock = files.lockFolder(applications, cancellation);
  if (!lock) return lock.error();

  const platform::URL destination = applications.appendingPathComponent(kBundleName, true);
  const platform::URL source = foundation.mainBundle().bundleURL;

  if (comparablePath(source) != comparablePath(destination)) {
    removeStaleStagingCopies(files, applications);
    // Looked at before the copy, so that a refusal costs nothing; the
    // replacement looks again at what it exchanges.
    const bool replacing = files.fileExistsAtPath(destination.path());
    if (replacing && !files.folderHolds(destination, kEarlierCopyHolds)) return notAnEarlierCopy(destination);
    auto staging = stagingName(foundation, applications);
    if (!staging) return staging.error();
    // Where the old bundle waits for its removal if the two names cannot be
    // exchanged: a staging name too, which the next run sweeps.
    auto setAside =
        replacing ? stagingName(foundation, applications) : platform::Outcome<platform::URL>(staging);
    if (!setAside) return setAside.error();
    platform::Status placed = files.copyItem(source, staging.value(), cancellation);
    if (placed) {
      placed = replacing
                   ? files.replaceItem(destination, staging.value(), kEarlierCopyHolds, setAside.value())
                   : files.moveItem(staging.value(), destination);
    }
    (void)files.removeItem(staging.value());  // finds nothing once the copy is in place
    if (!placed) {
      if (placed.error().domain == platform::kNotAnEarlierCopyDomain) return notAnEarlierCopy(destination);
      return placed.error();
    }
  }

  if (cancellation.isCancelled()) return platform::cancelledError();
  auto task = foundation.runTask(destination.appendingPathComponent(kUpdater), {"--setup"},
                                 updaterTaskOptions(&cancellation));
  if (!task) return task.error();
  const platform::TaskResult& ended = task.value();
  if (ended.timedOut || ended.terminationStatus != 0 || ended.terminatedBySignal) {
    return platform::Error{"VornSetup", 1, updaterFailureDescription(ended)};
  }
  if (ended.standardOutputLeftOut > 0)
    return platform::Error{"VornSetup", 1, updaterResultTooLongDescription()};
  return decodeSetupResult(ended.standardOutput.bytes());
}

}  // namespace vorn
