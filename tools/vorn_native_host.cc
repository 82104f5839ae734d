// The native messaging host that the browser extension starts to confirm a
// setup. It reads one request from standard input, writes the receipt when
// the request names the last setup's version, and answers on standard output.
// The extension sends one message per start, so the host answers one and
// exits; whatever follows it is left unread.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "native_messaging.h"
#include "tool_support.h"

namespace {

using vorn::tools::FrameStatus;

// The browser writes the request as soon as it has started the host.
constexpr auto kReadTime = std::chrono::seconds(10);

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

// Says why on standard error (the browser logs it) and in the reply.
int refuse(const std::string& why) {
  std::cerr << "vorn-native-host: " << why << '\n';
  answer({{"confirmed", false}, {"error", why}});
  return 1;
}

int confirm(const vorn::tools::ConfirmRequest& request) {
  const vorn::tools::Setup setup = vorn::tools::readLastSetup();
  if (request.version != setup.version)
    return refuse("the request names another version than the last setup, " + setup.version);
  const nlohmann::json reply{{"confirmed", true}, {"version", setup.version}};
  // Checked before the receipt is written, so that a confirmation is always answered.
  if (reply.dump().size() > vorn::tools::kMaxOutgoingMessage)
    return refuse("the last setup's version is too long to answer with");
  vorn::tools::writeReceipt(setup);
  return answer(reply) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A browser that has gone away makes writing fail, not the host die.
  std::signal(SIGPIPE, SIG_IGN);
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
  } catch (const std::exception& failure) {
    return refuse(failure.what());
  }
}
