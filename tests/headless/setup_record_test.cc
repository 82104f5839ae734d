// What the updater makes and removes, held to the user's files, the host's
// path, the record and an end by signal.
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <functional>
#include <iostream>
#include <regex>

#include "platform/posix/posix_fd.h"
#include "tool_fixture.h"

namespace vorn {
namespace {

using namespace tool_testing;
using platform::posix::UniqueFd;

mode_t currentUmask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

nlohmann::json manifestOf(const fs::path& folder) {
  return nlohmann::json::parse(readFile(folder / "NativeMessagingHosts" / kHostManifest), nullptr, false);
}

// The user's files

TEST_F(ToolsTest, UninstallRemovesOnlyTheFilesSetupWroteAndKeepsTheUsersFolders) {
  const fs::path extension = dataFolder() / "extension";
  const SetupResult setup = setUpOnce();
  testing::writeFile(extension / "notes.txt", "the user's");
  testing::writeFile(extension / "mine" / "draft.js", "the user's");
  testing::writeFile(extension / "icons" / "mine.png", "the user's");
  const ToolRun removed = run(updater(), {"--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  const std::string kept = "\", which setup made: something that setup did not put there is in it";
  EXPECT_EQ(linesOf(removed.err),
            (std::vector<std::string>{"vorn-updater: kept \"" + (extension / "icons").string() + kept,
                                      "vorn-updater: kept \"" + extension.string() + kept}));
  for (const char* file : {"manifest.json", "background.js", "icons/16.png"})
    EXPECT_FALSE(fs::exists(extension / file)) << file;
  for (const char* file : {"notes.txt", "mine/draft.js", "icons/mine.png"})
    EXPECT_EQ(readFile(extension / file), "the user's") << file;

  // An extension folder that was there before setup stays, even empty.
  fs::remove_all(home());
  fs::create_directories(extension);
  const auto before = everything();
  setUpOnce();
  const ToolRun again = run(updater(), {"--uninstall"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(everything(), before);
}

// The host's path

TEST_F(ToolsTest, AHostThatAnotherUserCouldReplaceIsRegisteredAsAPrivateCopy) {
  // A bundle unpacked in a shared, sticky folder; its path has a newline.
  const fs::path shared = temp.path() / "shared";
  const fs::path bundle = shared / "Vorn\nshared.app";
  fs::create_directories(bundle);
  fs::copy(macOS().parent_path(), bundle / "Contents", fs::copy_options::recursive);
  ownTree(temp.path(), kNobody);
  ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const auto before = everything();
  unprivileged = true;

  const ToolRun setup = run((bundle / "Contents" / "MacOS" / "vorn-updater").string(), {"--setup"});
  ASSERT_EQ(setup.status, 0) << setup.err;
  const auto lines = linesOf(setup.err);
  ASSERT_EQ(lines.size(), 1u) << setup.err;
  EXPECT_TRUE(lines[0].starts_with(
      "vorn-updater: registered a private copy of the native messaging host, \"" +
      (dataFolder() / "vorn-native-host").string() + "\", because others may write to " + shared.string()))
      << lines[0];
  EXPECT_NE(lines[0].find("Vorn\\nshared.app"), std::string::npos) << lines[0];

  const fs::path copy = dataFolder() / "vorn-native-host";
  for (const auto& browser : kEveryBrowser)
    EXPECT_EQ(manifestOf(config() / browser.folder)["path"], copy.string()) << browser.name;
  struct stat status {};
  ASSERT_EQ(::lstat(copy.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode));
  EXPECT_EQ(status.st_uid, kNobody);
  EXPECT_EQ(status.st_mode & 07777, (0777 & ~currentUmask()) | S_IXUSR);
  EXPECT_EQ(readFile(copy), readFile(host()));

  // A second user can neither change the copy nor, by taking the bundle's
  // path once it is gone, the program that the browsers start.
  unprivileged = false;
  fs::remove_all(bundle);
  const ToolRun other = run("/usr/bin/setpriv", {"--reuid=65533", "--regid=65533", "--clear-groups",
                                                 "/bin/sh", "-c", "echo evil > \"$0\"; mkdir -p \"$1\"",
                                                 copy.string(), (bundle / "Contents" / "MacOS").string()});
  EXPECT_NE(other.status, 0);
  EXPECT_EQ(readFile(copy), readFile(host()));
  EXPECT_EQ(manifestOf(config() / "chromium")["path"], copy.string());
  fs::remove_all(bundle);

  unprivileged = true;
  const ToolRun removed = run(updater(), {"--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.err, "");
  auto expected = before;
  std::erase_if(expected, [](const std::string& entry) { return entry.starts_with("shared/Vorn"); });
  EXPECT_EQ(everything(), expected);
}

// The browsers' folders

TEST_F(ToolsTest, SetupMakesOnlyTheFoldersOfInstalledBrowsersForTheUserAlone) {
  const fs::path none = temp.path() / "no-programs";
  fs::create_directories(none);
  environment["VORN_TEST_BROWSER_PROGRAMS_ROOT"] = none.string();
  // With no browser at all, setup prepares the extension folder and says
  // that every browser is left for later.
  const ToolRun alone = run(updater(), {"--setup"});
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_EQ(linesOf(alone.err).size(), 1u) << alone.err;
  EXPECT_FALSE(fs::exists(config()));
  EXPECT_TRUE(fs::is_regular_file(dataFolder() / "extension" / "manifest.json"));
  installProgram(none, "/opt/google/chrome/chrome");
  fs::create_directories(config() / "vivaldi");  // the browser made its folder
  const SetupResult setup = setUpOnce();
  (void)setup;
  const ToolRun again = run(updater(), {"--setup"});
  EXPECT_EQ(linesOf(again.err),
            (std::vector<std::string>{
                "vorn-updater: not installed, so left for a later setup: Google Chrome Beta, "
                "Google Chrome Unstable, Chromium, Brave, Microsoft Edge, Microsoft Edge Beta, "
                "Microsoft Edge Dev (run setup again once one is installed)"}));
  std::set<std::string> made;
  for (const auto& entry : fs::directory_iterator(config())) made.insert(entry.path().filename().string());
  EXPECT_EQ(made, (std::set<std::string>{"google-chrome", "vivaldi"}));
  for (const auto& folder : {config() / "google-chrome", config() / "google-chrome" / "NativeMessagingHosts"})
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
  EXPECT_EQ(manifestOf(config() / "vivaldi")["path"], host());

  // Installed later, a browser is registered by the next setup.
  installProgram(none, "/usr/bin/chromium");
  setUpOnce();
  EXPECT_EQ(manifestOf(config() / "chromium")["path"], host());
}

// The record

TEST_F(ToolsTest, UninstallRemovesNoFolderThatATamperedRecordNamesOrThatIsNoLongerSetups) {
  // A folder setup made, replaced by the user's own since.
  fs::create_directories(config());
  const auto before = everything();
  setUpOnce();
  // Made before the old one goes, so that it cannot be given the old one's inode.
  fs::rename(config() / "vivaldi", config() / "vivaldi-old");
  fs::create_directory(config() / "vivaldi");
  fs::remove_all(config() / "vivaldi-old");
  const ToolRun removed = run(updater(), {"--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.err, "");
  auto expected = before;
  expected.insert("home/.config/vivaldi/");
  EXPECT_EQ(everything(), expected);

  // Records naming the home folder and what is above it, the one of an
  // earlier version and one of this, forged with the folders' own identities.
  const fs::path data = temp.path() / "data";
  const fs::path cfg = temp.path() / "cfg";
  const fs::path record = data / "vorn-preview" / "created-by-setup.json";
  auto identity = [](const fs::path& path) {
    struct stat status {};
    ::lstat(path.c_str(), &status);
    return nlohmann::json::array({path.filename().string(), status.st_dev, status.st_ino});
  };
  const std::vector<std::function<std::string()>> forged = {
      [&] {
        return nlohmann::json{{"created", {home().string(), temp.path().string()}}}.dump();
      },
      [&] {
        return nlohmann::json{{"format", 2},
                              {"folders",
                               {{temp.path().string(), {identity(home())}},
                                {temp.path().parent_path().string(), {identity(temp.path())}},
                                {home().string(), {nlohmann::json::array({"../home", 1, 2})}}}}}
            .dump();
      },
  };
  for (const auto& forge : forged) {
    fs::remove_all(home());
    fs::create_directories(home());
    fs::create_directories(data);
    fs::create_directories(cfg);
    environment["XDG_DATA_HOME"] = data.string();
    environment["XDG_CONFIG_HOME"] = cfg.string();
    setUpOnce();
    testing::writeFile(record, forge());
    const ToolRun tampered = run(updater(), {"--uninstall"});
    EXPECT_EQ(tampered.status, 1);
    for (const auto& line : linesOf(tampered.err))
      EXPECT_TRUE(line.starts_with("vorn-updater: ignored in \"" + record.string() + "\": ")) << line;
    EXPECT_TRUE(fs::is_directory(home()));
    EXPECT_TRUE(fs::is_empty(home()));
  }
}

TEST_F(ToolsTest, TheRecordBelowAVeryLongHomeFolderIsOneThatUninstallReads) {
  // As long as a home folder can be with what setup writes below it.
  fs::path longHome = home();
  while (longHome.string().size() < 3850)
    longHome /= std::string(std::min<size_t>(200, 3850 - longHome.string().size()), 'h');
  fs::create_directories(longHome);
  environment["HOME"] = longHome.string();
  const auto before = everything();
  const ToolRun setup = run(updater(), {"--setup"});
  ASSERT_EQ(setup.status, 0) << setup.err;
  const auto size = fs::file_size(longHome / ".local/share/vorn-preview/created-by-setup.json");
  EXPECT_LT(size, 3 * longHome.string().size());
  const ToolRun removed = run(updater(), {"--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.err, "");
  EXPECT_EQ(everything(), before);
}

// Interruption

// Every file below `top` in the shape of a temporary file of ours.
std::vector<std::string> temporaries(const fs::path& top) {
  static const std::regex shape(R"(\..+\.[0-9a-f]{12})");
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(top)) {
    if (std::regex_match(entry.path().filename().string(), shape)) found.push_back(entry.path().string());
  }
  return found;
}

TEST_F(ToolsTest, StaleTemporaryFilesOfOursAreSweptAndNoOthers) {
  setUpOnce();
  const fs::path extension = dataFolder() / "extension";
  const std::vector<fs::path> ours = {
      dataFolder() / ".last-setup.json.0123456789ab", extension / ".manifest.json.abcdefabcdef",
      extension / "icons" / ".16.png.000000000000",
      config() / "chromium" / "NativeMessagingHosts" / ".com.vorn.preview_setup.json.0123456789ab"};
  const std::vector<fs::path> others = {
      extension / ".mine.txt.0123456789ab", extension / ".manifest.json.0123456789AB",
      extension / ".manifest.json.0123456789a", extension / "manifest.json.0123456789ab"};
  for (const auto& path : ours) testing::writeFile(path, "left by a killed run");
  for (const auto& path : others) testing::writeFile(path, "the user's");
  fs::create_symlink(home() / "nowhere", extension / ".background.js.0123456789ab");
  fs::create_directory(dataFolder() / ".created-by-setup.json.0123456789ab");
  setUpOnce();
  for (const auto& path : ours) EXPECT_FALSE(fs::exists(path)) << path;
  for (const auto& path : others) EXPECT_EQ(readFile(path), "the user's") << path;
  EXPECT_TRUE(fs::is_symlink(extension / ".background.js.0123456789ab"));
  EXPECT_TRUE(fs::is_directory(dataFolder() / ".created-by-setup.json.0123456789ab"));

  for (const auto& path : ours) testing::writeFile(path, "left by a killed run");
  testing::writeFile(dataFolder() / ".setup-confirmed.json.0123456789ab", "left by a killed host");
  run(updater(), {"--uninstall"});
  for (const auto& path : ours) EXPECT_FALSE(fs::exists(path)) << path;
  EXPECT_FALSE(fs::exists(dataFolder() / ".setup-confirmed.json.0123456789ab"));
}

// Runs setup with every open it makes below the home folder held at the
// kernel until the test lets it go, and sends `signal` at the `at`th.
// Returns the run and how many opens it made.
class InterruptedSetupTest : public ToolsTest {
 protected:
  std::pair<ToolRun, int> runSignalledAt(int signal, int at);
};

std::pair<ToolRun, int> InterruptedSetupTest::runSignalledAt(int signal, int at) {
  UniqueFd watch(::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC));
  if (!watch.valid() || ::fanotify_mark(watch.get(), FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM | FAN_ONDIR,
                                        AT_FDCWD, home().c_str()) != 0) {
    ADD_FAILURE() << "cannot watch " << home() << ": " << std::strerror(errno);
    return {};
  }
  const pid_t pid = start(updater(), {"--setup"});
  const UniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  int opens = 0;
  for (bool running = true; running;) {
    pollfd fds[] = {{watch.get(), POLLIN, 0}, {ended.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    running = (fds[1].revents & POLLIN) == 0;
    alignas(fanotify_event_metadata) char buffer[4096];
    for (ssize_t got; (got = ::read(watch.get(), buffer, sizeof buffer)) > 0;) {
      auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
      for (; FAN_EVENT_OK(event, got); event = FAN_EVENT_NEXT(event, got)) {
        if (event->pid == pid && ++opens == at) ::kill(pid, signal);
        const fanotify_response allow{event->fd, FAN_ALLOW};
        (void)!::write(watch.get(), &allow, sizeof allow);
        ::close(event->fd);
      }
    }
  }
  return {finish(pid), opens};
}

TEST_F(InterruptedSetupTest, SetupEndedBySignalLeavesEverythingItMadeRecordedAndNoTemporaryFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "holding the updater's opens takes root";
  // A file system of the test's own as the home folder, so that only the
  // updater's opens are held.
  if (::mount("vorn-home", home().c_str(), "tmpfs", 0, "mode=0755,size=8m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{home()};
  const auto before = everything();

  const auto [whole, opens] = runSignalledAt(SIGTERM, INT_MAX);
  ASSERT_EQ(whole.status, 0) << whole.err;
  ASSERT_GT(opens, 8);
  std::cout << "setup made " << opens << " opens below the home folder\n";
  ASSERT_EQ(run(updater(), {"--uninstall"}).status, 0);
  ASSERT_EQ(everything(), before);

  const std::vector<std::pair<int, int>> points = {
      {SIGTERM, 1}, {SIGINT, opens / 4}, {SIGHUP, opens / 2}, {SIGTERM, 3 * opens / 4}, {SIGTERM, opens}};
  for (const auto& [signal, at] : points) {
    SCOPED_TRACE("signal " + std::to_string(signal) + " at open " + std::to_string(at) + " of " +
                 std::to_string(opens));
    const auto [ended, _] = runSignalledAt(signal, at);
    EXPECT_EQ(ended.status, 128 + signal) << ended.err;
    EXPECT_EQ(ended.out, "");
    EXPECT_EQ(temporaries(home()), std::vector<std::string>{});
    const ToolRun removed = run(updater(), {"--uninstall"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.err, "");
    EXPECT_EQ(everything(), before);
  }
}

}  // namespace
}  // namespace vorn
