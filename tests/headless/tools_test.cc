// The sample updater, the native host and the receipt writer, run as the real
// executables with a throw-away home folder; the updater and the host from a
// bundle of their own.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "confirm/setup_receipt.h"
#include "controller_fixture.h"
#include "install/setup_result.h"
#include "platform/posix/posix_fd.h"

extern char** environ;

namespace vorn {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

#if defined(VORN_UPDATER_PATH) && defined(VORN_RECEIPT_WRITER_PATH) && defined(VORN_NATIVE_HOST_PATH)
constexpr const char* kBuiltUpdater = VORN_UPDATER_PATH;
constexpr const char* kBuiltHost = VORN_NATIVE_HOST_PATH;
constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;
#else
constexpr const char* kBuiltUpdater = nullptr;
constexpr const char* kBuiltHost = nullptr;
constexpr const char* kReceiptWriter = nullptr;
#endif

constexpr const char* kOrigin = "chrome-extension://ldieoajldojdadeoenlijijeolcdiogl/";
constexpr const char* kHostManifest = "com.vorn.preview_setup.json";
const std::vector<std::string> kBrowserFolders = {"google-chrome", "chromium", "BraveSoftware/Brave-Browser",
                                                  "microsoft-edge", "vivaldi"};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A native messaging length: 32 bits in native byte order.
std::string lengthPrefix(std::uint32_t length) {
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes;
}

std::string frame(const std::string& message) {
  return lengthPrefix(static_cast<std::uint32_t>(message.size())) + message;
}

// The one whole frame that `out` must be, as JSON; null when it is not one.
nlohmann::json reply(const std::string& out) {
  std::uint32_t length = 0;
  if (out.size() < sizeof length) return nullptr;
  std::memcpy(&length, out.data(), sizeof length);
  if (length != out.size() - sizeof length) return nullptr;
  return nlohmann::json::parse(out.substr(sizeof length), nullptr, false);
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kBuiltUpdater == nullptr) GTEST_SKIP() << "the tools are not part of this build";
    fs::create_directories(home());
    // A bundle of the updater, the host and an extension, in an awkward place.
    fs::create_directories(macOS());
    fs::copy_file(kBuiltUpdater, updater());
    fs::copy_file(kBuiltHost, host());
    testing::writeFile(bundledExtension() / "manifest.json", R"({"manifest_version":3,"version":"0.1.0"})");
    testing::writeFile(bundledExtension() / "background.js", "// the worker\n");
    testing::writeFile(bundledExtension() / "icons" / "16.png", std::string("\x89PNG\0\x01", 6));
  }

  fs::path home() const { return temp.path() / "home"; }
  fs::path dataFolder() const { return home() / ".local" / "share" / "vorn-preview"; }
  fs::path config() const { return home() / ".config"; }
  fs::path macOS() const { return temp.path() / "Vorn #1 %20 ü.app" / "Contents" / "MacOS"; }
  fs::path bundledExtension() const { return macOS().parent_path() / "Resources" / "extension"; }
  std::string updater() const { return (macOS() / "vorn-updater").string(); }
  std::string host() const { return (macOS() / "vorn-native-host").string(); }
  fs::path receipt() const { return dataFolder() / "setup-confirmed.json"; }

  // Runs `program` with the test's home and environment changes (an empty
  // value removes the variable), standard input from `input` (empty when
  // none), standard output and error into files.
  ToolRun run(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& input = "") {
    std::map<std::string, std::optional<std::string>> changes = environment;
    changes["HOME"] = home().string();
    for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
      if (!changes.contains(name)) changes[name] = std::nullopt;
    }
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string variable = *entry;
      if (!changes.contains(variable.substr(0, variable.find('=')))) variables.push_back(variable);
    }
    for (const auto& [name, value] : changes) {
      if (value) variables.push_back(name + "=" + *value);
    }
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    auto pointers = [](std::vector<std::string>& texts) {
      std::vector<char*> result;
      result.reserve(texts.size() + 1);
      for (auto& text : texts) result.push_back(text.data());
      result.push_back(nullptr);
      return result;
    };
    auto argv = pointers(words);
    auto envp = pointers(variables);

    const fs::path in = temp.path() / "stdin";
    const fs::path out = temp.path() / "stdout";
    const fs::path err = temp.path() / "stderr";
    if (inputFrom.empty()) testing::writeFile(in, input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inputFrom.empty() ? in.c_str() : inputFrom.c_str(),
                                     O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ToolRun result;
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << program;
      return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(out);
    result.err = readFile(err);
    return result;
  }

  SetupResult setUpOnce() {
    const ToolRun setup = run(updater(), {"--setup"});
    EXPECT_EQ(setup.status, 0) << setup.err;
    auto decoded = decodeSetupResult(setup.out);
    if (!decoded) {
      ADD_FAILURE() << decoded.error().localizedDescription << " in: " << setup.out;
      return {};
    }
    return decoded.value();
  }

  TempFolder temp{"vorn-tools"};
  std::map<std::string, std::optional<std::string>> environment;
  fs::path inputFrom;  // standard input from this file instead
};

