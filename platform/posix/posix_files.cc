// The installer's file operations, on descriptors so that no link is followed
// out of the tree being copied or removed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"
#include "platform/posix/posix_place.h"
#include "platform/posix/posix_tree.h"

namespace vorn::platform::posix {

namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

class TreeCopier {
 public:
  explicit TreeCopier(const Cancellation& cancellation) : cancellation_(cancellation) {}
  Status copy(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return fail(errno, from, to);
    return copyEntry(AT_FDCWD, from, AT_FDCWD, to, from, to, st);
  }

 private:
  static Error fail(int code, const std::string& from, const std::string& to) {
    return posixFailure(code, "copy " + quoted(from) + " to " + quoted(to));
  }

  Status copyEntry(int srcDir, const std::string& srcName, int dstDir, const std::string& dstName,
                   const std::string& srcPath, const std::string& dstPath, const struct stat& st) {
    if (cancellation_.isCancelled()) return cancelledError();
    if (S_ISDIR(st.st_mode)) return copyFolder(srcDir, srcName, dstDir, dstName, srcPath, dstPath, st);
    if (S_ISREG(st.st_mode)) return copyFile(srcDir, srcName, dstDir, dstName, srcPath, dstPath, st);
    if (S_ISLNK(st.st_mode)) {
      std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 2);
      const ssize_t n = ::readlinkat(srcDir, srcName.c_str(), target.data(), target.size());
      if (n < 0) return fail(errno, srcPath, dstPath);
      if (static_cast<std::size_t>(n) >= target.size()) return fail(ENAMETOOLONG, srcPath, dstPath);
      target[static_cast<std::size_t>(n)] = '\0';
      if (::symlinkat(target.data(), dstDir, dstName.c_str()) != 0) return fail(errno, srcPath, dstPath);
      const timespec times[2] = {st.st_atim, st.st_mtim};
      ::utimensat(dstDir, dstName.c_str(), times, AT_SYMLINK_NOFOLLOW);
      return success();
    }
    // A bundle holds no pipes, sockets or devices; copying one would block or mean nothing.
    return posixError(ENOTSUP,
                      "Could not copy " + quoted(srcPath) + ": it is not a file, a folder or a link");
  }

  Status copyFolder(int srcDir, const std::string& srcName, int dstDir, const std::string& dstName,
                    const std::string& srcPath, const std::string& dstPath, const struct stat& st) {
    UniqueFd in(::openat(srcDir, srcName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.valid()) return fail(errno, srcPath, dstPath);
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(in.get()));
    if (!dir) return fail(errno, srcPath, dstPath);
    in.release();  // the listing closes it
    // Owner-only while it fills, the real mode once complete.
    if (::mkdirat(dstDir, dstName.c_str(), 0700) != 0) return fail(errno, srcPath, dstPath);
    UniqueFd out(::openat(dstDir, dstName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out.valid()) return fail(errno, srcPath, dstPath);
    const int inFd = ::dirfd(dir.get());
    while (true) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) return fail(errno, srcPath, dstPath);
        break;
      }
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string childSrc = std::string(srcPath).append("/").append(name);
      const std::string childDst = std::string(dstPath).append("/").append(name);
      struct stat child {};
      if (::fstatat(inFd, name.c_str(), &child, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(errno, childSrc, childDst);
      Status copied = copyEntry(inFd, name, out.get(), name, childSrc, childDst, child);
      if (!copied) return copied;
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) return fail(errno, srcPath, dstPath);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    return success();
  }

