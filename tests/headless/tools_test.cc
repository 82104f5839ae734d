// The sample updater, the native host and the receipt writer, run as the real
// executables with a throw-away home folder; the updater and the host from a
// bundle of their own.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "confirm/setup_receipt.h"
#include "platform/posix/posix_fd.h"
#include "test_mount.h"
#include "tool_fixture.h"

namespace vorn {
namespace {

using namespace tool_testing;

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
  // Outside the home folder, setup makes no data folder of its own.
  environment["XDG_DATA_HOME"] = (temp.path() / "data").string();
  EXPECT_EQ(run(updater(), {"--setup"}).status, 1);
  EXPECT_FALSE(fs::exists(temp.path() / "data"));
  fs::create_directory(temp.path() / "data");
  EXPECT_EQ(fs::path(setUpOnce().folder), temp.path() / "data" / "vorn-preview" / "extension");

  environment["XDG_DATA_HOME"] = "relative/data";
  EXPECT_EQ(fs::path(setUpOnce().folder), dataFolder() / "extension");
}

// The version is written once, in the build; the setup, the extension the
// browser loads and each program's --version all tell that one.
TEST_F(ToolsTest, EverySetupHasItsOwnTokenAndTheOneVersionThatEveryProgramTells) {
  const SetupResult first = setUpOnce();
  const SetupResult second = setUpOnce();
  EXPECT_NE(first.token, second.token);
  EXPECT_EQ(first.folder, second.folder);
  EXPECT_EQ(first.version, VORN_PROJECT_VERSION);
  EXPECT_EQ(second.version, VORN_PROJECT_VERSION);
#ifdef VORN_EXTENSION_MANIFEST
  EXPECT_EQ(nlohmann::json::parse(readFile(VORN_EXTENSION_MANIFEST)).at("version"), VORN_PROJECT_VERSION);
#endif

  std::vector<std::pair<std::string, std::string>> programs = {
      {updater(), "vorn-updater"}, {host(), "vorn-native-host"}, {kReceiptWriter, "vorn-receipt-writer"}};
#ifdef VORN_PROGRAM_PATH
  programs.emplace_back(VORN_PROGRAM_PATH, "vorn-preview-setup");
#endif
  for (const auto& [program, name] : programs) {
    SCOPED_TRACE(name);
    const ToolRun asked = run(program, {"--version"});
    EXPECT_EQ(asked.status, 0);
    EXPECT_EQ(asked.out, name + " " VORN_PROJECT_VERSION "\n");
    EXPECT_EQ(asked.err, "");
  }
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
  fs::create_directory(temp.path() / "config");
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
    // The user's file keeps the folder it is in, which the first round names.
    EXPECT_EQ(removed.out + removed.err,
              round == 0 ? "vorn-updater: kept \"" + setup.folder +
                               "\", which setup made: something that setup did not put there is in it\n"
                         : "");
    for (const auto& browser : kBrowserFolders) {
      EXPECT_FALSE(fs::exists(config() / browser / "NativeMessagingHosts" / kHostManifest)) << browser;
    }
    EXPECT_EQ(readFile(fs::path(setup.folder) / "added-later.txt"), "inside our folder");
    EXPECT_EQ(std::distance(fs::directory_iterator(setup.folder), fs::directory_iterator()), 1);
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

TEST_F(ToolsTest, ABrowserFolderSetupMayNotChangeIsSkippedWithOneLineAndTheRestAreRegistered) {
  struct Blocked {
    const char* browser;
    std::function<void()> block;  // as root, after the home is nobody's
    const char* words;
    std::function<void()> unchanged;
  };
  const fs::path elsewhere = temp.path() / "users-folder";
  const fs::path hosts = config() / "google-chrome-beta" / "NativeMessagingHosts";
  const std::vector<Blocked> blocked = {
      {"Google Chrome",
       [&] {
         fs::create_directories(config() / "google-chrome");
         ASSERT_EQ(::chown((config() / "google-chrome").c_str(), 0, 0), 0);
       },
       "Permission denied", [&] { EXPECT_TRUE(fs::is_empty(config() / "google-chrome")); }},
      {"Chromium",
       [&] { fs::create_directory_symlink("../nowhere", config() / "chromium" / "NativeMessagingHosts"); },
       "leads nowhere",
       [&] { EXPECT_EQ(fs::read_symlink(config() / "chromium" / "NativeMessagingHosts"), "../nowhere"); }},
      {"Vivaldi", [&] { testing::writeFile(config() / "vivaldi", "a file"); },
       "a file where a folder should be", [&] { EXPECT_EQ(readFile(config() / "vivaldi"), "a file"); }},
      {"Microsoft Edge", [&] { fs::create_directory_symlink(elsewhere, config() / "microsoft-edge"); },
       "does not follow", [&] { EXPECT_EQ(fs::read_symlink(config() / "microsoft-edge"), elsewhere); }},
      {"Google Chrome Beta", [&] { fs::create_symlink(elsewhere / "mine.json", hosts / kHostManifest); },
       "symbolic link", [&] { EXPECT_EQ(fs::read_symlink(hosts / kHostManifest), elsewhere / "mine.json"); }},
  };
  testing::writeFile(elsewhere / "mine.json", "the user's");
  fs::create_directories(config() / "chromium");
  fs::create_directories(hosts);
  ownTree(temp.path(), kNobody);
  for (const auto& each : blocked) each.block();
  const auto before = everything();
  unprivileged = true;

  const ToolRun setup = run(updater(), {"--setup"});
  ASSERT_EQ(setup.status, 0) << setup.err;
  EXPECT_TRUE(decodeSetupResult(setup.out)) << setup.out;
  EXPECT_TRUE(fs::is_regular_file(dataFolder() / "last-setup.json"));
  const auto lines = linesOf(setup.err);
  EXPECT_EQ(lines.size(), blocked.size()) << setup.err;
  for (const auto& each : blocked) {
    SCOPED_TRACE(each.browser);
    const std::string start = std::string("vorn-updater: not registered with ") + each.browser + ": ";
    const auto line =
        std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.starts_with(start); });
    ASSERT_NE(line, lines.end()) << setup.err;
    EXPECT_NE(line->find(each.words), std::string::npos) << *line;
    each.unchanged();
  }
  for (const auto& browser : kEveryBrowser) {
    const bool skipped = std::any_of(blocked.begin(), blocked.end(), [&](const auto& each) {
      return std::string(each.browser) == browser.name;
    });
    if (!skipped) {
      EXPECT_TRUE(fs::is_regular_file(config() / browser.folder / "NativeMessagingHosts" / kHostManifest))
          << browser.name;
    }
  }
  EXPECT_EQ(readFile(elsewhere / "mine.json"), "the user's");