void expectOneLine(const std::string& text) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

TEST_F(ToolsTest, SetupReportsAFolderItMadeUnderTheDataFolder) {
  const ToolRun setup = run(updater(), {"--setup"});
  ASSERT_EQ(setup.status, 0) << setup.err;
  EXPECT_EQ(setup.err, "");
  auto result = decodeSetupResult(setup.out);
  ASSERT_TRUE(result) << result.error().localizedDescription << " in: " << setup.out;
  EXPECT_EQ(fs::path(result.value().folder), dataFolder() / "extension");
  EXPECT_TRUE(fs::is_directory(result.value().folder));
  EXPECT_TRUE(fs::is_regular_file(fs::path(result.value().folder) / "manifest.json"));
  EXPECT_EQ(result.value().token.size(), 32u);
  EXPECT_FALSE(result.value().version.empty());
}

TEST_F(ToolsTest, SetupFollowsAnAbsoluteDataHomeAndIgnoresARelativeOne) {
  environment["XDG_DATA_HOME"] = (temp.path() / "data").string();
  EXPECT_EQ(fs::path(setUpOnce().folder), temp.path() / "data" / "vorn-preview" / "extension");

  environment["XDG_DATA_HOME"] = "relative/data";
  EXPECT_EQ(fs::path(setUpOnce().folder), dataFolder() / "extension");
}

TEST_F(ToolsTest, EverySetupHasItsOwnTokenAndTheSameVersion) {
  const SetupResult first = setUpOnce();
  const SetupResult second = setUpOnce();
  EXPECT_NE(first.token, second.token);
  EXPECT_EQ(first.version, second.version);
  EXPECT_EQ(first.folder, second.folder);
}

TEST_F(ToolsTest, AnythingButExactlySetupIsAUsageErrorOnOneLine) {
  const std::vector<std::vector<std::string>> wrong = {
      {}, {"--Setup"}, {"setup"}, {"--setup "}, {"--setup", "--setup"}, {"--help"}, {""}};
  for (const auto& arguments : wrong) {
    SCOPED_TRACE(arguments.empty() ? "no arguments" : arguments[0]);
    const ToolRun bad = run(updater(), arguments);
    EXPECT_NE(bad.status, 0);
    EXPECT_EQ(bad.out, "");
    expectOneLine(bad.err);
  }
  EXPECT_FALSE(fs::exists(dataFolder()));
}

TEST_F(ToolsTest, ASetupThatCannotMakeItsFolderFailsWithOneLine) {
  testing::writeFile(temp.path() / "not-a-folder", "x");
  environment["XDG_DATA_HOME"] = (temp.path() / "not-a-folder").string();
  const ToolRun failed = run(updater(), {"--setup"});
  EXPECT_NE(failed.status, 0);
  EXPECT_EQ(failed.out, "");
  expectOneLine(failed.err);
  EXPECT_NE(failed.err.find("not-a-folder"), std::string::npos) << failed.err;
}

