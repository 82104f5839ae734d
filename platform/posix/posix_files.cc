// The installer's file operations, on descriptors so that no link is followed
// out of the tree being copied or removed.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
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

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_foundation.h"
#include "platform/posix/posix_tree.h"

namespace vorn::platform::posix {

Error posixFailure(int code, const std::string& what) {
  return Error{"NSPOSIXErrorDomain", code, "Could not " + what + ": " + std::strerror(code)};
}

namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

class TreeCopier {
 public:
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
    return Error{"NSPOSIXErrorDomain", ENOTSUP,
                 "Could not copy " + quoted(srcPath) + ": it is not a file, a folder or a link"};
  }

  Status copyFolder(int srcDir, const std::string& srcName, int dstDir, const std::string& dstName,
                    const std::string& srcPath, const std::string& dstPath, const struct stat& st) {
    const int in = ::openat(srcDir, srcName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) return fail(errno, srcPath, dstPath);
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(in));
    if (!dir) {
      const int code = errno;
      ::close(in);
      return fail(code, srcPath, dstPath);
    }
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

  bool tryClone_ = true;
  bool useCopyRange_ = true;
};

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

Status copyTree(const std::string& from, const std::string& to) { return TreeCopier().copy(from, to); }

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
  std::error_code ignored;
  std::filesystem::remove_all(aside, ignored);
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

Status PosixFileManager::copyItem(const URL& from, const URL& to) { return copyTree(from.path(), to.path()); }

bool PosixFileManager::fileExistsAtPath(const std::string& path) {
  struct stat st {};
  // A link counts as something in the way, even when it points nowhere.
  return ::lstat(path.c_str(), &st) == 0;
}

Status PosixFileManager::replaceItem(const URL& original, const URL& replacement) {
  const std::string to = original.path();
  const std::string from = replacement.path();
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
    // The old tree now lies under the replacement's name.
    std::error_code ignored;
    std::filesystem::remove_all(from, ignored);
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
  const std::string path = url.path();
  if (!exists(path)) return posixFailure(ENOENT, "remove " + quoted(path));
  std::error_code ec;
  std::filesystem::remove_all(path, ec);  // links are removed, never followed
  if (ec) return posixFailure(ec.value(), "remove " + quoted(path));
  return success();
}

}  // namespace vorn::platform::posix
