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
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_home.h"

namespace vorn::tools {
namespace {

[[noreturn]] void failWithErrno(const std::string& what, const std::filesystem::path& path) {
  throw ToolError(what + " " + escapedPath(path) + ": " + std::strerror(errno));
}

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

std::optional<std::filesystem::path> absoluteEnvironmentFolder(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] == '\0') return std::nullopt;
  const std::filesystem::path path(value);
  std::string why;
  if (!path.is_absolute()) why = "it is not an absolute path";
  for (const auto& step : path.relative_path()) {
    if (why.empty() && (step == "." || step == "..")) why = "it has \".\" or \"..\" in its path";
  }
  if (why.empty()) return normalFolder(path);
  // Each tool asks more than once; one line says it.
  static std::mutex lock;
  static std::set<std::string> told;
  const std::lock_guard guard(lock);
  if (told.insert(name).second)
    std::cerr << program_invocation_short_name << ": " << name << " is ignored: " << escapedText(value)
              << ": " << why << '\n';
  return std::nullopt;
}

std::filesystem::path userDataFolder() {
  // Relative values are invalid by the base directory rules and are ignored.
  if (auto data = absoluteEnvironmentFolder("XDG_DATA_HOME")) return *data;
  return normalFolder(homeFolder() / ".local" / "share");
}

std::filesystem::path userConfigFolder() {
  if (auto config = absoluteEnvironmentFolder("XDG_CONFIG_HOME")) return *config;
  return normalFolder(homeFolder() / ".config");
}

std::string encodeSetup(const Setup& setup) {
  return nlohmann::json{{"folder", setup.folder}, {"token", setup.token}, {"version", setup.version}}.dump();
}

