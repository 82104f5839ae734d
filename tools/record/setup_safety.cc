#include "setup_safety.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "tool_support.h"

namespace vorn::tools {

namespace fs = std::filesystem;
using platform::posix::UniqueFd;

std::string oneLine(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      line += "\\n";
    } else if (byte < 0x20 || byte == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  return line;
}

std::optional<std::string> whyOthersCouldReplace(const fs::path& path) {
  std::error_code error;
  const fs::path real = fs::canonical(path, error);
  if (error) return path.string() + " cannot be looked at: " + error.message();
  const uid_t user = ::getuid();
  for (fs::path at = real;; at = at.parent_path()) {
    struct stat status {};
    if (::lstat(at.c_str(), &status) != 0)
      return at.string() + " cannot be looked at: " + std::strerror(errno);
    if (status.st_uid != user && status.st_uid != 0) return at.string() + " belongs to another user";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "others may write to " + at.string();
    if (!at.has_relative_path()) return std::nullopt;
  }
}

int sweepTemporaries(int folder, const std::set<std::string>& names) {
  UniqueFd listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing.valid()) return 0;
  std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(listing.get()), &::closedir);
  if (!entries) return 0;
  listing.release();
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(entries.get())) {
    const std::string_view found = entry->d_name;
    for (const auto& name : names) {
      if (isTemporaryOf(found, name)) stale.emplace_back(found);
    }
  }
  int removed = 0;
  for (const auto& name : stale) {
    struct stat status {};
    // Only a regular file can be one of ours; a link or folder of that shape is not.
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
        ::unlinkat(folder, name.c_str(), 0) == 0)
      ++removed;
  }
  return removed;
}

HeldSignals::HeldSignals() {
  sigemptyset(&held_);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&held_, signal);
  ::sigprocmask(SIG_BLOCK, &held_, &before_);
}

HeldSignals::~HeldSignals() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }

int HeldSignals::arrived() {
  if (arrived_ != 0) return arrived_;
  const timespec now{};
  for (;;) {
    const int signal = ::sigtimedwait(&held_, nullptr, &now);
    if (signal > 0) return arrived_ = signal;
    if (errno != EINTR) return 0;
  }
}

}  // namespace vorn::tools