  Status copyFile(int srcDir, const std::string& srcName, int dstDir, const std::string& dstName,
                  const std::string& srcPath, const std::string& dstPath, const struct stat& st) {
    UniqueFd in(::openat(srcDir, srcName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.valid()) return fail(errno, srcPath, dstPath);
    struct stat opened {};
    if (::fstat(in.get(), &opened) != 0) return fail(errno, srcPath, dstPath);
    if (!S_ISREG(opened.st_mode)) return fail(EINVAL, srcPath, dstPath);
    UniqueFd out(
        ::openat(dstDir, dstName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) return fail(errno, srcPath, dstPath);
    if (opened.st_size > 0) {
      const int code = copyData(in.get(), out.get(), opened.st_size);
      if (code != 0) return fail(code, srcPath, dstPath);
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) return fail(errno, srcPath, dstPath);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    return success();
  }

  // Answers 0 or the errno of the failure. A reflink shares the blocks where
  // the file system can; otherwise the kernel copies, and plain reads and
  // writes are the last resort.
  int copyData(int in, int out, off_t size) {
    if (tryClone_) {
      if (::ioctl(out, FICLONE, in) == 0) return 0;
      if (errno != EOPNOTSUPP && errno != EXDEV && errno != EINVAL && errno != ENOTTY) return errno;
      tryClone_ = false;
    }
    off_t done = 0;
    while (useCopyRange_ && done < size) {
      const ssize_t n =
          ::copy_file_range(in, nullptr, out, nullptr, static_cast<std::size_t>(size - done), 0);
      if (n > 0) {
        done += n;
      } else if (n == 0) {
        break;  // the file shrank while being copied; what was there is copied
      } else if (errno == EINTR) {
        continue;
      } else if (done == 0 && (errno == ENOSYS || errno == EXDEV || errno == EOPNOTSUPP || errno == EINVAL)) {
        useCopyRange_ = false;
      } else {
        return errno;
      }
    }
    if (useCopyRange_) {
      // A file that grew meanwhile: take the rest too.
      while (true) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return n == 0 ? 0 : errno;
      }
    }
    std::vector<char> buffer(1 << 20);
    while (true) {
      const ssize_t n = ::read(in, buffer.data(), buffer.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return 0;
      for (ssize_t w = 0; w < n;) {
        const ssize_t m = ::write(out, buffer.data() + w, static_cast<std::size_t>(n - w));
        if (m < 0) {
          if (errno == EINTR) continue;
          return errno;
        }
        w += m;
      }
    }
  }

  const Cancellation& cancellation_;
  bool tryClone_ = true;
  bool useCopyRange_ = true;
};

struct Looked {
  mode_t mode = 0;
  uid_t owner = 0;
  Place place;
};

// 0 or an errno; an empty name looks at the folder `dirFd` itself.
int lookAt(int dirFd, const std::string& name, Looked& out) {
  struct statx sx {};
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name.empty() ? AT_EMPTY_PATH : 0);
  if (::statx(dirFd, name.c_str(), flags, STATX_TYPE | STATX_MODE | STATX_UID | STATX_MNT_ID, &sx) != 0)
    return errno;
  out.mode = sx.stx_mode;
  out.owner = sx.stx_uid;
  out.place = placeOf(sx);
  return 0;
}

constexpr mode_t kOwnerAll = S_IRUSR | S_IWUSR | S_IXUSR;

// Removes a tree of the caller's own without following links and without
// crossing into another file system, as `rm --one-file-system` does: what is
// mounted inside stays whole, and so do the folders that hold it. Its own
// folders whose mode keeps their entries in place are given their owner's
// permissions first, on the open folder itself, never by name.
class TreeRemover {
 public:
  // Answers 0, or the errno of the first entry that could not be removed
  // (EXDEV when the tree holds another file system, which is kept).
  int remove(int parentFd, const std::string& name) {
    Looked parent;
    if (const int code = lookAt(parentFd, "", parent); code != 0) return code;
    home_ = parent.place;
    const int code = removeEntry(parentFd, name);
    return code != 0 ? code : kept_ ? EXDEV : 0;
  }