TEST_F(ToolsTest, TheReceiptLandsBesideTheFolderAndMatchesTheLastSetup) {
  setUpOnce();
  const SetupResult last = setUpOnce();
  const double before = now();
  const ToolRun wrote = run(kReceiptWriter, {});
  const double after = now();
  ASSERT_EQ(wrote.status, 0) << wrote.err;

  const fs::path expected = fs::path(last.folder).parent_path() / "setup-confirmed.json";
  EXPECT_EQ(wrote.out, expected.string() + "\n");
  ASSERT_TRUE(fs::is_regular_file(expected));
  EXPECT_FALSE(fs::exists(fs::path(last.folder) / "setup-confirmed.json"));
  EXPECT_LE(fs::file_size(expected), 1024u);
  auto receipt = decodeSetupReceipt(readFile(expected));
  ASSERT_TRUE(receipt) << receipt.error().localizedDescription;
  EXPECT_EQ(receipt.value().token, last.token);
  EXPECT_EQ(receipt.value().version, last.version);
  EXPECT_GE(receipt.value().createdAt, before - 0.01);
  EXPECT_LE(receipt.value().createdAt, after + 0.01);
  EXPECT_NE(receipt.value().createdAt, static_cast<double>(static_cast<long long>(receipt.value().createdAt)))
      << "fractions of a second are kept";

  // Nothing but the finished files stays behind.
  for (const auto& entry : fs::directory_iterator(expected.parent_path())) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
}

TEST_F(ToolsTest, TheReceiptCanBeBackdatedAndRewritten) {
  setUpOnce();
  const double before = now();
  ASSERT_EQ(run(kReceiptWriter, {"--age", "1800"}).status, 0);
  const fs::path path = dataFolder() / "setup-confirmed.json";
  auto old = decodeSetupReceipt(readFile(path));
  ASSERT_TRUE(old);
  EXPECT_NEAR(old.value().createdAt, before - 1800, 5);

  ASSERT_EQ(run(kReceiptWriter, {}).status, 0);
  auto fresh = decodeSetupReceipt(readFile(path));
  ASSERT_TRUE(fresh);
  EXPECT_GE(fresh.value().createdAt, before - 0.01);
}

TEST_F(ToolsTest, TheWriterRefusesWithoutASetupOrWithBadArguments) {
  const ToolRun none = run(kReceiptWriter, {});
  EXPECT_NE(none.status, 0);
  expectOneLine(none.err);

  setUpOnce();
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--age"}, {"--age", "ten"}, {"--age", "1e999"}, {"--age", "10s"}, {"--token", "x"}}) {
    SCOPED_TRACE(arguments.back());
    const ToolRun bad = run(kReceiptWriter, arguments);
    EXPECT_NE(bad.status, 0);
    expectOneLine(bad.err);
  }
  EXPECT_FALSE(fs::exists(dataFolder() / "setup-confirmed.json"));
}

TEST_F(ToolsTest, SetupCopiesTheExtensionAndRegistersTheHostWithEveryBrowser) {
  // What others keep in these folders stays as it is.
  testing::writeFile(config() / "chromium" / "NativeMessagingHosts" / "other.host.json", "{}");
  testing::writeFile(dataFolder() / "extension" / "mine.txt", "kept");
  testing::writeFile(dataFolder() / "extension" / "manifest.json", "the placeholder of an earlier setup");
  const SetupResult setup = setUpOnce();
  EXPECT_EQ(readFile(config() / "chromium" / "NativeMessagingHosts" / "other.host.json"), "{}");
  EXPECT_EQ(readFile(fs::path(setup.folder) / "mine.txt"), "kept");
  for (const char* file : {"manifest.json", "background.js", "icons/16.png"}) {
    EXPECT_EQ(readFile(fs::path(setup.folder) / file), readFile(bundledExtension() / file)) << file;
  }

  const nlohmann::json expected{{"name", "com.vorn.preview_setup"},
                                {"path", host()},
                                {"type", "stdio"},
                                {"allowed_origins", {kOrigin}}};
  auto expectManifests = [&](const fs::path& folder) {
    for (const auto& browser : kBrowserFolders) {
      SCOPED_TRACE(folder / browser);
      auto manifest = nlohmann::json::parse(
          readFile(folder / browser / "NativeMessagingHosts" / kHostManifest), nullptr, false);
      ASSERT_TRUE(manifest.is_object());
      ASSERT_TRUE(manifest["description"].is_string());
      EXPECT_FALSE(manifest["description"].get<std::string>().empty());
      manifest.erase("description");
      EXPECT_EQ(manifest, expected);
    }
  };
  expectManifests(config());

  // An absolute XDG_CONFIG_HOME is followed, a relative one ignored.
  environment["XDG_CONFIG_HOME"] = (temp.path() / "config").string();
  setUpOnce();
  expectManifests(temp.path() / "config");
  environment["XDG_CONFIG_HOME"] = "relative";
  fs::remove_all(config());
  setUpOnce();
  expectManifests(config());
}

