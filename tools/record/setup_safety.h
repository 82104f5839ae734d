// What keeps the updater to its own: a host path no other user can replace,
// lines that stay one line, temporary files that do not outlive a run, and
// an end by signal that leaves the record whole.
#pragma once

#include <csignal>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vorn::tools {

// `text` with every control character escaped (a newline as "\n"), so that
// a path with one in it cannot begin a line of its own. Unlike escapedText()
// it leaves backslashes alone: the updater's lines carry paths that
// describeFailure() has escaped already, which must not be escaped twice.
std::string oneLine(std::string_view text);

// Why another user could put their own program at `path`: it, or a folder
// above it, belongs to someone but this user or root, or others (the group
// included, a sticky /tmp too) may write it. Nothing when no one can.
std::optional<std::string> whyOthersCouldReplace(const std::filesystem::path& path);

// Removes the regular files in `folder` that are temporary files of one of
// `names` (isTemporaryOf()), left behind by a run that was killed; returns how many went.
int sweepTemporaries(int folder, const std::set<std::string>& names);

// SIGTERM, SIGINT and SIGHUP held back while the object lives: a step in
// progress finishes, and the caller asks between steps whether to stop.
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  // The signal that asks to stop, once one has come; 0 until then.
  int arrived();

 private:
  sigset_t held_{};
  sigset_t before_{};
  int arrived_ = 0;
};

// Thrown between steps once a signal asks to stop.
struct Stopped {
  int signal;
};

}  // namespace vorn::tools
