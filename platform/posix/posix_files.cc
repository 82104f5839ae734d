// The installer's file operations. (Bodies come with the installer.)
#include "platform/posix/posix_foundation.h"

namespace vorn::platform::posix {
namespace {
Error notYet() { return Error{"VornSetup", 1, "Not available yet"}; }
}  // namespace

Status PosixFileManager::createDirectory(const URL&, bool) { return notYet(); }
Status PosixFileManager::copyItem(const URL&, const URL&) { return notYet(); }
bool PosixFileManager::fileExistsAtPath(const std::string&) { return false; }
Status PosixFileManager::replaceItem(const URL&, const URL&) { return notYet(); }
Status PosixFileManager::moveItem(const URL&, const URL&) { return notYet(); }
Status PosixFileManager::removeItem(const URL&) { return notYet(); }

}  // namespace vorn::platform::posix
