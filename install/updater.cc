// The updater's run: its limits, and the words for an updater that failed.
#include "install/updater.h"

#include <unicode/utf8.h>

#include <string>
#include <string_view>

namespace vorn {
namespace {

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

}  // namespace

platform::TaskOptions updaterTaskOptions(const platform::Cancellation* cancellation) {
  return platform::TaskOptions{.timeLimit = kUpdaterTimeLimitSeconds,
                               .standardErrorEnds = kUpdaterErrorEnds,
                               .standardOutputLimit = kUpdaterOutputLimit,
                               .cancellation = cancellation};
}

std::string updaterResultTooLongDescription() {
  return "The updater printed more than " + std::to_string(kUpdaterOutputLimit >> 20) +
         " MiB where its short result was expected, so setup could not read it.";
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

}  // namespace vorn
