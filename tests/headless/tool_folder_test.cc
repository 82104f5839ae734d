// The tools' folder, as the updater, the native host and the receipt writer
// reach it, run as the real executables: the receipt's place, links, a second
// local user, and the modes the user's umask gives.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
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
using tool_testing::readFile;

#if defined(VORN_UPDATER_PATH) && defined(VORN_RECEIPT_WRITER_PATH) && defined(VORN_NATIVE_HOST_PATH)
constexpr const char* kUpdater = VORN_UPDATER_PATH;
constexpr const char* kHost = VORN_NATIVE_HOST_PATH;
constexpr const char* kWriter = VORN_RECEIPT_WRITER_PATH;
#else
constexpr const char* kUpdater = nullptr;
constexpr const char* kHost = nullptr;
constexpr const char* kWriter = nullptr;
#endif

constexpr const char* kOrigin = "chrome-extension://ldieoajldojdadeoenlijijeolcdiogl/";
constexpr const char* kManifest = "com.vorn.preview_setup.json";
constexpr uid_t kVictim = 61001;
constexpr uid_t kAttacker = 61002;

std::string confirmRequest(const std::string& version, bool watch = false) {
  return frame(nlohmann::json{{"request", "confirm"}, {"version", version}, {"watch", watch}}.dump());
}

// The one whole frame that `out` must be, as JSON; null when it is not one.
nlohmann::json reply(const std::string& out) {
  std::uint32_t length = 0;
  if (out.size() < sizeof length) return nullptr;
  std::memcpy(&length, out.data(), sizeof length);
  if (length != out.size() - sizeof length) return nullptr;
  return nlohmann::json::parse(out.substr(sizeof length), nullptr, false);
}

void expectOneLine(const std::string& text) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// How a tool is started: as whom, with which variables (HOME, the XDG ones
// and CHROME_CONFIG_HOME only as given here) and which umask.
struct Start {
  uid_t user = 0;
  std::map<std::string, std::string> variables;
  mode_t umask = 022;
};

class ToolFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kUpdater == nullptr) GTEST_SKIP() << "the tools are not part of this build";
    // Every user may pass through the test's folder, as through /tmp.
    fs::permissions(temp.path(), fs::perms(0755));
    fs::create_directories(macOS());
    fs::copy_file(kUpdater, macOS() / "vorn-updater");
    fs::copy_file(kHost, macOS() / "vorn-native-host");
    const fs::path extension = macOS().parent_path() / "Resources" / "extension";
    testing::writeFile(extension / "manifest.json", R"({"manifest_version":3,"version":"0.1.0"})");
    testing::writeFile(extension / "icons" / "16.png", "png");
    fs::create_directories(home());
  }

  fs::path macOS() const { return temp.path() / "bundle" / "Contents" / "MacOS"; }
  fs::path updater() const { return macOS() / "vorn-updater"; }
  fs::path home() const { return temp.path() / "home"; }
  fs::path toolFolder() const { return home() / ".local" / "share" / "vorn-preview"; }

  // Runs `program` with standard input from `input`, its outputs into files.
  ToolRun run(const fs::path& program, const std::vector<std::string>& arguments, const Start& how,
              const std::string& input = "") {
    testing::writeFile(temp.path() / "stdin", input);
    const UniqueFd in(::open((temp.path() / "stdin").c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd out(
        ::open((temp.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const UniqueFd err(
        ::open((temp.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ToolRun result;
    const pid_t pid = start(program, arguments, how, in.get(), out.get(), err.get());
    if (pid < 0) return result;
    result.status = finish(pid);
    result.out = readFile(temp.path() / "stdout");
    result.err = readFile(temp.path() / "stderr");
    return result;
  }

  pid_t start(const fs::path& program, const std::vector<std::string>& arguments, const Start& how, int in,
              int out, int err) {
    // Only the folders the test names: none of the caller's own.
    std::map<std::string, std::optional<std::string>> changes = {{"HOME", home().string()},
                                                                 {"XDG_DATA_HOME", std::nullopt},
                                                                 {"XDG_CONFIG_HOME", std::nullopt},
                                                                 {"CHROME_CONFIG_HOME", std::nullopt}};
    for (const auto& [name, value] : how.variables) changes[name] = value;
    std::vector<std::string> environment = tool_testing::environmentWith(changes);
    std::vector<std::string> words =
        how.user != 0 ? tool_testing::asUser(how.user) : std::vector<std::string>{};
    words.push_back(program.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    auto argv = tool_testing::execVector(words);
    auto envp = tool_testing::execVector(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    // The tool's working folder is one no receipt may land in.
    posix_spawn_file_actions_addchdir_np(&actions, work().c_str());
    pid_t pid = 0;
    // The child takes the umask it is started with.
    const mode_t before = ::umask(how.umask);
    const int spawned = posix_spawn(&pid, words.front().c_str(), &actions, nullptr, argv.data(), envp.data());
    ::umask(before);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << program;
      return -1;
    }
    return pid;
  }

  static int finish(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  fs::path work() const {
    fs::create_directories(temp.path() / "work");
    fs::permissions(temp.path() / "work", fs::perms(0777));
    return temp.path() / "work";
  }

  // Every receipt below the test's folder, and in the places a bad record
  // would put one.
  std::vector<fs::path> receipts() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(temp.path())) {
      if (entry.path().filename() == "setup-confirmed.json") found.push_back(entry.path());
    }
    for (const fs::path& elsewhere :
         {fs::path("/setup-confirmed.json"), fs::path("/tmp/setup-confirmed.json")}) {
      if (fs::exists(elsewhere)) found.push_back(elsewhere);
    }
    return found;
  }

  static std::string record(const std::string& folder, const std::string& token = "t1") {
    return nlohmann::json{{"folder", folder}, {"token", token}, {"version", "4.5.6"}}.dump() + "\n";
  }

  testing::TempFolder temp{"vorn-folder"};
};

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

// --- The receipt's place --------------------------------------------------

TEST_F(ToolFolderTest, TheReceiptGoesIntoTheToolFolderAndARecordNamingAnyOtherFolderIsRefused) {
  const std::string extension = (toolFolder() / "extension").string();
  const fs::path users = temp.path() / "users" / "extension";
  fs::create_directories(users);
  fs::create_directories(temp.path() / "line\nbreak" / "extension");
  struct Bad {
    std::string folder;
    const char* words;
  };
  const std::vector<Bad> bad = {
      {users.string(), "not the extension folder"},
      {extension + "/", "not the extension folder"},
      {(toolFolder() / ".." / "vorn-preview" / "extension").string(), "\"..\""},
      {"", "names no folder"},
      {"extension", "not an absolute path"},
      {"..", "not an absolute path"},
      {"/", "no folder beside it"},
      {(temp.path() / "line\nbreak" / "extension").string(), "line\\nbreak"},
  };
  fs::create_directories(toolFolder());
  for (const Bad& each : bad) {
    SCOPED_TRACE(each.folder);
    testing::writeFile(toolFolder() / "last-setup.json", record(each.folder));
    const ToolRun writer = run(kWriter, {}, {});
    EXPECT_EQ(writer.status, 1);
    EXPECT_EQ(writer.out, "");
    expectOneLine(writer.err);
    EXPECT_NE(writer.err.find(each.words), std::string::npos) << writer.err;

    const ToolRun host = run(kHost, {kOrigin}, {}, confirmRequest("4.5.6"));
    EXPECT_EQ(host.status, 1);
    const nlohmann::json answer = reply(host.out);
    ASSERT_TRUE(answer.is_object()) << host.out;
    EXPECT_EQ(answer.value("confirmed", true), false);
    EXPECT_NE(answer.value("error", "").find(each.words), std::string::npos) << answer;
    expectOneLine(host.err);
    EXPECT_EQ(receipts(), std::vector<fs::path>{});
  }

  // The record as the updater writes it: both tools put the receipt beside
  // the extension folder, which is the tool folder itself.
  testing::writeFile(toolFolder() / "last-setup.json", record(extension));
  const ToolRun writer = run(kWriter, {}, {});
  ASSERT_EQ(writer.status, 0) << writer.err;
  EXPECT_EQ(writer.out, (toolFolder() / "setup-confirmed.json").string() + "\n");
  fs::remove(toolFolder() / "setup-confirmed.json");
  const ToolRun host = run(kHost, {kOrigin}, {}, confirmRequest("4.5.6"));
  EXPECT_EQ(reply(host.out), (nlohmann::json{{"confirmed", true}, {"version", "4.5.6"}})) << host.err;
  EXPECT_EQ(receipts(), std::vector<fs::path>{toolFolder() / "setup-confirmed.json"});
}

TEST_F(ToolFolderTest, AllThreeToolsMeanOneToolFolderWhateverTheVariablesSay) {
  // "link/.." is the folder above the link's target to the kernel, but the
  // test's own folder to a reading of the text: neither is taken.
  fs::create_directories(temp.path() / "deep" / "below");
  fs::create_directory_symlink(temp.path() / "deep" / "below", temp.path() / "link");
  const fs::path planted = temp.path() / "deep" / "data" / "vorn-preview";
  testing::writeFile(planted / "last-setup.json", record((planted / "extension").string()));
  fs::create_directories(planted / "extension");
  const std::string detour = (temp.path() / "link" / "..").string();
  for (const char* browser : {"chromium", "vivaldi"}) fs::create_directories(home() / ".config" / browser);
  const Start how{0,
                  {{"XDG_DATA_HOME", detour + "/data"},
                   {"XDG_CONFIG_HOME", (temp.path() / "." / "config").string()},
                   {"CHROME_CONFIG_HOME", detour + "/chrome"}}};

  const ToolRun setup = run(updater(), {"--setup"}, how);
  ASSERT_EQ(setup.status, 0) << setup.err;
  const auto result = nlohmann::json::parse(setup.out, nullptr, false);
  EXPECT_EQ(result.value("folder", ""), (toolFolder() / "extension").string());
  // One line for each variable ignored, however often the updater asks.
  for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "CHROME_CONFIG_HOME"}) {
    const std::string line = std::string("vorn-updater: ") + name + " is ignored: ";
    const auto at = setup.err.find(line);
    EXPECT_NE(at, std::string::npos) << setup.err;
    EXPECT_EQ(setup.err.find(line, at + 1), std::string::npos) << setup.err;
  }
  EXPECT_TRUE(fs::is_regular_file(home() / ".config" / "chromium" / "NativeMessagingHosts" / kManifest));
  EXPECT_TRUE(fs::is_regular_file(home() / ".config" / "vivaldi" / "NativeMessagingHosts" / kManifest));
  for (const char* never : {"data", "config", "chrome", "deep/config", "deep/chrome"})
    EXPECT_FALSE(fs::exists(temp.path() / never)) << never;
  EXPECT_TRUE(fs::is_empty(planted / "extension"));

  // The host confirms the setup just made, never the one planted elsewhere.
  const ToolRun host = run(kHost, {kOrigin}, how, confirmRequest(result.value("version", "")));
  EXPECT_EQ(reply(host.out).value("confirmed", false), true) << host.err;
  const ToolRun writer = run(kWriter, {}, how);
  EXPECT_EQ(writer.status, 0) << writer.err;
  EXPECT_EQ(receipts(), std::vector<fs::path>{toolFolder() / "setup-confirmed.json"});
  const auto receipt = nlohmann::json::parse(readFile(toolFolder() / "setup-confirmed.json"), nullptr, false);
  EXPECT_EQ(receipt.value("token", ""), result.value("token", "-"));
}

// --- Links ----------------------------------------------------------------

TEST_F(ToolFolderTest, NoToolReachesTheToolFolderThroughALink) {
  // A folder of the user's elsewhere, holding what looks like a setup.
  const fs::path elsewhere = temp.path() / "elsewhere";
  testing::writeFile(elsewhere / "last-setup.json", record((toolFolder() / "extension").string()));
  fs::create_directories(elsewhere / "extension");
  fs::create_directories(toolFolder().parent_path());
  fs::create_directory_symlink(elsewhere, toolFolder());

  const ToolRun writer = run(kWriter, {}, {});
  EXPECT_EQ(writer.status, 1);
  expectOneLine(writer.err);
  EXPECT_NE(writer.err.find("symbolic link"), std::string::npos) << writer.err;
  const ToolRun host = run(kHost, {kOrigin}, {}, confirmRequest("4.5.6"));
  EXPECT_NE(reply(host.out).value("error", "").find("symbolic link"), std::string::npos) << host.out;

  // A host asked to watch answers the same and does not stay to watch the
  // link's target: it ends with the browser's port still open.
  std::array<int, 2> input{};
  ASSERT_EQ(::pipe2(input.data(), O_CLOEXEC), 0);
  UniqueFd toHost(input[1]);
  const UniqueFd out(
      ::open((temp.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const UniqueFd err(
      ::open((temp.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  pid_t pid = 0;
  {
    const UniqueFd hostIn(input[0]);
    pid = start(kHost, {kOrigin}, {}, hostIn.get(), out.get(), err.get());
  }
  ASSERT_GT(pid, 0);
  const std::string ask = confirmRequest("4.5.6", true);
  ASSERT_EQ(::write(toHost.get(), ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));
  const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  pollfd ended{process.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&ended, 1, 10000), 1) << "the host still watches";
  toHost.reset();
  EXPECT_EQ(finish(pid), 1);
  EXPECT_EQ(reply(readFile(temp.path() / "stdout")).value("confirmed", true), false);
  EXPECT_EQ(receipts(), std::vector<fs::path>{});

  // A link on the way to the data folder is the user's own choice, and
  // followed by all three tools alike.
  fs::remove(toolFolder());
  fs::remove(home() / ".local" / "share");
  fs::create_directories(temp.path() / "share");
  fs::create_directory_symlink(temp.path() / "share", home() / ".local" / "share");
  const ToolRun setup = run(updater(), {"--setup"}, {});
  ASSERT_EQ(setup.status, 0) << setup.err;
  const auto result = nlohmann::json::parse(setup.out, nullptr, false);
  EXPECT_EQ(reply(run(kHost, {kOrigin}, {}, confirmRequest(result.value("version", ""))).out)
                .value("confirmed", false),
            true);
  EXPECT_EQ(receipts(),
            std::vector<fs::path>{temp.path() / "share" / "vorn-preview" / "setup-confirmed.json"});
}

// --- The second user ------------------------------------------------------

TEST_F(ToolFolderTest, AFolderAnotherUserOwnsOrMayChangeIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "two users take root to set up";
  // A shared data folder and config folder, sticky as /tmp is.
  const fs::path shared = temp.path() / "shared";
  const fs::path config = temp.path() / "shared-config";
  for (const fs::path& folder : {shared, config}) {
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms(01777));
  }
  fs::create_directories(home() / ".local" / "share");
  fs::create_directories(home() / ".config" / "chromium");
  for (const char* folder : {"", ".local", ".local/share", ".config", ".config/chromium"})
    ASSERT_EQ(::chown((home() / folder).c_str(), kVictim, kVictim), 0) << folder;
  const Start victim{kVictim, {{"XDG_DATA_HOME", shared.string()}}};
  const Start attacker{kAttacker, {{"HOME", (temp.path() / "attacker").string()}}};
  const auto asAttacker = [&](const std::string& script) {
    const ToolRun made = run("/bin/sh", {"-c", script}, attacker);
    ASSERT_EQ(made.status, 0) << script << ": " << made.err;
  };

  // The other user makes vorn-preview first, open to all, with a record
  // that names where the victim's setup would be.
  const fs::path theirs = shared / "vorn-preview";
  asAttacker("mkdir -m 0777 '" + theirs.string() + "' '" + (theirs / "extension").string() +
             "' && printf '%s' '" + record((theirs / "extension").string()) + "' > '" +
             (theirs / "last-setup.json").string() + "'");
  const ToolRun writer = run(kWriter, {}, victim);
  EXPECT_EQ(writer.status, 1);
  expectOneLine(writer.err);
  EXPECT_NE(writer.err.find("belongs to another user"), std::string::npos) << writer.err;
  const ToolRun host = run(kHost, {kOrigin}, victim, confirmRequest("4.5.6"));
  EXPECT_NE(reply(host.out).value("error", "").find("belongs to another user"), std::string::npos)
      << host.out;
  const ToolRun setup = run(updater(), {"--setup"}, victim);
  EXPECT_EQ(setup.status, 1);
  expectOneLine(setup.err);
  EXPECT_NE(setup.err.find(theirs.string() + " belongs to another user"), std::string::npos) << setup.err;
  EXPECT_TRUE(fs::is_empty(theirs / "extension"))
      << "no extension code of the victim's where others may swap it";
  EXPECT_EQ(receipts(), std::vector<fs::path>{});

  // The victim's own tool folder, once others may write in it, is refused
  // just as well: here the other user has planted a record.
  const Start own{kVictim, {}};
  ASSERT_EQ(run(updater(), {"--setup"}, own).status, 0);
  fs::permissions(toolFolder(), fs::perms(0777));
  asAttacker("printf '%s' '" + record((toolFolder() / "extension").string(), "planted") + "' > '" +
             (toolFolder() / "planted").string() + "' && mv -f '" + (toolFolder() / "planted").string() +
             "' '" + (toolFolder() / "last-setup.json").string() + "'");
  const ToolRun opened = run(kHost, {kOrigin}, own, confirmRequest("4.5.6"));
  EXPECT_NE(reply(opened.out).value("error", "").find("may be changed by other users"), std::string::npos)
      << opened.out;
  EXPECT_NE(run(kWriter, {}, own).err.find("may be changed by other users"), std::string::npos);
  EXPECT_EQ(receipts(), std::vector<fs::path>{});

  // In a shared config folder, a browser's folder that the other user made,
  // or one that others may write, is skipped with one line; so is one of
  // the victim's own with a NativeMessagingHosts that others may write.
  fs::permissions(toolFolder(), fs::perms(0755));
  asAttacker("mkdir -p '" + (config / "chromium" / "NativeMessagingHosts").string() + "' && chmod 0777 '" +
             (config / "chromium" / "NativeMessagingHosts").string() + "'");
  for (const char* folder :
       {"microsoft-edge", "google-chrome", "BraveSoftware", "BraveSoftware/Brave-Browser"}) {
    fs::create_directory(config / folder);
    ASSERT_EQ(::chown((config / folder).c_str(), kVictim, kVictim), 0);
  }
  fs::permissions(config / "microsoft-edge", fs::perms(0775));
  fs::create_directory(config / "google-chrome" / "NativeMessagingHosts");
  fs::permissions(config / "google-chrome" / "NativeMessagingHosts", fs::perms(0777));
  const ToolRun registered = run(updater(), {"--setup"}, {kVictim, {{"XDG_CONFIG_HOME", config.string()}}});
  ASSERT_EQ(registered.status, 0) << registered.err;
  for (const auto& [browser, words] : std::vector<std::pair<std::string, std::string>>{
           {"Chromium", (config / "chromium").string() + " belongs to another user"},
           {"Microsoft Edge", (config / "microsoft-edge").string() + " may be changed by other users"},
           {"Google Chrome", (config / "google-chrome" / "NativeMessagingHosts").string() +
                                 " may be changed by other users"}}) {
    const std::string line =
        std::string("vorn-updater: not registered with ").append(browser).append(": ").append(words);
    EXPECT_NE(registered.err.find(line + ", so setup does not use it\n"), std::string::npos)
        << registered.err;
  }
  EXPECT_TRUE(fs::is_empty(config / "chromium" / "NativeMessagingHosts"));
  EXPECT_TRUE(fs::is_empty(config / "microsoft-edge"));
  EXPECT_TRUE(fs::is_empty(config / "google-chrome" / "NativeMessagingHosts"));
  EXPECT_TRUE(
      fs::is_regular_file(config / "BraveSoftware" / "Brave-Browser" / "NativeMessagingHosts" / kManifest));
}

// --- Modes ----------------------------------------------------------------

TEST_F(ToolFolderTest, TheUmaskHoldsForFilesAsForFolders) {
  for (const mode_t mask : {mode_t{077}, mode_t{027}, mode_t{022}}) {
    SCOPED_TRACE(mask);
    fs::remove_all(home());
    fs::create_directories(home() / ".config" / "chromium");
    const Start how{0, {}, mask};
    const ToolRun setup = run(updater(), {"--setup"}, how);
    ASSERT_EQ(setup.status, 0) << setup.err;
    const auto version = nlohmann::json::parse(setup.out, nullptr, false).value("version", "");
    // Nothing setup makes is ever open to group or others' writing, which
    // the tools would refuse it for.
    const mode_t file = 0644 & ~mask;
    const mode_t folder = 0755 & ~mask;
    EXPECT_EQ(modeOf(toolFolder()), folder);
    EXPECT_EQ(modeOf(toolFolder() / "extension" / "icons"), folder);
    EXPECT_EQ(modeOf(toolFolder() / "extension" / "manifest.json"), file);
    EXPECT_EQ(modeOf(toolFolder() / "extension" / "icons" / "16.png"), file);
    EXPECT_EQ(modeOf(toolFolder() / "last-setup.json"), file);
    EXPECT_EQ(modeOf(home() / ".config" / "chromium" / "NativeMessagingHosts" / kManifest), file);
    ASSERT_EQ(run(kWriter, {}, how).status, 0);
    EXPECT_EQ(modeOf(toolFolder() / "setup-confirmed.json"), file);
    fs::remove(toolFolder() / "setup-confirmed.json");
    EXPECT_EQ(reply(run(kHost, {kOrigin}, how, confirmRequest(version)).out).value("confirmed", false), true);
    EXPECT_EQ(modeOf(toolFolder() / "setup-confirmed.json"), file);
  }
}

}  // namespace
}  // namespace vorn
