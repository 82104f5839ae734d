// Whole-tree file operations behind the POSIX file manager.
#pragma once

#include <string>

#include "platform/error.h"

namespace vorn::platform::posix {

// "Could not <what>: <reason>" with errno's text as the reason.
Error posixFailure(int code, const std::string& what);

// Copies a tree without following links: folders, regular files (data copied
// in the kernel), symbolic links as links; modes and modification times kept.
// Anything else (pipes, sockets, devices) fails the copy.
Status copyTree(const std::string& from, const std::string& to);

// Replaces `original` by `replacement` with plain renames, for file systems
// that cannot exchange two names: the original is set aside first and put
// back if the replacement cannot take its place.
Status replaceByRenaming(const std::string& original, const std::string& replacement);

}  // namespace vorn::platform::posix
