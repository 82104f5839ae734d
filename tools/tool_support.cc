#include "tool_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_home.h"

namespace vorn::tools {
namespace {

[[noreturn]] void failWithErrno(const std::string& what, const std::filesystem::path& path) {
  throw ToolError(what + " " + path.string() + ": " + std::strerror(errno));
}

// Removes a temporary file unless it has been renamed into place.
class TemporaryName {
 public:
  explicit TemporaryName(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryName() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryName(const TemporaryName&) = delete;
  TemporaryName& operator=(const TemporaryName&) = delete;
  void release() { path_.clear(); }

 private:
  std::filesystem::path path_;
};

std::filesystem::path homeFolder() {
  if (std::optional<std::string> home = platform::posix::homeFolder()) return *home;
  throw ToolError("cannot find the home folder: HOME is not set");
}

void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      failWithErrno("cannot write", path);
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace

std::filesystem::path userDataFolder() {
  // Relative values are invalid by the base directory rules and are ignored.
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') return data;
  return homeFolder() / ".local" / "share";
}

std::filesystem::path userConfigFolder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
    return config;
  return homeFolder() / ".config";
}

std::string encodeSetup(const Setup& setup) {
  return nlohmann::json{{"folder", setup.folder}, {"token", setup.token}, {"version", setup.version}}.dump();
}

Setup readLastSetup() {
  const auto path = toolFolder() / kLastSetupFileName;
  std::optional<std::string> text;
  try {
    text = readSmallFile(path, kLargestLastSetup);
  } catch (const ToolError&) {
  }
  if (!text)
    throw ToolError("no setup to confirm: " + path.string() + " cannot be read; run vorn-updater --setup");
  try {
    const auto json = nlohmann::json::parse(*text);
    return Setup{json.at("folder").get<std::string>(), json.at("token").get<std::string>(),
                 json.at("version").get<std::string>()};
  } catch (const nlohmann::json::exception&) {
    throw ToolError("the last setup in " + path.string() + " is not a valid record");
  }
}

std::filesystem::path receiptFolderFor(const std::filesystem::path& folder) {
  auto clean = folder;
  while (clean.has_relative_path() && !clean.has_filename()) clean = clean.parent_path();
  return clean.parent_path();
}

std::filesystem::path writeReceipt(const Setup& setup, double age) {
  using namespace std::chrono;
  const double now = duration<double>(system_clock::now().time_since_epoch()).count();
  auto path = receiptFolderFor(setup.folder) / kReceiptFileName;
  const nlohmann::json receipt{{"token", setup.token}, {"version", setup.version}, {"createdAt", now - age}};
  writeFileAtomically(path, receipt.dump() + "\n");
  return path;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
  const auto folder = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  // The hidden name is the file's own name with a dot before and the
  // template after, composed in place.
  std::string hidden = path.filename().string();
  hidden.insert(0, 1, '.');
  hidden.append(".XXXXXX");
  std::string pattern = (folder / hidden).string();
  platform::posix::UniqueFd file(::mkostemp(pattern.data(), O_CLOEXEC));
  if (file.get() < 0) failWithErrno("cannot create a temporary file in", folder);
  TemporaryName temporary(pattern);
  // mkstemp makes the file private; the result is an ordinary readable file.
  if (::fchmod(file.get(), 0644) != 0) failWithErrno("cannot set the mode of", pattern);
  writeAll(file.get(), bytes, pattern);
  if (::fsync(file.get()) != 0) failWithErrno("cannot flush", pattern);
  if (file.close() != 0) failWithErrno("cannot close", pattern);
  if (::rename(pattern.c_str(), path.c_str()) != 0) failWithErrno("cannot rename into place", path);
  temporary.release();
  // The rename itself should survive a crash too.
  platform::posix::UniqueFd directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) ::fsync(directory.get());
}

bool isUtf8(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text)).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

std::filesystem::path normalFolder(const std::filesystem::path& path) {
  auto clean = path.lexically_normal();
  while (clean.has_relative_path() && !clean.has_filename()) clean = clean.parent_path();
  return clean;
}

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

}  // namespace

