// Whole-tree file operations behind the POSIX file manager.
#pragma once

#include <string>

#include "platform/error.h"
#include "platform/foundation.h"

namespace vorn::platform::posix {

// Copies a tree without following links: folders, regular files (data copied
// in the kernel), symbolic links as links; modes and modification times kept.
// Anything else (pipes, sockets, devices) fails the copy. A cancellation
// stops it before the next entry.
Status copyTree(const std::string& from, const std::string& to, const Cancellation& cancellation);

// Removes a tree without following links, giving the owner's folders owner
// permissions where their mode blocks the removal; answers 0 or an errno.
int removeTree(const std::string& path);

// Replaces `original` by `replacement` with plain renames, for file systems
// that cannot exchange two names: the original is set aside first and put
// back if the replacement cannot take its place; once it has, the old tree
// is removed from under the replacement's name.
Status replaceByRenaming(const std::string& original, const std::string& replacement);

}  // namespace vorn::platform::posix
