// Whole-tree file operations behind the POSIX file manager.
#pragma once

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/foundation.h"

namespace vorn::platform::posix {

// Copies a tree without following links: folders, regular files (data copied
// in the kernel), symbolic links as links; modes and modification times kept.
// Anything else (pipes, sockets, devices) fails the copy. A cancellation
// stops it before the next entry.
Status copyTree(const std::string& from, const std::string& to, const Cancellation& cancellation);

// Removes a tree of the caller's own without following links and without
// crossing into another file system (what is mounted inside stays, with the
// folders that hold it: EXDEV); its owner's folders whose mode blocks the
// removal get owner permissions on their descriptor. Answers 0 or an errno.
int removeTree(const std::string& path);

// Whether `path` is a folder, not a link, holding each of `files` (relative
// paths) as a regular file reached through no link.
bool folderHolds(const std::string& path, const std::vector<std::string>& files);

// Replaces `original`, while it is a folder that holds `originalHolds`, by
// `replacement` with plain renames, for file systems that cannot exchange
// two names: the replacement is flushed, the original set aside at
// `setAside` (and put back if the replacement cannot take its place), the
// folder flushed; then the old tree is removed from `setAside`, where
// whatever its removal cannot take stays.
Status replaceByRenaming(const std::string& original, const std::string& replacement,
                         const std::vector<std::string>& originalHolds, const std::string& setAside);

}  // namespace vorn::platform::posix
