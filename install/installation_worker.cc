// The installation worker: runs on the background queue and touches no field.
#include <unicode/utf8.h>

#include <string>
#include <string_view>

#include "app/setup_controller.h"

namespace vorn {
namespace {

constexpr std::string_view kBundleName = "Vorn Preview Setup.app";
constexpr std::string_view kStagingPrefix = ".Vorn Preview Setup-";
constexpr std::string_view kUpdater = "Contents/MacOS/vorn-updater";

// Valid UTF-8 is kept byte for byte; each maximal ill-formed subpart becomes
// one U+FFFD, the practice Unicode recommends.
std::string decodeUTF8Lossy(std::string_view bytes) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const auto length = static_cast<int64_t>(bytes.size());
  std::string text;
  text.reserve(bytes.size());
  int64_t i = 0;
  while (i < length) {
    const int64_t start = i;
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      text += kReplacement;
    } else {
      text.append(bytes.data() + start, static_cast<std::size_t>(i - start));
    }
  }
  return text;
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

}  // namespace

platform::Outcome<SetupResult> SetupController::runInstallation(platform::Foundation& foundation) {
  platform::FileManager& files = foundation.defaultManager();
  const platform::URL applications =
      files.homeDirectoryForCurrentUser().appendingPathComponent("Applications", true);
  if (platform::Status created = files.createDirectory(applications, true); !created) return created.error();

  const platform::URL destination = applications.appendingPathComponent(kBundleName, true);
  const platform::URL source = foundation.mainBundle().bundleURL;

  if (comparablePath(source) != comparablePath(destination)) {
    const platform::URL staging = applications.appendingPathComponent(
        std::string(kStagingPrefix) + foundation.uuidString() + ".app", true);
    platform::Status placed = files.copyItem(source, staging);
    if (placed) {
      placed = files.fileExistsAtPath(destination.path()) ? files.replaceItem(destination, staging)
                                                          : files.moveItem(staging, destination);
    }
    (void)files.removeItem(staging);  // finds nothing once the copy is in place
    if (!placed) return placed.error();
  }

  auto task = foundation.runTask(destination.appendingPathComponent(kUpdater), {"--setup"});
  if (!task) return task.error();
  const platform::TaskResult& ended = task.value();
  if (ended.terminationStatus != 0 || ended.terminatedBySignal) {
    return platform::Error{"VornSetup", 1, decodeUTF8Lossy(ended.standardError.bytes())};
  }
  return decodeSetupResult(ended.standardOutput.bytes());
}

}  // namespace vorn