namespace {

std::string member(const nlohmann::json& record, const char* name) {
  const auto found = record.find(name);
  return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// Why `folder` is not the folder a record may name, in words that say what
// is wrong with its shape first: the receipt goes beside it.
std::optional<std::string> foreignFolder(const std::string& folder) {
  if (folder.empty()) return "names no folder";
  const std::filesystem::path path(folder);
  if (!path.is_absolute()) return "names a folder that is not an absolute path: " + escapedText(folder);
  bool named = false;
  for (const std::filesystem::path& step : path.relative_path()) {
    if (step == "." || step == "..")
      return "names a folder with \".\" or \"..\" in its path: " + escapedText(folder);
    if (!step.empty()) named = true;
  }
  if (!named) return "names \"/\", which has no folder beside it";
  // As the updater writes it; another spelling of the same folder is not.
  if (folder != extensionFolder().native())
    return "names " + escapedText(folder) + ", not the extension folder " + escapedPath(extensionFolder());
  return std::nullopt;
}

}  // namespace

platform::posix::UniqueFd openToolFolder() {
  const auto tool = toolFolder();
  const auto root = tool.parent_path();
  const int data = openRootFolder(root, false, nullptr);
  if (data == -ENOENT)
    throw ToolError("no setup to confirm: " + escapedPath(tool) +
                    " does not exist; run vorn-updater --setup");
  if (data < 0) throw ToolError("cannot open " + escapedPath(root) + ": " + describeError(-data));
  const platform::posix::UniqueFd rootFd(data);
  const int fd = openFolderAt(rootFd.get(), root, tool.filename().string(), false, nullptr);
  if (fd == -ENOENT)
    throw ToolError("no setup to confirm: " + escapedPath(tool) +
                    " does not exist; run vorn-updater --setup");
  if (fd < 0) throw ToolError(describeFailure(rootFd.get(), tool, -fd));
  return platform::posix::UniqueFd(fd);
}

Setup readLastSetupAt(int tool) {
  const auto folder = toolFolder();
  const std::string name(kLastSetupFileName);
  std::optional<std::string> bytes;
  try {
    bytes = readSmallFileAt(tool, folder, name, kLargestLastSetup);
  } catch (const ToolError& failure) {
    throw ToolError(std::string("no setup to confirm: ") + failure.what() + "; run vorn-updater --setup");
  }
  if (!bytes)
    throw ToolError("no setup to confirm: " + escapedPath(folder / name) +
                    " does not exist; run vorn-updater --setup");
  const std::string prefix = "the last setup in " + escapedPath(folder / name);
  const auto record = nlohmann::json::parse(*bytes, nullptr, false);
  if (record.is_discarded()) throw ToolError(prefix + " is not JSON in UTF-8");
  if (!record.is_object()) throw ToolError(prefix + " is not a valid record");
  Setup setup{member(record, "folder"), member(record, "token"), member(record, "version")};
  if (setup.token.empty() || setup.version.empty()) throw ToolError(prefix + " is not a valid record");
  if (const auto why = foreignFolder(setup.folder)) throw ToolError(prefix + " " + *why);
  return setup;
}

Setup readLastSetup() { return readLastSetupAt(openToolFolder().get()); }

std::filesystem::path receiptFolderFor(const std::filesystem::path& folder) {
  auto clean = folder;
  while (clean.has_relative_path() && !clean.has_filename()) clean = clean.parent_path();
  return clean.parent_path();
}

std::filesystem::path writeReceiptAt(int tool, const Setup& setup, double age) {
  using namespace std::chrono;
  if (const auto why = foreignFolder(setup.folder)) throw ToolError("the setup " + *why);
  const double now = duration<double>(system_clock::now().time_since_epoch()).count();
  const nlohmann::json receipt{{"token", setup.token}, {"version", setup.version}, {"createdAt", now - age}};
  writeFileAtomicallyAt(tool, toolFolder(), std::string(kReceiptFileName), receipt.dump() + "\n");
  return toolFolder() / kReceiptFileName;
}

std::filesystem::path writeReceipt(const Setup& setup, double age) {
  return writeReceiptAt(openToolFolder().get(), setup, age);
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
  const auto folderPath = path.parent_path().empty() ? std::filesystem::path(".") : path.parent_path();
  const platform::posix::UniqueFd folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) failWithErrno("cannot open", folderPath);
  writeFileAtomicallyAt(folder.get(), folderPath, path.filename().string(), bytes);
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

// The length of the UTF-8 sequence at the start of `text`, or 0 when it is
// not one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t utf8Length(std::string_view text) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned int low = 0x80;
  unsigned int high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t at = 1; at < length; ++at) {
    const unsigned int next = byte(at);
    if (next < (at == 1 ? low : 0x80) || next > (at == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

}  // namespace

std::string escapedText(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text.front());
    const std::size_t length = utf8Length(text);
    if (byte == '\\') {
      escaped += "\\\\";
    } else if (byte == '\n') {
      escaped += "\\n";
    } else if (byte == '\t') {
      escaped += "\\t";
    } else if (byte == '\r') {
      escaped += "\\r";
    } else if (length == 0 || byte < 0x20 || byte == 0x7F) {
      escaped += "\\x";
      escaped += kDigits[byte >> 4];
      escaped += kDigits[byte & 0xF];
    } else {
      escaped.append(text.substr(0, length));
      text.remove_prefix(length);
      continue;
    }
    text.remove_prefix(1);
  }
  return escaped;
}

std::string escapedPath(const std::filesystem::path& path) { return escapedText(path.native()); }

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

namespace {

// `fd` when the folder is the user's own (or root's) and only its owner may
// change it; otherwise it is closed and the reason given.
int ownFolderOnly(int fd) {
  if (fd < 0) return -errno;
  platform::posix::UniqueFd folder(fd);
  struct stat status {};
  if (::fstat(folder.get(), &status) != 0) return -errno;
  if (status.st_uid != ::geteuid() && status.st_uid != 0) return -kOwnedByAnother;
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) return -kWritableByOthers;
  return folder.release();
}

}  // namespace

