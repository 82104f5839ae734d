// The native messaging host that the browser extension starts to confirm a
// setup. It reads one request from standard input, writes the receipt when
// the request names the last setup's version, and answers on standard output.
// A plain request is answered once and the host exits; whatever follows it is
// left unread. A request to watch keeps the host while the browser holds its
// port open: each new setup recorded meanwhile is confirmed and answered too,
// so a setup run again with the browser open needs no click. The host ends
// when the browser closes its input.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "native_messaging.h"
#include "platform/posix/posix_fd.h"
#include "tool_support.h"

namespace {

using vorn::platform::posix::UniqueFd;
using vorn::tools::FrameStatus;
using vorn::tools::ToolError;

// The browser writes the request as soon as it has started the host.
constexpr auto kReadTime = std::chrono::seconds(10);
constexpr std::size_t kLargestReceipt = 1024;
// A receipt for the current setup younger than this is left as it is, well
// inside the page's 30 minutes: asking again does not rewrite it.
constexpr double kReceiptKeptSeconds = 900;

// Standard input, given up when the whole message has not come in time.
class StandardInput {
 public:
  std::ptrdiff_t operator()(char* into, std::size_t size) {
    using namespace std::chrono;
    for (;;) {
      const auto left = duration_cast<milliseconds>(deadline_ - steady_clock::now()).count();
      if (left <= 0) {
        timedOut_ = true;
        return -1;
      }
      pollfd input{STDIN_FILENO, POLLIN, 0};
      const int ready = ::poll(&input, 1, static_cast<int>(left));
      if (ready < 0 && errno != EINTR) return -1;
      if (ready <= 0) continue;
      const ssize_t got = ::read(STDIN_FILENO, into, size);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      return got;
    }
  }
  [[nodiscard]] bool timedOut() const { return timedOut_; }

 private:
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now() + kReadTime;
  bool timedOut_ = false;
};

bool writeAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool answer(const nlohmann::json& reply) {
  // A path in a failure's words need not be UTF-8; the reply must be.
  const auto frame =
      vorn::tools::encodeFrame(reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  if (frame) return writeAll(*frame);
  return writeAll(
      *vorn::tools::encodeFrame(R"({"confirmed":false,"error":"the answer is too long to send"})"));
}

// Says why on standard error (the browser logs it) and in the reply: one
// line, since every path or text from a file in `why` is escaped.
int refuse(const std::string& why) {
  std::cerr << "vorn-native-host: " << why << '\n';
  answer({{"confirmed", false}, {"error", why}});
  return 1;
}

std::string member(const nlohmann::json& record, const char* name) {
  const auto found = record.find(name);
  return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Whether a recent receipt for exactly this setup is already in `tool`.
bool alreadyConfirmed(int tool, const vorn::tools::Setup& setup) {
  std::optional<std::string> bytes;
  try {
    bytes = vorn::tools::readSmallFileAt(tool, vorn::tools::toolFolder(), std::string(vorn::kReceiptFileName),
                                         kLargestReceipt);
  } catch (const ToolError&) {
    return false;
  }
  if (!bytes) return false;
  const auto receipt = nlohmann::json::parse(*bytes, nullptr, false);
  if (!receipt.is_object() || member(receipt, "token") != setup.token ||
      member(receipt, "version") != setup.version)
    return false;
  const auto createdAt = receipt.find("createdAt");
  if (createdAt == receipt.end() || !createdAt->is_number()) return false;
  const double age = now() - createdAt->get<double>();
  return age >= 0 && age < kReceiptKeptSeconds;
}

// One answer to the request as things stand on disk.
struct Outcome {
  bool confirmed = false;
  std::string token;  // of the setup confirmed
  std::string error;  // why not

  bool operator==(const Outcome&) const = default;
};

// The record and the receipt are both in `tool`, the tools' folder as the
// updater reached it.
Outcome decide(int tool, const vorn::tools::ConfirmRequest& request, std::string& version) {
  try {
    const vorn::tools::Setup setup = vorn::tools::readLastSetupAt(tool);
    if (request.version != setup.version)
      return {false,
              {},
              "the request names another version than the last setup, " +
                  vorn::tools::escapedText(setup.version)};
    // Checked before the receipt is written, so that a confirmation is always answered.
    if (setup.version.size() + 64 > vorn::tools::kMaxOutgoingMessage)
      return {false, {}, "the last setup's version is too long to answer with"};
    if (!alreadyConfirmed(tool, setup)) vorn::tools::writeReceiptAt(tool, setup);
    version = setup.version;
    return {true, setup.token, {}};
  } catch (const ToolError& failure) {
    return {false, {}, failure.what()};
  }
}

int send(const Outcome& outcome, const std::string& version) {
  if (!outcome.confirmed) return refuse(outcome.error);
  return answer({{"confirmed", true}, {"version", version}}) ? 0 : 1;
}

// Notices of files finished or renamed into the tool's folder, where the
// updater writes its record: the folder open as `tool`, never one that a
// link, or a folder put in its place since, leads to.
class FolderWatch {
 public:
  explicit FolderWatch(int tool) : notices_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    constexpr std::uint32_t kNotices =
        IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    struct stat folder {};
    if (!notices_.valid() || ::fstat(tool, &folder) != 0) {
      notices_.reset();
      return;
    }
    // The descriptor's own entry names the open folder itself; without /proc,
    // the path is watched where it is, its last step never followed.
    const std::string own = "/proc/self/fd/" + std::to_string(tool);
    const auto path = vorn::tools::toolFolder();
    struct stat watched {};
    if (::inotify_add_watch(notices_.get(), own.c_str(), kNotices) >= 0 &&
        ::stat(own.c_str(), &watched) == 0 && sameFile(folder, watched))
      return;
    if (::inotify_add_watch(notices_.get(), path.c_str(), kNotices | IN_DONT_FOLLOW) >= 0 &&
        ::lstat(path.c_str(), &watched) == 0 && sameFile(folder, watched))
      return;
    notices_.reset();
  }
  [[nodiscard]] bool valid() const { return notices_.valid(); }
  [[nodiscard]] int fd() const { return notices_.get(); }

  static bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  }

  enum class Seen { Nothing, Record, FolderGone };
  Seen read() {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    Seen seen = Seen::Nothing;
    for (;;) {
      const ssize_t got = ::read(notices_.get(), buffer.data(), buffer.size());
      if (got <= 0) return seen;
      for (std::size_t at = 0; at + sizeof(inotify_event) <= static_cast<std::size_t>(got);) {
        inotify_event event{};
        std::memcpy(&event, buffer.data() + at, sizeof event);
        const std::string_view name(buffer.data() + at + sizeof event, event.len);
        if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0) return Seen::FolderGone;
        if (name.substr(0, name.find('\0')) == vorn::tools::kLastSetupFileName) seen = Seen::Record;
        at += sizeof event + event.len;
      }
    }
  }