int openRootFolder(const std::filesystem::path& root, bool make, std::vector<std::filesystem::path>* made) {
  const auto clean = normalFolder(root);
  if (!clean.is_absolute()) return -EINVAL;
  // The deepest folder of the path that is there; the rest is made below it.
  std::vector<std::string> missing;
  auto existing = clean;
  platform::posix::UniqueFd folder;
  for (;;) {
    folder = platform::posix::UniqueFd(::open(existing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) break;
    const int error = errno;
    if (error != ENOENT || !existing.has_relative_path()) return -error;
    if (!make) return -ENOENT;
    missing.push_back(existing.filename().string());
    existing = existing.parent_path();
  }
  for (auto name = missing.rbegin(); name != missing.rend(); ++name) {
    const int child = openFolderAt(folder.get(), existing, *name, true, made);
    if (child < 0) return child;
    folder = platform::posix::UniqueFd(child);
    existing /= *name;
  }
  return folder.release();
}

int openFolderAt(int parent, const std::filesystem::path& parentPath, const std::string& name, bool make,
                 std::vector<std::filesystem::path>* made) {
  int fd = ::openat(parent, name.c_str(), kFolderFlags);
  if (fd >= 0 || errno != ENOENT || !make) return fd >= 0 ? fd : -errno;
  if (::mkdirat(parent, name.c_str(), 0755) == 0) {
    if (made != nullptr) made->push_back(parentPath / name);
  } else if (errno != EEXIST) {
    return -errno;
  }
  fd = ::openat(parent, name.c_str(), kFolderFlags);
  return fd >= 0 ? fd : -errno;
}

std::string describeFailure(int parent, const std::filesystem::path& path, int error) {
  const std::string name = path.filename().string();
  struct stat status {};
  const bool isLink =
      ::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
  if (isLink || error == ELOOP) {
    const bool leads = ::fstatat(parent, name.c_str(), &status, 0) == 0;
    return path.string() + (leads ? " is a symbolic link, which setup does not follow"
                                  : " is a symbolic link that leads nowhere");
  }
  if (error == ENOTDIR) return path.string() + " is a file where a folder should be";
  if (error == EISDIR) return path.string() + " is a folder where a file should be";
  return path.string() + ": " + std::strerror(error);
}

void writeFileAtomicallyAt(int folder, const std::filesystem::path& folderPath, const std::string& name,
                           std::string_view bytes) {
  const auto path = folderPath / name;
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      (S_ISLNK(status.st_mode) || S_ISDIR(status.st_mode)))
    throw ToolError(describeFailure(folder, path, S_ISDIR(status.st_mode) ? EISDIR : ELOOP));
  const std::string hidden = "." + name + "." + randomToken().substr(0, 12);
  platform::posix::UniqueFd file(
      ::openat(folder, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file.valid()) failWithErrno("cannot create a file in", folderPath);
  struct Remove {
    int folder;
    const std::string* name;
    ~Remove() {
      if (name != nullptr) ::unlinkat(folder, name->c_str(), 0);
    }
  } temporary{folder, &hidden};
  if (::fchmod(file.get(), 0644) != 0) failWithErrno("cannot set the mode of", folderPath / hidden);
  writeAll(file.get(), bytes, folderPath / hidden);
  if (::fsync(file.get()) != 0) failWithErrno("cannot flush", folderPath / hidden);
  if (file.close() != 0) failWithErrno("cannot close", folderPath / hidden);
  if (::renameat(folder, hidden.c_str(), folder, name.c_str()) != 0)
    failWithErrno("cannot rename into place", path);
  temporary.name = nullptr;
  ::fsync(folder);
}

std::optional<std::string> readSmallFileAt(int folder, const std::filesystem::path& folderPath,
                                           const std::string& name, std::size_t limit) {
  const auto path = folderPath / name;
  platform::posix::UniqueFd file(
      ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ENOENT) return std::nullopt;
    throw ToolError("cannot read " + describeFailure(folder, path, errno));
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) failWithErrno("cannot read", path);
  if (!S_ISREG(status.st_mode))
    throw ToolError("cannot read " + path.string() + ": it is not a regular file");
  std::string text;
  std::array<char, 16384> chunk{};
  for (;;) {
    const ssize_t got = ::read(file.get(), chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      failWithErrno("cannot read", path);
    }
    if (got == 0) return text;
    text.append(chunk.data(), static_cast<size_t>(got));
    if (text.size() > limit)
      throw ToolError(path.string() + " is longer than " + std::to_string(limit) + " bytes");
  }
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
  const auto folderPath = path.parent_path();
  const platform::posix::UniqueFd folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) {
    if (errno == ENOENT) return std::nullopt;
    failWithErrno("cannot read", path);
  }
  return readSmallFileAt(folder.get(), folderPath, path.filename().string(), limit);
}

void removeTreeAt(int parent, const std::filesystem::path& parentPath, const std::string& name,
                  std::vector<std::string>& failures) {
  const auto path = parentPath / name;
  struct stat status {};
  if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) failures.push_back("cannot remove " + describeFailure(parent, path, errno));
    return;
  }
  const bool folder = S_ISDIR(status.st_mode);
  if (folder) {
    const size_t before = failures.size();
    platform::posix::UniqueFd fd(::openat(parent, name.c_str(), kFolderFlags));
    if (!fd.valid()) {
      failures.push_back("cannot remove " + describeFailure(parent, path, errno));
      return;
    }
    std::vector<std::string> names;
    platform::posix::UniqueFd listing(::dup(fd.get()));
    std::unique_ptr<DIR, int (*)(DIR*)> entries(listing.valid() ? ::fdopendir(listing.get()) : nullptr,
                                                &::closedir);
    if (!entries) {
      failures.push_back("cannot remove " + describeFailure(parent, path, errno));
      return;
    }
    listing.release();
    while (const dirent* entry = ::readdir(entries.get())) {
      const std::string_view child = entry->d_name;
      if (child != "." && child != "..") names.emplace_back(child);
    }
    for (const auto& child : names) removeTreeAt(fd.get(), path, child, failures);
    if (failures.size() > before) return;
  }
  if (::unlinkat(parent, name.c_str(), folder ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT)
    failures.push_back("cannot remove " + describeFailure(parent, path, errno));
}

std::string randomToken() {
  std::array<unsigned char, 16> bits{};
  size_t filled = 0;
  while (filled < bits.size()) {
    const ssize_t got = ::getrandom(bits.data() + filled, bits.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ToolError(std::string("cannot get random bytes: ") + std::strerror(errno));
    }
    filled += static_cast<size_t>(got);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bits) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 0xF];
  }
  return token;
}

}  // namespace vorn::tools
