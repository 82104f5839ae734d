// The native host as the real executable, with a throw-away home: records it
// must not trust, a record of any size, asking again once confirmed, and a
// host that watches while new setups are recorded beside it.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "controller_fixture.h"
#include "platform/posix/posix_fd.h"
#include "tool_test_support.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using platform::posix::UniqueFd;
using tool_testing::frame;
using tool_testing::now;
using tool_testing::readFile;

#ifdef VORN_NATIVE_HOST_PATH
constexpr const char* kHost = VORN_NATIVE_HOST_PATH;
#else
constexpr const char* kHost = nullptr;
#endif

constexpr const char* kOrigin = "chrome-extension://ldieoajldojdadeoenlijijeolcdiogl/";
constexpr const char* kVersion = "4.5.6";

std::string request(bool watch) {
  return frame(nlohmann::json{{"request", "confirm"}, {"version", kVersion}, {"watch", watch}}.dump());
}

// Each whole frame in `out`, as JSON; what is left over stays in `out`.
std::vector<nlohmann::json> takeFrames(std::string& out) {
  std::vector<nlohmann::json> frames;
  std::uint32_t length = 0;
  while (out.size() >= sizeof length) {
    std::memcpy(&length, out.data(), sizeof length);
    if (out.size() - sizeof length < length) break;
    frames.push_back(nlohmann::json::parse(out.substr(sizeof length, length), nullptr, false));
    out.erase(0, sizeof length + length);
  }
  return frames;
}

struct HostRun {
  int status = -1;
  std::string out;
  std::string err;
  double seconds = 0;
  long peakKiB = 0;  // the host's largest resident size
};

class NativeHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kHost == nullptr) GTEST_SKIP() << "the host is not part of this build";
    fs::create_directories(dataFolder());
    fs::create_directories(workFolder());
  }

  fs::path home() const { return temp.path() / homeName; }
  fs::path dataFolder() const { return home() / ".local" / "share" / "vorn-preview"; }
  fs::path receipt() const { return dataFolder() / "setup-confirmed.json"; }
  // The host's working folder: a receipt must never land here.
  fs::path workFolder() const { return temp.path() / "work"; }

  // As the updater writes it: a finished file renamed into place.
  void writeRecord(const std::string& bytes) const {
    testing::writeFile(dataFolder() / ".record", bytes);
    fs::rename(dataFolder() / ".record", dataFolder() / "last-setup.json");
  }
  std::string record(const std::string& folder, const std::string& token) const {
    return nlohmann::json{{"folder", folder}, {"token", token}, {"version", kVersion}}.dump();
  }
  std::string goodRecord(const std::string& token) const {
    return record((dataFolder() / "extension").string(), token);
  }

  // Starts the host with `input` and `output` as its standard input and
  // output; standard error goes to a file.
  pid_t start(int input, int output) {
    std::vector<std::string> variables = tool_testing::environmentWith(
        {{"HOME", home().string()}, {"XDG_DATA_HOME", std::nullopt}, {"XDG_CONFIG_HOME", std::nullopt}});
    auto envp = tool_testing::execVector(variables);
    std::string program = kHost;
    std::string origin = kOrigin;
    std::array<char*, 3> argv{program.data(), origin.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_addopen(&actions, 2, (temp.path() / "stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, workFolder().c_str());
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, kHost, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << kHost;
      return -1;
    }
    return pid;
  }

  // The exit status, and the peak memory in `run`.
  static int finish(pid_t pid, HostRun& run) {
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run.status;
  }

  // One ask with `input` from a file, as the browser's port would send it.
  HostRun ask(const std::string& input) {
    testing::writeFile(temp.path() / "stdin", input);
    const UniqueFd in(::open((temp.path() / "stdin").c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd out(
        ::open((temp.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    HostRun run;
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = start(in.get(), out.get());
    if (pid < 0) return run;
    finish(pid, run);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    run.out = readFile(temp.path() / "stdout");
    run.err = readFile(temp.path() / "stderr");
    return run;
  }

  testing::TempFolder temp{"vorn-host"};
  std::string homeName = "home";
};

TEST_F(NativeHostTest, AnUntrustedRecordIsRefusedInPlainWordsAndNoReceiptIsWritten) {
  const std::string folder = (dataFolder() / "extension").string();
  struct Case {
    const char* what;
    std::string record;  // as the file's bytes; "<fifo>" for a pipe in its place
    const char* words;
  };
  const std::vector<Case> cases = {
      {"one byte past 64 KiB", goodRecord("a1") + std::string(65537 - goodRecord("a1").size(), ' '),
       "longer than 65536 bytes"},
      {"an empty folder", record("", "a1"), "names no folder"},
      {"a relative folder", record("extension", "a1"), "not an absolute path"},
      {"a folder with ..", record(folder + "/../..", "a1"), "\"..\""},
      {"the root folder", record("//", "a1"), "no folder beside it"},
      {"a folder that is not UTF-8", record("x", "a1").replace(11, 1, "\xff"), "not JSON in UTF-8"},
      {"half a record", goodRecord("a1").substr(0, 20), "not JSON in UTF-8"},
      {"not an object", R"(["/tmp/x","a1","4.5.6"])", "not a valid record"},
      {"no token", R"({"folder":"/tmp/x/extension","version":"4.5.6"})", "not a valid record"},
      {"a folder that is a number", R"({"folder":7,"token":"a1","version":"4.5.6"})", "names no folder"},
      {"a pipe in its place", "<fifo>", "not a regular file"},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.what);
    fs::remove(dataFolder() / "last-setup.json");
    if (bad.record == "<fifo>") {
      ASSERT_EQ(::mkfifo((dataFolder() / "last-setup.json").c_str(), 0600), 0);
    } else {
      writeRecord(bad.record);
    }
    const HostRun refused = ask(request(false));
    EXPECT_EQ(refused.status, 1);
    std::string out = refused.out;
    const auto frames = takeFrames(out);
    ASSERT_EQ(frames.size(), 1u) << refused.out;
    EXPECT_EQ(frames[0].value("confirmed", true), false);
    const std::string error = frames[0].value("error", "");
    EXPECT_NE(error.find(bad.words), std::string::npos) << error;
    EXPECT_EQ(error.find("exception"), std::string::npos) << error;
    EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << refused.err;
    EXPECT_LT(refused.seconds, 5.0);
  }
  EXPECT_FALSE(fs::exists(receipt()));
  EXPECT_TRUE(fs::is_empty(workFolder()));
  EXPECT_FALSE(fs::exists(fs::path("/") / "setup-confirmed.json"));
}

TEST_F(NativeHostTest, A200MegabyteRecordIsRefusedWithoutBeingReadWhole) {
  // The peak a child reports starts from this process's own size, so it is
  // compared with that of a refusal that reads next to nothing.
  writeRecord("[]");
  const HostRun small = ask(request(false));
  EXPECT_EQ(small.status, 1);
  {
    // Sparse: the size costs no disk, but reading it whole would cost the memory.
    std::ofstream(dataFolder() / "last-setup.json") << goodRecord("a1");
    fs::resize_file(dataFolder() / "last-setup.json", std::uintmax_t{200} * 1024 * 1024);
  }
  const HostRun refused = ask(request(false));
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("longer than 65536 bytes"), std::string::npos) << refused.out;
  EXPECT_LT(refused.peakKiB - small.peakKiB, 16 * 1024) << "KiB resident more";
  EXPECT_LT(refused.seconds, 2.0);
  EXPECT_FALSE(fs::exists(receipt()));
}

TEST_F(NativeHostTest, AGoodRecordIsConfirmedAndAskingAgainKeepsItsRecentReceipt) {
  // Exactly the limit is still a record.
  const std::string padded = goodRecord("a1") + std::string(65536 - goodRecord("a1").size(), ' ');
  writeRecord(padded);
  const HostRun first = ask(request(false));
  ASSERT_EQ(first.status, 0) << first.err;
  std::string out = first.out;
  EXPECT_EQ(takeFrames(out), (std::vector<nlohmann::json>{{{"confirmed", true}, {"version", kVersion}}}));
  const nlohmann::json written = nlohmann::json::parse(readFile(receipt()), nullptr, false);
  EXPECT_EQ(written.value("token", ""), "a1");

  // Asked again: the same answer, the receipt left as it was.
  const std::string bytes = readFile(receipt());
  const auto when = fs::last_write_time(receipt());
  const HostRun again = ask(request(false));
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, first.out);
  EXPECT_EQ(readFile(receipt()), bytes);
  EXPECT_EQ(fs::last_write_time(receipt()), when);

  // A receipt the page would soon find too old, or one for another setup, is
  // written afresh.
  for (const auto& [token, age] : std::vector<std::pair<std::string, double>>{{"a1", 1000}, {"b2", 0}}) {
    SCOPED_TRACE(token);
    testing::writeFile(
        receipt(),
        nlohmann::json{{"token", token}, {"version", kVersion}, {"createdAt", now() - age}}.dump());
    const double before = now();
    EXPECT_EQ(ask(request(false)).status, 0);
    const nlohmann::json fresh = nlohmann::json::parse(readFile(receipt()), nullptr, false);
    EXPECT_EQ(fresh.value("token", ""), "a1");
    EXPECT_GE(fresh.value("createdAt", 0.0), before - 0.01);
  }
  EXPECT_TRUE(fs::is_empty(workFolder()));
}

TEST_F(NativeHostTest, AWatchingHostConfirmsEachNewSetupUntilTheBrowserLetsGo) {
  writeRecord(goodRecord("a1"));
  std::array<int, 2> input{};
  std::array<int, 2> output{};
  ASSERT_EQ(::pipe2(input.data(), O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(output.data(), O_CLOEXEC), 0);
  UniqueFd toHost(input[1]);
  UniqueFd fromHost(output[0]);
  HostRun run;
  pid_t pid = 0;
  {
    const UniqueFd hostIn(input[0]);
    const UniqueFd hostOut(output[1]);
    pid = start(hostIn.get(), hostOut.get());
  }
  ASSERT_GT(pid, 0);
  const std::string ask = request(true);
  ASSERT_EQ(::write(toHost.get(), ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));

  std::string pending;
  // The next answer within `seconds`, or null.
  auto nextAnswer = [&](double seconds) -> nlohmann::json {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
      auto frames = takeFrames(pending);
      if (!frames.empty()) {
        EXPECT_EQ(frames.size(), 1u);
        return frames.front();
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return nullptr;
      pollfd wait{fromHost.get(), POLLIN, 0};
      if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0) continue;
      std::array<char, 4096> bytes{};
      const ssize_t got = ::read(fromHost.get(), bytes.data(), bytes.size());
      if (got <= 0) return nullptr;
      pending.append(bytes.data(), static_cast<std::size_t>(got));
    }
  };
  auto receiptToken = [&] {
    return nlohmann::json::parse(readFile(receipt()), nullptr, false).value("token", "");
  };
  const nlohmann::json confirmed{{"confirmed", true}, {"version", kVersion}};

  EXPECT_EQ(nextAnswer(10), confirmed);
  EXPECT_EQ(receiptToken(), "a1");
  // Its own receipt and other files in the folder bring no answer.
  testing::writeFile(dataFolder() / "unrelated", "x");
  EXPECT_EQ(nextAnswer(0.5), nullptr);

  // A setup run again: confirmed at once, no new ask.
  writeRecord(goodRecord("b2"));
  EXPECT_EQ(nextAnswer(5), confirmed);
  EXPECT_EQ(receiptToken(), "b2");
  // A record it must not trust is refused, and the host keeps watching.
  writeRecord(record("relative", "c3"));
  EXPECT_NE(nextAnswer(5).value("error", "").find("not an absolute path"), std::string::npos);
  EXPECT_EQ(receiptToken(), "b2");
  writeRecord(goodRecord("d4"));
  EXPECT_EQ(nextAnswer(5), confirmed);
  EXPECT_EQ(receiptToken(), "d4");
  EXPECT_TRUE(fs::is_empty(workFolder()));

  // The browser closes the port: the host ends at once, with its last answer's status.
  toHost.reset();
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_EQ(finish(pid, run), 0);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - closed).count(), 2.0);
}

TEST_F(NativeHostTest, APathWithALineBreakIsOneLineInTheLogAndTheReplyStaysValid) {
  // Escaped, a path reads back as it is: a line break as \n, a byte that is
  // not UTF-8 as \xNN.
  homeName = "ho\nme\xff";
  const HostRun missing = ask(request(false));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err.find('\n'), missing.err.size() - 1) << missing.err;
  std::string out = missing.out;
  const auto frames = takeFrames(out);
  ASSERT_EQ(frames.size(), 1u) << missing.out;
  EXPECT_NE(frames[0].value("error", "").find("ho\\nme\\xff/.local/share/vorn-preview does not exist"),
            std::string::npos)
      << frames[0];

  homeName = "ho\nme";
  fs::create_directories(dataFolder());
  const fs::path odd = temp.path() / "a\nb" / "extension";
  fs::create_directories(odd);
  writeRecord(record(odd.string(), "a1"));
  const HostRun refused = ask(request(false));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err.find('\n'), refused.err.size() - 1) << refused.err;
  EXPECT_NE(refused.err.find("a\\nb/extension"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(odd.parent_path() / "setup-confirmed.json"));
  writeRecord(goodRecord("a1"));
  const HostRun confirmed = ask(request(false));
  EXPECT_EQ(confirmed.status, 0) << confirmed.err;
  EXPECT_TRUE(fs::is_regular_file(receipt()));
}

}  // namespace
}  // namespace vorn