 private:
  UniqueFd notices_;
};

// Answers again on each new record until the browser closes the input (or
// the folder goes away); the status is that of the last answer.
int watch(int tool, const vorn::tools::ConfirmRequest& request, FolderWatch& folder, Outcome last,
          int status) {
  for (;;) {
    std::array<pollfd, 2> waits{{{STDIN_FILENO, POLLIN, 0}, {folder.fd(), POLLIN, 0}}};
    if (::poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return status;
    }
    if ((waits[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return status;
    if ((waits[0].revents & POLLIN) != 0) {
      // The browser sends nothing more; whatever it does send is dropped.
      std::array<char, 4096> ignored{};
      const ssize_t got = ::read(STDIN_FILENO, ignored.data(), ignored.size());
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return status;
    }
    if ((waits[1].revents & POLLIN) == 0) continue;
    const FolderWatch::Seen seen = folder.read();
    if (seen == FolderWatch::Seen::FolderGone) return status;
    if (seen == FolderWatch::Seen::Nothing) continue;
    std::string version;
    Outcome outcome = decide(tool, request, version);
    if (outcome == last) continue;  // the same setup, written again
    status = send(outcome, version);
    last = std::move(outcome);
  }
}

int confirm(const vorn::tools::ConfirmRequest& request) {
  // Without its folder there is nothing to confirm, and nothing to watch.
  const UniqueFd tool = vorn::tools::openToolFolder();
  // Watched before the first look, so that no record written in between is missed.
  std::optional<FolderWatch> folder;
  if (request.watch) folder.emplace(tool.get());
  std::string version;
  const Outcome first = decide(tool.get(), request, version);
  const int status = send(first, version);
  if (!folder || !folder->valid()) return status;
  return watch(tool.get(), request, *folder, first, status);
}

}  // namespace

int main(int argc, char** argv) {
  // A browser that has gone away makes writing fail, not the host die.
  std::signal(SIGPIPE, SIG_IGN);
  // The browser never passes it: it is for the person asking what is installed.
  if (vorn::tools::printedVersion(argc, argv, "vorn-native-host")) return 0;
  try {
    // The browser names the caller's origin first; other platforms add more.
    if (argc < 2 || argv[1] != vorn::tools::kExtensionOrigin)
      return refuse("only the Vorn Preview extension may use this host");
    StandardInput input;
    const auto frame =
        vorn::tools::readFrame([&](char* into, std::size_t size) { return input(into, size); });
    if (frame.status != FrameStatus::Complete) {
      return refuse(input.timedOut()
                        ? "no whole message came within " + std::to_string(kReadTime.count()) + " seconds"
                        : vorn::tools::describe(frame.status));
    }
    const auto decoded = vorn::tools::decodeRequest(frame.message);
    if (!decoded.request) return refuse(vorn::tools::describe(decoded.error));
    return confirm(*decoded.request);
  } catch (const ToolError& failure) {
    return refuse(failure.what());
  } catch (const std::exception& failure) {
    // A library's own words are for the log, not the reply.
    std::cerr << "vorn-native-host: " << vorn::tools::escapedText(failure.what()) << '\n';
    answer({{"confirmed", false}, {"error", "the host failed unexpectedly; see the browser's log"}});
    return 1;
  }
}
