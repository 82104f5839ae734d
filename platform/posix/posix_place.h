// Where a file lies: its file system and the mount it is reached through.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <optional>

namespace vorn::platform::posix {

// A bind mount of the same file system has the same device but a mount of its
// own, so both are compared to tell where a walk would cross into another.
struct Place {
  dev_t device = 0;
  std::uint64_t mount = 0;
  bool operator==(const Place&) const = default;
};

inline Place placeOf(const struct statx& status) {
  return {makedev(status.stx_dev_major, status.stx_dev_minor),
          (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0};
}

// The place of the folder or file open at `fd`.
inline std::optional<Place> placeOf(int fd) {
  struct statx status {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &status) != 0) return std::nullopt;
  return placeOf(status);
}

}  // namespace vorn::platform::posix
