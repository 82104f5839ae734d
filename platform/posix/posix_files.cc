// The installer's file operations, on descriptors so that no link is followed
// out of the tree being copied or removed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/posix_error.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"
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

// Removes one entry of an open folder, a whole tree without following links.
// A folder of the user's own whose mode keeps its entries in place (no write
// or search permission for its owner) is given that permission first.
int removeEntry(int dirFd, const std::string& name) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(dirFd, name.c_str(), 0) == 0 ? 0 : errno;
  constexpr mode_t kOwnerAll = S_IRUSR | S_IWUSR | S_IXUSR;
  if ((st.st_mode & kOwnerAll) != kOwnerAll && st.st_uid == ::geteuid()) {
    // Not a link (lstat said a folder); fchmodat cannot be told not to follow one.
    ::fchmodat(dirFd, name.c_str(), (st.st_mode & 07777) | kOwnerAll, 0);
  }
  int first = 0;
  {
    UniqueFd folder(::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return errno;
    UniqueFd listed(::dup(folder.get()));
    if (!listed.valid()) return errno;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listed.get()));
    if (!dir) return errno;
    listed.release();  // the listing closes it
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string child = entry->d_name;
      if (child != "." && child != "..") names.push_back(child);
    }
    for (const std::string& child : names) {
      const int code = removeEntry(folder.get(), child);
      if (first == 0 && code != 0 && code != ENOENT) first = code;
    }
  }
  if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) return first != 0 ? first : errno;
  return 0;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

Status copyTree(const std::string& from, const std::string& to, const Cancellation& cancellation) {
  return TreeCopier(cancellation).copy(from, to);
}

int removeTree(const std::string& path) {
  const std::filesystem::path whole(path);
  const std::filesystem::path parent =
      whole.has_parent_path() ? whole.parent_path() : std::filesystem::path(".");
  UniqueFd folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return errno;
  return removeEntry(folder.get(), whole.filename().string());
}

Status replaceByRenaming(const std::string& original, const std::string& replacement) {
  const std::string what = "replace " + quoted(original) + " with " + quoted(replacement);
  std::string aside;
  for (int attempt = 0;; ++attempt) {
    aside = original + ".replaced-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    if (!exists(aside)) break;
  }
  if (::renameat2(AT_FDCWD, original.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) != 0) {
    return posixFailure(errno, what);
  }
  if (::rename(replacement.c_str(), original.c_str()) != 0) {
    const int code = errno;
    ::rename(aside.c_str(), original.c_str());  // the old one goes back where it was
    return posixFailure(code, what);
  }
  // The old tree goes under the replacement's now free name, which the
  // caller's clean-up knows: should its removal fail, nothing is left under a
  // name that nobody looks for.
  const std::string& old = ::rename(aside.c_str(), replacement.c_str()) == 0 ? replacement : aside;
  (void)removeTree(old);
  return success();
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

Status PosixFileManager::replaceItem(const URL& original, const URL& replacement) {
  const std::string to = original.path();
  const std::string from = replacement.path();
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
    // The old tree now lies under the replacement's name; a removal that
    // fails leaves it there, where the caller's clean-up looks again.
    (void)removeTree(from);
    return success();
  }
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) return replaceByRenaming(to, from);
  return posixFailure(errno, "replace " + quoted(to) + " with " + quoted(from));
}

Status PosixFileManager::moveItem(const URL& from, const URL& to) {
  const std::string a = from.path();
  const std::string b = to.path();
  const std::string what = "move " + quoted(a) + " to " + quoted(b);
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return success();
  if (errno != EINVAL && errno != ENOSYS) return posixFailure(errno, what);
  if (exists(b)) return posixFailure(EEXIST, what);
  if (::rename(a.c_str(), b.c_str()) != 0) return posixFailure(errno, what);
  return success();
}

Status PosixFileManager::removeItem(const URL& url) {
  std::string trimmed = url.path();
  while (trimmed.size() > 1 && trimmed.ends_with('/')) trimmed.pop_back();
  const std::string& path = trimmed;
  if (const int code = removeTree(path); code != 0) return posixFailure(code, "remove " + quoted(path));
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
