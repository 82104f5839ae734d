// The installation worker: runs on the background queue and touches no field.
#include <unicode/utf8.h>

#include <string>
#include <string_view>

#include "app/setup_controller.h"
#include "install/updater.h"

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

bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Drops a last character whose bytes do not all lie within `bytes`.
std::string_view withoutCutCharacterAtEnd(std::string_view bytes) {
  for (std::size_t back = 1; back <= 4 && back <= bytes.size(); ++back) {
    const auto c = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((c & 0xC0) == 0x80) continue;
    const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return length > back ? bytes.substr(0, bytes.size() - back) : bytes;
  }
  return bytes;
}

// Valid UTF-8 of at most `budget` bytes: its beginning (or its end), cut
// where a character ends.
std::string_view firstBytes(std::string_view text, std::size_t budget) {
  if (text.size() <= budget) return text;
  std::size_t cut = budget;
  while (cut > 0 && isContinuation(text[cut])) --cut;
  return text.substr(0, cut);
}
std::string_view lastBytes(std::string_view text, std::size_t budget) {
  if (text.size() <= budget) return text;
  std::size_t cut = text.size() - budget;
  while (cut < text.size() && isContinuation(text[cut])) ++cut;
  return text.substr(cut);
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

platform::TaskOptions updaterTaskOptions(const platform::Cancellation* cancellation) {
  return platform::TaskOptions{.timeLimit = kUpdaterTimeLimitSeconds,
                               .standardErrorEnds = kUpdaterErrorEnds,
                               .cancellation = cancellation};
}

std::string updaterFailureDescription(const platform::TaskResult& ended) {
  if (ended.timedOut) {
    return "The updater did not finish within " + std::to_string(static_cast<int>(kUpdaterTimeLimitSeconds)) +
           " seconds, so it was stopped.";
  }
  std::string_view headBytes = ended.standardError.bytes();
  std::string_view tailBytes = ended.standardErrorTail.bytes();
  if (ended.standardErrorLeftOut > 0) {
    // Where the bytes were cut, a character may have been cut in two.
    headBytes = withoutCutCharacterAtEnd(headBytes);
    for (int i = 0; i < 3 && !tailBytes.empty() && isContinuation(tailBytes.front()); ++i)
      tailBytes.remove_prefix(1);
  }
  const std::string head = decodeUTF8Lossy(headBytes);
  const std::string tail = decodeUTF8Lossy(tailBytes);
  const std::size_t room = kLongestErrorMessage - kFailurePrefix.size();
  if (ended.standardErrorLeftOut == 0 && head.size() + tail.size() <= room) return head + tail;
  constexpr std::string_view kMarker = "\n\n[… the middle of the updater's message is left out here …]\n\n";
  const std::size_t half = (room - kMarker.size()) / 2;
  if (tail.empty()) {
    // Kept whole but too long once decoded: its own beginning and end.
    return std::string(firstBytes(head, half)).append(kMarker).append(lastBytes(head, half));
  }
  return std::string(firstBytes(head, half)).append(kMarker).append(lastBytes(tail, half));
}

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