int openFolderAt(int parent, const std::filesystem::path& parentPath, const std::string& name, bool make,
                 std::vector<std::filesystem::path>* made) {
  const int fd = ::openat(parent, name.c_str(), kFolderFlags);
  if (fd >= 0 || errno != ENOENT || !make) return ownFolderOnly(fd);
  if (::mkdirat(parent, name.c_str(), 0755) == 0) {
    if (made != nullptr) made->push_back(parentPath / name);
  } else if (errno != EEXIST) {
    return -errno;
  }
  // Made by someone else in between, it is judged as any folder found there.
  return ownFolderOnly(::openat(parent, name.c_str(), kFolderFlags));
}

std::string describeFailure(int parent, const std::filesystem::path& path, int error) {
  const std::string name = path.filename().string();
  struct stat status {};
  const bool isLink =
      ::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode);
  const std::string shown = escapedPath(path);
  if (isLink || error == ELOOP) {
    const bool leads = ::fstatat(parent, name.c_str(), &status, 0) == 0;
    return shown + (leads ? " is a symbolic link, which setup does not follow"
                          : " is a symbolic link that leads nowhere");
  }
  if (error == ENOTDIR) return shown + " is a file where a folder should be";
  if (error == EISDIR) return shown + " is a folder where a file should be";
  if (error == kOwnedByAnother || error == kWritableByOthers) return shown + " " + describeError(error);
  return shown + ": " + describeError(error);
}

std::string describeError(int error) {
  if (error == kOwnedByAnother) return "belongs to another user, so setup does not use it";
  if (error == kWritableByOthers) return "may be changed by other users, so setup does not use it";
  return std::strerror(error);
}

std::string temporaryNameOf(const std::string& name) {
  return "." + name + "." + randomToken().substr(0, 12);
}

bool isTemporaryOf(std::string_view entry, std::string_view name) {
  constexpr size_t kDigits = 12;
  if (entry.size() != name.size() + 2 + kDigits || entry.front() != '.' ||
      entry.substr(1, name.size()) != name || entry[1 + name.size()] != '.')
    return false;
  const std::string_view digits = entry.substr(entry.size() - kDigits);
  return digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

void writeFileAtomicallyAt(int folder, const std::filesystem::path& folderPath, const std::string& name,
                           std::string_view bytes, mode_t mode) {
  const auto path = folderPath / name;
  struct stat status {};
  if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
      (S_ISLNK(status.st_mode) || S_ISDIR(status.st_mode)))
    throw ToolError(describeFailure(folder, path, S_ISDIR(status.st_mode) ? EISDIR : ELOOP));
  const std::string hidden = temporaryNameOf(name);
  // The umask takes from the mode; only a program's owner execute bit is given back.
  platform::posix::UniqueFd file(
      ::openat(folder, hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!file.valid()) failWithErrno("cannot create a file in", folderPath);
  struct Remove {
    int folder;
    const std::string* name;
    ~Remove() {
      if (name != nullptr) ::unlinkat(folder, name->c_str(), 0);
    }
  } temporary{folder, &hidden};
  if ((mode & S_IXUSR) != 0) {
    if (::fstat(file.get(), &status) != 0) failWithErrno("cannot look at", folderPath / hidden);
    if ((status.st_mode & S_IXUSR) == 0 && ::fchmod(file.get(), (status.st_mode & 07777) | S_IXUSR) != 0)
      failWithErrno("cannot set the mode of", folderPath / hidden);
  }
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
    throw ToolError("cannot read " + escapedPath(path) + ": it is not a regular file");
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
      throw ToolError(escapedPath(path) + " is longer than " + std::to_string(limit) + " bytes");
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

bool printedVersion(int argc, char** argv, std::string_view program) {
  if (argc != 2 || std::string_view(argv[1]) != "--version") return false;
  std::cout << program << ' ' << kVersion << '\n';
  return true;
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
