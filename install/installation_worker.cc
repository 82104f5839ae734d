// The installation worker: the copy into the Applications folder and the
// updater's run. It runs on the work queue and touches no field.
#include <string>
#include <string_view>

#include "app/setup_controller.h"
#include "install/updater.h"

namespace vorn {
namespace {

constexpr std::string_view kBundleName = "Vorn Preview Setup.app";
constexpr std::string_view kStagingPrefix = ".Vorn Preview Setup-";
constexpr std::string_view kUpdater = "Contents/MacOS/vorn-updater";

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
    auto uuid = foundation.uuidString();
    if (!uuid) return uuid.error();
    const platform::URL staging =
        applications.appendingPathComponent(std::string(kStagingPrefix) + uuid.value() + ".app", true);
    platform::Status placed = files.copyItem(source, staging, cancellation);
    if (placed) {
      placed = files.fileExistsAtPath(destination.path()) ? files.replaceItem(destination, staging)
                                                          : files.moveItem(staging, destination);
    }
    (void)files.removeItem(staging);  // finds nothing once the copy is in place
    if (!placed) return placed.error();
  }

  if (cancellation.isCancelled()) return platform::cancelledError();
  auto task = foundation.runTask(destination.appendingPathComponent(kUpdater), {"--setup"},
                                 updaterTaskOptions(&cancellation));
  if (!task) return task.error();
  const platform::TaskResult& ended = task.value();
  if (ended.timedOut || ended.terminationStatus != 0 || ended.terminatedBySignal) {
    return platform::Error{"VornSetup", 1, updaterFailureDescription(ended)};
  }
  return decodeSetupResult(ended.standardOutput.bytes());
}

}  // namespace vorn