 private:
  int removeEntry(int dirFd, const std::string& name) {
    Looked entry;
    if (const int code = lookAt(dirFd, name, entry); code != 0) return code;
    if (entry.place != home_) {
      kept_ = true;
      return 0;
    }
    if (!S_ISDIR(entry.mode)) return ::unlinkat(dirFd, name.c_str(), 0) == 0 ? 0 : errno;
    int first = 0;
    {
      UniqueFd folder;
      if (const int code = openForRemoval(dirFd, name, entry, folder); code != 0) {
        if (code != EXDEV) return code;
        kept_ = true;
        return 0;
      }
      UniqueFd listed(::dup(folder.get()));
      if (!listed.valid()) return errno;
      std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listed.get()));
      if (!dir) return errno;
      listed.release();  // the listing closes it
      std::vector<std::string> names;
      while (const dirent* child = ::readdir(dir.get())) {
        const std::string childName = child->d_name;
        if (childName != "." && childName != "..") names.push_back(childName);
      }
      for (const std::string& child : names) {
        const int code = removeEntry(folder.get(), child);
        if (first == 0 && code != 0 && code != ENOENT) first = code;
      }
    }
    if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0) return 0;
    // A folder that holds a mount stays, and says nothing is lost.
    if (kept_ && errno == ENOTEMPTY) return first;
    return first != 0 ? first : errno;
  }

  // Opens the folder `name` (no link) to list and empty it; one of the
  // user's own whose mode keeps its entries in place gets the owner's
  // permissions on the descriptor. A folder without read permission can be
  // opened only as a path: its mode is then changed through the kernel's
  // name for that descriptor, which is the opened folder and nothing else.
  int openForRemoval(int dirFd, const std::string& name, const Looked& entry, UniqueFd& out) {
    const bool own = entry.owner == ::geteuid();
    UniqueFd folder(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) {
      if (errno != EACCES || !own) return errno;
      const UniqueFd path(::openat(dirFd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!path.valid()) return errno;
      Looked opened;
      if (const int code = lookAt(path.get(), "", opened); code != 0) return code;
      if (opened.place != home_) return EXDEV;
      if (opened.owner != entry.owner) return EACCES;
      const std::string self = "/proc/self/fd/" + std::to_string(path.get());
      if (::chmod(self.c_str(), (opened.mode & 07777) | kOwnerAll) != 0) return EACCES;
      folder = UniqueFd(::openat(path.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!folder.valid()) return errno;
    }
    // What was opened is what is looked at from here on, whatever the name now holds.
    Looked opened;
    if (const int code = lookAt(folder.get(), "", opened); code != 0) return code;
    if (opened.place != home_) return EXDEV;
    if (own && opened.owner == entry.owner && (opened.mode & kOwnerAll) != kOwnerAll) {
      ::fchmod(folder.get(), (opened.mode & 07777) | kOwnerAll);
    }
    out = std::move(folder);
    return 0;
  }

  Place home_;
  bool kept_ = false;
};

// Whether the entry `name` of `dirFd` is a folder, not a link, that holds
// each of `files` as a regular file reached through folders, none a link.
bool holdsEach(int dirFd, const std::string& name, const std::vector<std::string>& files) {
  const UniqueFd root(::openat(dirFd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!root.valid()) return false;
  for (const std::string& file : files) {
    std::vector<std::string> parts;
    for (const auto& part : std::filesystem::path(file)) {
      if (!part.empty() && part != "/") parts.push_back(part.string());
    }
    if (parts.empty()) return false;
    UniqueFd folder;
    int at = root.get();
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      folder = UniqueFd(::openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (!folder.valid()) return false;
      at = folder.get();
    }
    struct stat st {};
    if (::fstatat(at, parts.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
      return false;
  }
  return true;
}

// A path's folder, opened, and its last component.
struct Entry {
  UniqueFd folder;
  std::string name;
  std::string path;
};

int openEntry(const std::string& path, Entry& out) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.ends_with('/')) trimmed.pop_back();
  const std::filesystem::path whole(trimmed);
  const std::filesystem::path parent =
      whole.has_parent_path() ? whole.parent_path() : std::filesystem::path(".");
  out.folder = UniqueFd(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!out.folder.valid()) return errno;
  out.name = whole.filename().string();
  out.path = trimmed;
  return 0;
}

// Renames `a` to `b` unless something is at `b`; answers 0 or the errno.
// Where the kernel has no such flag, the look and the rename are two steps.
int renameNoReplace(const Entry& a, const Entry& b) {
  if (::renameat2(a.folder.get(), a.name.c_str(), b.folder.get(), b.name.c_str(), RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  struct stat st {};
  if (::fstatat(b.folder.get(), b.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(a.folder.get(), a.name.c_str(), b.folder.get(), b.name.c_str()) == 0 ? 0 : errno;
}

Error notAnEarlierCopy(const std::string& path) {
  return Error{std::string(kNotAnEarlierCopyDomain), EEXIST,
               "Could not replace " + quoted(path) + ": it is not an earlier copy"};
}

// The file system's own record of a folder's names: a rename is durable only
// once its folder is flushed.
int flushFolder(int folderFd) { return ::fsync(folderFd) == 0 ? 0 : errno; }

// Everything written below `path` is on disk before anything refers to it by
// its final name.
int flushTree(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return errno;
  return ::syncfs(fd.get()) == 0 ? 0 : errno;
}

}  // namespace

Status copyTree(const std::string& from, const std::string& to, const Cancellation& cancellation) {
  return TreeCopier(cancellation).copy(from, to);
}

int removeTree(const std::string& path) {
  Entry entry;
  if (const int code = openEntry(path, entry); code != 0) return code;
  return TreeRemover().remove(entry.folder.get(), entry.name);
}

bool folderHolds(const std::string& path, const std::vector<std::string>& files) {
  Entry entry;
  if (openEntry(path, entry) != 0) return false;
  return holdsEach(entry.folder.get(), entry.name, files);
}

namespace {

// replaceByRenaming once the replacement is on disk.
Status replaceFlushedByRenaming(const std::string& original, const std::string& replacement,
                                const std::vector<std::string>& originalHolds, const std::string& setAside) {
  const std::string what = "replace " + quoted(original) + " with " + quoted(replacement);
  Entry to;
  Entry from;
  Entry aside;
  for (auto [path, entry] : {std::pair{&original, &to}, {&replacement, &from}, {&setAside, &aside}}) {
    if (const int code = openEntry(*path, *entry); code != 0) return posixFailure(code, what);
  }
  if (!holdsEach(to.folder.get(), to.name, originalHolds)) return notAnEarlierCopy(original);
  // Set aside under a name of the caller's, which its next run sweeps should
  // this one end before the old tree is gone.
  if (const int code = renameNoReplace(to, aside); code != 0) return posixFailure(code, what);
  if (!holdsEach(aside.folder.get(), aside.name, originalHolds)) {
    // Swapped since the look: it goes back as it was.
    (void)renameNoReplace(aside, to);
    return notAnEarlierCopy(original);
  }
  if (const int code = renameNoReplace(from, to); code != 0) {
    (void)renameNoReplace(aside, to);  // the old one goes back where it was
    return posixFailure(code, what);
  }
  (void)flushFolder(to.folder.get());
  (void)TreeRemover().remove(aside.folder.get(), aside.name);
  return success();
}

}  // namespace

Status replaceByRenaming(const std::string& original, const std::string& replacement,
                         const std::vector<std::string>& originalHolds, const std::string& setAside) {
  if (const int code = flushTree(replacement); code != 0) {
    return posixFailure(code, "replace " + quoted(original) + " with " + quoted(replacement));
  }
  return replaceFlushedByRenaming(original, replacement, originalHolds, setAside);
}

Status PosixFileManager::createDirectory(const URL& url, bool withIntermediateDirectories) {
  const std::string path = url.path();
  const std::string what = "create the folder " + quoted(path);
  std::vector<std::string> chain;
  if (withIntermediateDirectories) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      chain.push_back(path.substr(0, slash));
    }
  }
  chain.push_back(path);
  for (const std::string& folder : chain) {
    if (folder.empty() || folder.ends_with('/')) continue;
    if (::mkdir(folder.c_str(), 0777) == 0) continue;
    const int code = errno;
    struct stat st {};
    if (code == EEXIST && ::stat(folder.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      return posixFailure(ENOTDIR, what);
    }
    // A parent that cannot be created is reported with its own reason.
    return posixFailure(code, what);
  }
  return success();
}

Status PosixFileManager::copyItem(const URL& from, const URL& to, const Cancellation& cancellation) {
  return copyTree(from.path(), to.path(), cancellation);
}

bool PosixFileManager::fileExistsAtPath(const std::string& path) {
  struct stat st {};
  // A link counts as something in the way, even when it points nowhere.
  return ::lstat(path.c_str(), &st) == 0;
}

bool PosixFileManager::folderHolds(const URL& url, const std::vector<std::string>& files) {
  return posix::folderHolds(url.path(), files);
}

Status PosixFileManager::replaceItem(const URL& original, const URL& replacement,
                                     const std::vector<std::string>& originalHolds, const URL& setAside) {
  const std::string to = original.path();
  const std::string from = replacement.path();
  const std::string what = "replace " + quoted(to) + " with " + quoted(from);
  Entry old;
  Entry fresh;
  if (const int code = openEntry(to, old); code != 0) return posixFailure(code, what);
  if (const int code = openEntry(from, fresh); code != 0) return posixFailure(code, what);
  if (!holdsEach(old.folder.get(), old.name, originalHolds)) return notAnEarlierCopy(to);
  if (const int code = flushTree(from); code != 0) return posixFailure(code, what);
  if (::renameat2(fresh.folder.get(), fresh.name.c_str(), old.folder.get(), old.name.c_str(),
                  RENAME_EXCHANGE) != 0) {
    if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
      return replaceFlushedByRenaming(to, from, originalHolds, setAside.path());
    return posixFailure(errno, what);
  }
  // What went out is looked at again: it may have been swapped since the
  // first look, and then it goes back as it was.
  if (!holdsEach(fresh.folder.get(), fresh.name, originalHolds)) {
    (void)::renameat2(fresh.folder.get(), fresh.name.c_str(), old.folder.get(), old.name.c_str(),
                      RENAME_EXCHANGE);
    (void)flushFolder(old.folder.get());
    return notAnEarlierCopy(to);
  }
  // The new name is on disk before the old tree goes; a removal that stops
  // short leaves what is left under the replacement's name, which the
  // caller's clean-up looks at again.
  if (const int code = flushFolder(old.folder.get()); code != 0) return posixFailure(code, what);
  (void)TreeRemover().remove(fresh.folder.get(), fresh.name);
  return success();
}

Status PosixFileManager::moveItem(const URL& from, const URL& to) {
  const std::string a = from.path();
  const std::string b = to.path();
  const std::string what = "move " + quoted(a) + " to " + quoted(b);
  if (const int code = flushTree(a); code != 0) return posixFailure(code, what);
  Entry source;
  Entry placed;
  if (const int code = openEntry(a, source); code != 0) return posixFailure(code, what);
  if (const int code = openEntry(b, placed); code != 0) return posixFailure(code, what);
  if (const int code = renameNoReplace(source, placed); code != 0) return posixFailure(code, what);
  if (const int code = flushFolder(placed.folder.get()); code != 0) return posixFailure(code, what);
  return success();
}

Status PosixFileManager::removeItem(const URL& url) {
  const std::string path = url.path();
  if (const int code = removeTree(path); code != 0) {
    if (code == EXDEV) {
      return posixError(code, "Kept part of " + quoted(path) +
                                  ": another file system is mounted inside it, and stays as it is");
    }
    return posixFailure(code, "remove " + quoted(path));
  }
  return success();
}

Outcome<std::vector<std::string>> PosixFileManager::contentsOfDirectory(const URL& url) {
  const std::string path = url.path();
  std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
  if (!dir) return posixFailure(errno, "list the folder " + quoted(path));
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (errno != 0) return posixFailure(errno, "list the folder " + quoted(path));
  return names;
}

namespace {

// flock(2) on a descriptor of the folder itself: no file is written for it,
// and the kernel lets go of it when the descriptor closes, also when the
// process is killed.
class PosixFolderLock final : public FolderLock {
 public:
  explicit PosixFolderLock(UniqueFd fd) : fd_(std::move(fd)) {}
  ~PosixFolderLock() override { ::flock(fd_.get(), LOCK_UN); }
  PosixFolderLock(const PosixFolderLock&) = delete;
  PosixFolderLock& operator=(const PosixFolderLock&) = delete;

 private:
  UniqueFd fd_;
};

}  // namespace

Outcome<std::unique_ptr<FolderLock>> PosixFileManager::lockFolder(const URL& url,
                                                                  const Cancellation& cancellation) {
  const std::string path = url.path();
  const std::string what = "lock the folder " + quoted(path);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return posixFailure(errno, what);
  // Asked without blocking, a few times a second, so that a cancellation is
  // heard while another installation holds it.
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return posixFailure(errno, what);
    if (cancellation.isCancelled()) return cancelledError();
    ::usleep(50'000);
  }
  return std::unique_ptr<FolderLock>(std::make_unique<PosixFolderLock>(std::move(fd)));
}

}  // namespace vorn::platform::posix