  const ToolRun removed = run(updater(), {"--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.err, "");
  EXPECT_EQ(everything(), before);
  for (const auto& each : blocked) each.unchanged();

  // Only when no browser at all can be registered does setup fail.
  testing::writeFile(temp.path() / "a-file", "x");
  environment["XDG_CONFIG_HOME"] = (temp.path() / "a-file").string();
  const ToolRun none = run(updater(), {"--setup"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(linesOf(none.err).size(), kEveryBrowser.size() + 1) << none.err;
  EXPECT_NE(none.err.find("no browser could be registered"), std::string::npos) << none.err;
  EXPECT_FALSE(fs::exists(dataFolder() / "last-setup.json"));
}

TEST_F(ToolsTest, UninstallRemovesExactlyWhatSetupMadeWhereverTheConfigFolderIs) {
  struct Layout {
    const char* what;
    // The variables as written, "@" standing for the test's folder.
    std::optional<std::string> xdgConfig, chromeConfig;
    std::vector<std::string> usersFolders;  // there before setup, empty
  };
  const std::vector<Layout> layouts = {
      {"the user's own empty folders", {}, {}, {"home/.config/vivaldi", "home/.config/BraveSoftware"}},
      // Setup makes a missing config folder only inside the home folder.
      {"a config folder written with a trailing slash", "@/home/a/b/cfg/", {}, {"home/a/b"}},
      {"a config folder by a detour", "@/home/a//b//cfg/", {}, {"home/a/b/cfg/chromium"}},
      {"a Chrome config folder of its own", {}, "@/chrome-home/", {"chrome-home", "home/.local/share"}},
      {"a relative Chrome config folder, ignored", "@/home/cfg", "chrome-home", {"home"}},
  };
  auto expand = [&](const std::string& value) {
    return value.starts_with("@") ? temp.path().string() + value.substr(1) : value;
  };
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.what);
    fs::remove_all(home());
    for (const char* stale : {"a", "cfg", "chrome-home"}) fs::remove_all(temp.path() / stale);
    for (const auto& folder : layout.usersFolders) fs::create_directories(temp.path() / folder);
    fs::create_directories(home());
    environment.clear();
    if (layout.xdgConfig) environment["XDG_CONFIG_HOME"] = expand(*layout.xdgConfig);
    if (layout.chromeConfig) environment["CHROME_CONFIG_HOME"] = expand(*layout.chromeConfig);
    const fs::path xdg = layout.xdgConfig ? fs::path(expand(*layout.xdgConfig)) : config();
    const fs::path chrome = layout.chromeConfig && layout.chromeConfig->starts_with("@")
                                ? fs::path(expand(*layout.chromeConfig))
                                : xdg;
    const auto before = everything();

    setUpOnce();
    setUpOnce();  // a repair: the second setup makes nothing new, and forgets nothing
    for (const auto& browser : kEveryBrowser) {
      const fs::path manifest =
          (browser.chrome ? chrome : xdg) / browser.folder / "NativeMessagingHosts" / kHostManifest;
      EXPECT_TRUE(fs::is_regular_file(manifest)) << manifest;
    }
    const ToolRun removed = run(updater(), {"--uninstall"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    // Only a relative value is told of, in one line.
    EXPECT_EQ(removed.err,
              layout.chromeConfig == "chrome-home"
                  ? "vorn-updater: CHROME_CONFIG_HOME is ignored: chrome-home: it is not an absolute path\n"
                  : "");
    EXPECT_EQ(everything(), before);
  }
}

TEST_F(ToolsTest, SetupAndUninstallNeverWorkThroughALink) {
  struct Link {
    const char* what;
    fs::path at;  // the link, to the user's folder or file
    bool toFile;
    bool kept;  // by uninstall; one in the tools' folder goes as a link
  };
  const fs::path extension = dataFolder() / "extension";
  const std::vector<Link> links = {
      {"the extension folder", extension, false, true},
      {"the tools' folder", dataFolder(), false, true},
      {"a folder in the extension", extension / "icons", false, false},
      {"a file in the extension", extension / "manifest.json", true, false},
      {"the last setup's record", dataFolder() / "last-setup.json", true, false},
  };
  const fs::path users = temp.path() / "users";
  for (const auto& link : links) {
    SCOPED_TRACE(link.what);
    fs::remove_all(home());
    fs::remove_all(users);
    testing::writeFile(users / "manifest.json", "the user's");
    testing::writeFile(users / "16.png", "the user's");
    fs::create_directories(link.at.parent_path());
    if (link.toFile) {
      fs::create_symlink(users / "manifest.json", link.at);
    } else {
      fs::create_directory_symlink(users, link.at);
    }
    const auto before = everything();

    const ToolRun setup = run(updater(), {"--setup"});
    EXPECT_EQ(setup.status, 1);
    EXPECT_EQ(setup.out, "");
    expectOneLine(setup.err);
    EXPECT_NE(setup.err.find(link.at.string() + " is a symbolic link"), std::string::npos) << setup.err;
    EXPECT_EQ(everything(), before) << "nothing is changed before all is known right";

    const ToolRun removed = run(updater(), {"--uninstall"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(readFile(users / "manifest.json"), "the user's");
    EXPECT_EQ(readFile(users / "16.png"), "the user's");
    if (link.kept) {
      EXPECT_EQ(everything(), before);
    }
  }
}

// A link swapped in and out while uninstall runs, for the tools' folder, the
// extension folder or a folder in it, to a folder of the user's holding every
// name that uninstall removes: nothing of the user's goes, whichever the link
// is at each step.
TEST_F(ToolsTest, UninstallGoesNowhereALinkSwappedInWhileItRunsPoints) {
  const fs::path users = temp.path() / "users";
  const fs::path decoy = temp.path() / "decoy";
  const fs::path extension = dataFolder() / "extension";
  const std::vector<fs::path> places = {dataFolder(), extension, extension / "icons"};
  const auto contents = [](const fs::path& top) {
    std::map<fs::path, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(top))
      found[entry.path().lexically_relative(top)] = entry.is_regular_file() ? readFile(entry.path()) : "/";
    return found;
  };
  int swaps = 0;
  for (int round = 0; round < 45; ++round) {
    const fs::path& place = places[round % places.size()];
    SCOPED_TRACE(place.string() + ", round " + std::to_string(round));
    // Whichever way the last swap left them: a link goes as a link.
    fs::remove_all(home());
    fs::remove_all(decoy);
    fs::remove_all(users);
    fs::create_directories(home());
    setUpOnce();
    ASSERT_EQ(run(kReceiptWriter, {}).status, 0);
    // The user's folder holds what setup made at each of the three levels.
    fs::copy(dataFolder(), users, fs::copy_options::recursive);
    fs::copy(extension, users, fs::copy_options::recursive | fs::copy_options::skip_existing);
    fs::copy(extension / "icons", users, fs::copy_options::skip_existing);
    const auto before = contents(users);
    fs::create_directory_symlink(users, decoy);

    std::atomic<bool> done{false};
    std::atomic<int> exchanged{0};
    std::thread swapper([&] {
      while (!done.load()) {
        if (::renameat2(AT_FDCWD, place.c_str(), AT_FDCWD, decoy.c_str(), RENAME_EXCHANGE) == 0) ++exchanged;
      }
    });
    const ToolRun removed = run(updater(), {"--uninstall"});
    done = true;
    swapper.join();
    swaps += exchanged.load();
    EXPECT_EQ(removed.out, "");
    const auto after = contents(users);
    std::string changed;
    for (const auto& [name, text] : before) {
      const auto now = after.find(name);
      if (now == after.end() || now->second != text) changed.append(" ").append(name.string());
    }
    EXPECT_EQ(changed, "") << "the user's, changed or gone; " << removed.err;
  }
  EXPECT_GT(swaps, 0);
}

// A file system mounted since setup on a folder that setup made, a bind mount
// of the user's own folder included: what is on it stays whole, its folder is
// named as kept, and the rest of setup's goes.
TEST_F(ToolsTest, UninstallLeavesWholeWhatIsMountedInsideWhatSetupMade) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const fs::path extension = dataFolder() / "extension";
  const fs::path users = temp.path() / "users";
  struct Case {
    const char* what;
    fs::path at;
    const char* source;  // a tmpfs when empty
  };
  const std::vector<Case> cases = {
      {"a tmpfs on a folder in the extension", extension / "icons", nullptr},
      {"the user's folder bound on the extension folder", extension, users.c_str()},
      {"a tmpfs on the tools' folder", dataFolder(), nullptr},
  };
  for (const auto& mounted : cases) {
    SCOPED_TRACE(mounted.what);
    fs::remove_all(home());
    fs::remove_all(users);
    fs::create_directories(home());
    setUpOnce();
    ASSERT_EQ(run(kReceiptWriter, {}).status, 0);
    // The names that setup wrote, in the user's folder.
    for (const char* name :
         {"manifest.json", "background.js", "16.png", "last-setup.json", "setup-confirmed.json"})
      testing::writeFile(users / name, "the user's");
    testing::Mount mount(mounted.at, mounted.source == nullptr ? "none" : mounted.source,
                         mounted.source == nullptr ? "tmpfs" : nullptr,
                         mounted.source == nullptr ? 0 : MS_BIND,
                         mounted.source == nullptr ? "size=1m,mode=0755" : nullptr);
    if (!mount.mounted()) GTEST_SKIP() << "cannot mount here";
    if (mounted.source == nullptr) fs::copy(users, mounted.at, fs::copy_options::recursive);

    const ToolRun removed = run(updater(), {"--uninstall"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_NE(removed.err.find("kept \"" + mounted.at.string() +
                               "\", which setup made: another file system is mounted on it"),
              std::string::npos)
        << removed.err;
    for (const char* name :
         {"manifest.json", "background.js", "16.png", "last-setup.json", "setup-confirmed.json"})
      EXPECT_EQ(readFile(mounted.at / name), "the user's") << name;
    for (const auto& browser : kBrowserFolders)
      EXPECT_FALSE(fs::exists(config() / browser / "NativeMessagingHosts" / kHostManifest)) << browser;
    if (mounted.at != dataFolder()) {
      EXPECT_FALSE(fs::exists(dataFolder() / "last-setup.json"));
      EXPECT_FALSE(fs::exists(receipt()));
    }
    mount.detach();
  }
}

TEST_F(ToolsTest, ABadBundleIsRefusedBeforeAnythingIsWritten) {
  // A copy of the bundle whose path is not UTF-8.
  const fs::path odd = temp.path() / "Vorn \xff\xfe.app" / "Contents";
  fs::create_directories(odd);
  fs::copy(macOS().parent_path(), odd, fs::copy_options::recursive);
  struct Bad {
    const char* what;
    fs::path aside;  // moved away for the run
    std::string updater;
    const char* words;
  };
  const std::vector<Bad> cases = {
      {"no extension", bundledExtension() / "manifest.json", updater(), "no browser extension"},
      {"no host", host(), updater(), "no native messaging host"},
      {"a path that is not UTF-8", {}, (odd / "MacOS" / "vorn-updater").string(), "not valid UTF-8"},
  };
  for (const auto& bad : cases) {
    SCOPED_TRACE(bad.what);
    if (!bad.aside.empty()) fs::rename(bad.aside, bad.aside.string() + ".aside");
    const ToolRun failed = run(bad.updater, {"--setup"});
    if (!bad.aside.empty()) fs::rename(bad.aside.string() + ".aside", bad.aside);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "");
    expectOneLine(failed.err);
    EXPECT_NE(failed.err.find(bad.words), std::string::npos) << failed.err;
    EXPECT_EQ(failed.err.find("json.exception"), std::string::npos) << failed.err;
    EXPECT_TRUE(fs::is_empty(home()));
  }
}

TEST_F(ToolsTest, UninstallTriesEveryItemAndReportsEachFailureOnALineOfItsOwn) {
  ownTree(temp.path(), kNobody);
  unprivileged = true;
  const auto before = everything();
  const SetupResult setup = setUpOnce();
  // Two places nobody may change any more.
  const fs::path chromium = config() / "chromium" / "NativeMessagingHosts";
  const fs::path icons = fs::path(setup.folder) / "icons";
  for (const auto& folder : {chromium, icons}) {
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
  }

  const ToolRun failed = run(updater(), {"--uninstall"});
  EXPECT_EQ(failed.status, 1);
  const auto lines = linesOf(failed.err);
  ASSERT_EQ(lines.size(), 2u) << failed.err;
  EXPECT_EQ(lines[0],
            "vorn-updater: cannot remove " + (chromium / kHostManifest).string() + ": Permission denied");
  EXPECT_EQ(lines[1], "vorn-updater: cannot remove " + (icons / "16.png").string() + ": Permission denied");
  for (const auto& browser : kEveryBrowser) {
    if (std::string(browser.folder) != "chromium") {
      EXPECT_FALSE(fs::exists(config() / browser.folder)) << browser.name;
    }
  }
  EXPECT_FALSE(fs::exists(fs::path(setup.folder) / "manifest.json"));
  EXPECT_FALSE(fs::exists(dataFolder() / "last-setup.json"));

  // Once they may be changed again, a second uninstall finishes the work.
  for (const auto& folder : {chromium, icons}) ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
  const ToolRun removed = run(updater(), {"--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.err, "");
  EXPECT_EQ(everything(), before);
}

TEST_F(ToolsTest, UninstallReadsTheRecordOfWhatSetupMadeAsUntrusted) {
  const fs::path record = dataFolder() / "created-by-setup.json";
  const fs::path keep = temp.path() / "keep";
  struct Record {
    const char* what;
    std::function<std::string(std::string)> make;  // from the record setup wrote
    size_t lines;
  };
  // An earlier version's record, {"created":[…]} with every path whole: its
  // manifests and these entries.
  auto adding = [&](const nlohmann::json& entries) {
    return [this, entries](const std::string&) {
      nlohmann::json created = nlohmann::json::array();
      for (const auto& browser : kEveryBrowser)
        created.push_back((config() / browser.folder / "NativeMessagingHosts" / kHostManifest).string());
      for (const auto& entry : entries) created.push_back(entry);
      return nlohmann::json{{"created", created}}.dump();
    };
  };
  const std::vector<Record> records = {
      {"entries outside what setup makes",
       adding({keep.string(), (config() / "chromium" / ".." / "keep").string(), "relative", 7,
               (config() / "chromium/").string(), (config() / "chromium" / "Default").string(),
               (config() / "chromium\nvorn-updater: forged").string()}),
       7},
      {"a record past the limit",
       [](const std::string& written) { return written + std::string(70000, ' '); }, 1},
      {"no record", [](const std::string&) { return std::string("[\"not a record\""); }, 1},
  };
  for (const auto& bad : records) {
    SCOPED_TRACE(bad.what);
    fs::remove_all(home());
    fs::create_directories(keep);
    fs::create_directories(config() / "keep");
    fs::create_directories(config() / "chromium" / "Default");
    setUpOnce();
    testing::writeFile(record, bad.make(readFile(record)));

    const ToolRun removed = run(updater(), {"--uninstall"});
    EXPECT_EQ(removed.status, 1);
    const auto lines = linesOf(removed.err);
    EXPECT_EQ(lines.size(), bad.lines) << removed.err;
    for (const auto& line : lines)
      EXPECT_TRUE(line.starts_with("vorn-updater: ignored in \"" + record.string() + "\"")) << line;
    EXPECT_TRUE(fs::is_directory(keep));
    EXPECT_TRUE(fs::is_directory(config() / "keep"));
    EXPECT_TRUE(fs::is_directory(config() / "chromium" / "Default"));
    // The manifests are known by their name even without a record.
    for (const auto& browser : kEveryBrowser)
      EXPECT_FALSE(fs::exists(config() / browser.folder / "NativeMessagingHosts" / kHostManifest))
          << browser.name;
    EXPECT_FALSE(fs::exists(dataFolder() / "extension"));
  }
}

}  // namespace
}  // namespace vorn
