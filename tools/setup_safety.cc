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

namespace {

std::string temporaryName(const std::string& name) { return "." + name + "." + randomToken().substr(0, 12); }

}  // namespace

void writeExecutableAt(int folder, const fs::path& folderPath, const std::string& name,
                       std::string_view bytes) {
  const fs::path path = folderPath / name;
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(status.st_mode))
    throw ToolError(describeFailure(folder, path, S_ISDIR(status.st_mode) ? EISDIR : ELOOP));
  const std::string hidden = temporaryName(name);
  UniqueFd file(::openat(folder, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0777));
  if (!file.valid())
    throw ToolError("cannot create a file in " + folderPath.string() + ": " + std::strerror(errno));
  struct Remove {
    int folder;
    const std::string* name;
    ~Remove() {
      if (name != nullptr) ::unlinkat(folder, name->c_str(), 0);
    }
  } temporary{folder, &hidden};
  auto fail = [&](const char* what) {
    throw ToolError(std::string("cannot ") + what + " " + (folderPath / hidden).string() + ": " +
                    std::strerror(errno));
  };
  // The umask decides; a umask that takes the owner's execute bit away would
  // leave a host no browser can start.
  if (::fstat(file.get(), &status) != 0) fail("look at");
  if ((status.st_mode & S_IXUSR) == 0 && ::fchmod(file.get(), (status.st_mode & 07777) | S_IXUSR) != 0)
    fail("set the mode of");
  while (!bytes.empty()) {
    const ssize_t written = ::write(file.get(), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail("write");
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  if (::fsync(file.get()) != 0) fail("flush");
  if (file.close() != 0) fail("close");
  if (::renameat(folder, hidden.c_str(), folder, name.c_str()) != 0)
    throw ToolError("cannot rename into place " + path.string() + ": " + std::strerror(errno));
  temporary.name = nullptr;
  ::fsync(folder);
}

bool isTemporaryOf(std::string_view entry, std::string_view name) {
  constexpr size_t kDigits = 12;
  if (entry.size() != name.size() + 2 + kDigits || entry.front() != '.' ||
      entry.substr(1, name.size()) != name || entry[1 + name.size()] != '.')
    return false;
  const std::string_view digits = entry.substr(entry.size() - kDigits);
  return digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
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