TEST_F(ToolsTest, ASetupWithoutItsExtensionOrHostFailsWithOneLine) {
  const std::vector<std::pair<fs::path, std::string>> missing = {
      {bundledExtension() / "manifest.json", "extension"}, {host(), "native messaging host"}};
  for (const auto& [path, words] : missing) {
    SCOPED_TRACE(path);
    const fs::path aside = path.string() + ".aside";
    fs::rename(path, aside);
    const ToolRun failed = run(updater(), {"--setup"});
    fs::rename(aside, path);
    EXPECT_NE(failed.status, 0);
    EXPECT_EQ(failed.out, "");
    expectOneLine(failed.err);
    EXPECT_NE(failed.err.find(words), std::string::npos) << failed.err;
    EXPECT_FALSE(fs::exists(dataFolder() / "last-setup.json"));
  }
}

TEST_F(ToolsTest, UninstallRemovesWhatSetupWroteAndNothingElse) {
  testing::writeFile(config() / "vivaldi" / "NativeMessagingHosts" / "other.host.json", "{}");
  testing::writeFile(config() / "chromium" / "Default" / "Preferences", "{}");
  testing::writeFile(dataFolder() / "notes.txt", "kept");
  const SetupResult setup = setUpOnce();
  ASSERT_EQ(run(kReceiptWriter, {}).status, 0);
  testing::writeFile(fs::path(setup.folder) / "added-later.txt", "inside our folder");

  for (int round = 0; round < 2; ++round) {  // the second finds nothing to remove
    SCOPED_TRACE(round);
    const ToolRun removed = run(updater(), {"--uninstall"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out + removed.err, "");
    for (const auto& browser : kBrowserFolders) {
      EXPECT_FALSE(fs::exists(config() / browser / "NativeMessagingHosts" / kHostManifest)) << browser;
    }
    EXPECT_FALSE(fs::exists(setup.folder));
    EXPECT_FALSE(fs::exists(dataFolder() / "last-setup.json"));
    EXPECT_FALSE(fs::exists(receipt()));
    EXPECT_EQ(readFile(config() / "vivaldi" / "NativeMessagingHosts" / "other.host.json"), "{}");
    EXPECT_EQ(readFile(config() / "chromium" / "Default" / "Preferences"), "{}");
    EXPECT_EQ(readFile(dataFolder() / "notes.txt"), "kept");
    // Folders that only setup's files were in go with them.
    EXPECT_FALSE(fs::exists(config() / "google-chrome"));
    EXPECT_FALSE(fs::exists(config() / "BraveSoftware"));
  }
}

TEST_F(ToolsTest, TheHostConfirmsTheLastSetupInOneWholeFrame) {
  setUpOnce();
  const SetupResult last = setUpOnce();
  const double before = now();
  // Whatever follows the one message stays unread.
  const ToolRun confirmed = run(
      host(), {kOrigin},
      frame(R"({"request":"confirm","version":")" + last.version + R"("})") + frame(R"({"request":"x"})"));
  const double after = now();
  ASSERT_EQ(confirmed.status, 0) << confirmed.err;
  EXPECT_EQ(reply(confirmed.out), (nlohmann::json{{"confirmed", true}, {"version", last.version}}));
  auto receipt = decodeSetupReceipt(readFile(this->receipt()));
  ASSERT_TRUE(receipt) << receipt.error().localizedDescription;
  EXPECT_EQ(receipt.value().token, last.token);
  EXPECT_EQ(receipt.value().version, last.version);
  EXPECT_GE(receipt.value().createdAt, before - 0.01);
  EXPECT_LE(receipt.value().createdAt, after + 0.01);
}

TEST_F(ToolsTest, TheHostRefusesBadInputInAWholeFrameAndWritesNothing) {
  const std::string confirm = R"({"request":"confirm","version":"0.1.0"})";
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    std::string input;
    const char* words;
  };
  const std::vector<Case> cases = {
      {"no origin", {}, frame(confirm), "only the Vorn Preview extension"},
      {"another extension",
       {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"},
       frame(confirm),
       "only the Vorn Preview extension"},
      {"length past the limit",
       {kOrigin},
       lengthPrefix(65537) + confirm + std::string(65537 - confirm.size(), ' '),
       "longer than 65536 bytes"},
      {"length past the end", {kOrigin}, lengthPrefix(100) + confirm, "ended before the end of the message"},
      {"no input", {kOrigin}, "", "ended before the message's length"},
      {"half a length", {kOrigin}, frame(confirm).substr(0, 2), "ended before the message's length"},
      {"zero length", {kOrigin}, frame(""), "not JSON"},
      {"not JSON", {kOrigin}, frame(R"({"request":"confirm",)"), "not JSON"},
      {"not UTF-8", {kOrigin}, frame("{\"request\":\"confirm\",\"version\":\"\xff\"}"), "not JSON"},
      {"not an object", {kOrigin}, frame(R"(["confirm","0.1.0"])"), "not a JSON object"},
      {"unknown request",
       {kOrigin},
       frame(R"({"request":"uninstall","version":"0.1.0"})"),
       "asks for nothing"},
      {"no version", {kOrigin}, frame(R"({"request":"confirm","version":1})"), "names no version"},
      {"wrong version", {kOrigin}, frame(R"({"request":"confirm","version":"0.0.9"})"), "another version"},
  };
  auto expectRefused = [&](const Case& bad) {
    SCOPED_TRACE(bad.what);
    const ToolRun refused = run(host(), bad.arguments, bad.input);
    EXPECT_EQ(refused.status, 1);
    const nlohmann::json answer = reply(refused.out);
    ASSERT_TRUE(answer.is_object()) << refused.out;
    EXPECT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer["confirmed"], false);
    EXPECT_NE(answer.value("error", "").find(bad.words), std::string::npos) << answer;
    expectOneLine(refused.err);
  };

  expectRefused({"no setup yet", {kOrigin}, frame(confirm), "no setup to confirm"});
  EXPECT_FALSE(fs::exists(receipt()));

  setUpOnce();
  ASSERT_EQ(run(kReceiptWriter, {"--age", "100"}).status, 0);
  const std::string bytes = readFile(receipt());
  const auto written = fs::last_write_time(receipt());
  for (const Case& bad : cases) expectRefused(bad);
  EXPECT_EQ(readFile(receipt()), bytes);
  EXPECT_EQ(fs::last_write_time(receipt()), written);
  for (const auto& entry : fs::directory_iterator(dataFolder())) {
    EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
}

TEST_F(ToolsTest, TheHostGivesUpOnAnInputThatStaysOpenWithoutAWholeMessage) {
  const SetupResult setup = setUpOnce();
  const fs::path held = temp.path() / "held";
  ASSERT_EQ(::mkfifo(held.c_str(), 0600), 0);
  // The test keeps the writing end: the host never sees the input end.
  const platform::posix::UniqueFd writer(::open(held.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(writer.valid());
  const std::string half =
      frame(R"({"request":"confirm","version":")" + setup.version + R"("})").substr(0, 12);
  ASSERT_EQ(::write(writer.get(), half.data(), half.size()), static_cast<ssize_t>(half.size()));
  inputFrom = held;
  const ToolRun given = run(host(), {kOrigin});
  EXPECT_EQ(given.status, 1);
  EXPECT_NE(reply(given.out).value("error", "").find("no whole message came"), std::string::npos)
      << given.out;
  EXPECT_FALSE(fs::exists(receipt()));
}

}  // namespace
}  // namespace vorn
