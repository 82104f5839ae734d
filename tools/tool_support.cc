#include "tool_support.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
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
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw ToolError("no setup to confirm: " + path.string() + " cannot be read; run vorn-updater --setup");
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  try {
    const auto json = nlohmann::json::parse(text);
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
