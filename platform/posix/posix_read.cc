// The confirmation file's read: the checks are made on the open descriptor, so
// the entry cannot be swapped for a pipe, device or larger file between the
// check and the read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"

namespace vorn::platform::posix {
namespace {

Error readFailure(int code, const std::string& path) {
  // Built in one piece: a missing file is what every tick before the
  // confirmation sees.
  const std::string_view reason = std::strerror(code);
  std::string description;
  description.reserve(path.size() + reason.size() + 32);
  description.append("The file \"").append(path).append("\" could not be read: ").append(reason).append(".");
  return posixError(code, std::move(description));
}

Error rejected(int code, const std::string& path, std::string_view why) {
  return posixError(code, "The file \"" + path + "\" " + std::string(why) + ".");
}

}  // namespace

Outcome<std::string> PosixFileManager::contentsOfSmallRegularFile(const std::string& path,
                                                                  std::size_t maxBytes) {
  // A look at the entry first, so that a pipe or device is never even opened
  // (opening some devices has effects of its own).
  struct stat entry {};
  if (::lstat(path.c_str(), &entry) != 0) return readFailure(errno, path);
  if (!S_ISREG(entry.st_mode)) return rejected(EINVAL, path, "is not a regular file");
  if (static_cast<std::uintmax_t>(entry.st_size) > maxBytes) return rejected(EFBIG, path, "is too large");

  // The entry may have been swapped since: no following a link, no waiting for
  // a writer, no controlling terminal; then the same checks on what was opened.
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return readFailure(errno, path);
  const UniqueFd file(fd);

  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0) return readFailure(errno, path);
  if (!S_ISREG(opened.st_mode)) return rejected(EINVAL, path, "is not a regular file");
  if (static_cast<std::uintmax_t>(opened.st_size) > maxBytes) return rejected(EFBIG, path, "is too large");

  // One byte more than allowed tells a file that grew after fstat.
  std::string bytes(maxBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::read(file.get(), bytes.data() + filled, bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return readFailure(errno, path);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
    // A regular file answers short only at its end: when the short answer
    // holds exactly the size fstat saw, the read for the end is saved.
    if (filled < bytes.size() && filled == static_cast<std::size_t>(opened.st_size)) break;
  }
  if (filled > maxBytes) return rejected(EFBIG, path, "is too large");
  bytes.resize(filled);
  return bytes;
}

}  // namespace vorn::platform::posix
