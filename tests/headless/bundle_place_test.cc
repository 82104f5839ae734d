// Placing the bundle where something is already in the way: what is not an
// earlier copy of the program stays exactly as it was, what is mounted inside
// an old bundle stays whole, and an old bundle set aside is never left under
// a name that nobody looks at again. Real folders, links, mounts and owners.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller_fixture.h"
#include "install/updater.h"
#include "platform/posix/posix_tree.h"
#include "test_mount.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kRecord = R"({"folder":"/home/u/Ext/folder","token":"tok","version":"1.2"})";
constexpr std::string_view kStagingPrefix = ".Vorn Preview Setup-";

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every entry below `root` (not following links) with its kind, mode, owner
// and contents or target: two equal pictures are two trees left exactly alike.
std::string picture(const fs::path& root) {
  std::vector<std::string> lines;
  std::function<void(const fs::path&, const std::string&)> walk = [&](const fs::path& at,
                                                                      const std::string& name) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) != 0) {
      lines.push_back(name + " missing");
      return;
    }
    std::string line = name + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid);
    if (S_ISLNK(st.st_mode)) line += " -> " + fs::read_symlink(at).string();
    if (S_ISREG(st.st_mode)) {
      const std::string bytes = readAll(at);
      line +=
          " = " + std::to_string(bytes.size()) + " bytes, " + std::to_string(std::hash<std::string>{}(bytes));
    }
    lines.push_back(line);
    if (S_ISDIR(st.st_mode)) {
      for (const auto& entry : fs::directory_iterator(at))
        walk(entry.path(), name + "/" + entry.path().filename().string());
    }
  };
  walk(root, ".");
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

std::vector<std::string> stagingNamesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(kStagingPrefix)) names.push_back(name);
  }
  return names;
}

class BundlePlaceTest : public ControllerTest {
 protected:
  BundlePlaceTest() {
    writeFile(uiFolder() / "index.html", "<html>new</html>");
    writeFile(bundle() / "Contents" / "Resources" / "data" / "blob.bin", std::string(20000, 'n'));
    // The updater leaves a mark, so a refused installation can be seen not to have run it.
    setUpdater("touch '" + ranMark().string() + "'; printf '%s' '" + std::string(kRecord) + "'");
    launch();
  }
  ~BundlePlaceTest() override {
    platform.app.end(0);
    platform.dispatch.joinBackground();
  }
  fs::path ranMark() const { return temp.path() / "updater-ran"; }
  std::string refusal() const {
    return std::string(kFailurePrefix) + "Something else has the name \"" + destination().string() +
           "\": it is not an earlier copy of Vorn Preview Setup, so setup leaves it as it is. Move or rename "
           "it, then try again.";
  }
  bool installedTheNewBundle() const {
    return readAll(destination() / "Contents/Resources/ui/index.html") == "<html>new</html>" &&
           readAll(destination() / "Contents/Resources/data/blob.bin") == std::string(20000, 'n');
  }
};

// --- the user's files ---------------------------------------------------------------------------

TEST_F(BundlePlaceTest, SomethingElseByTheBundlesNameStaysExactlyAsItWas) {
  const fs::path elsewhere = temp.path() / "elsewhere";
  struct Case {
    std::string what;
    std::function<void()> make;
  };
  const std::vector<Case> cases = {
      {"a folder of the user's, with a read-only subfolder",
       [&] {
         writeFile(destination() / "notes.txt", "mine");
         writeFile(destination() / "Contents" / "Resources" / "ui" / "draft.html", "draft");
         writeFile(destination() / "kept" / "photo.jpg", "jpeg");
         fs::permissions(destination() / "kept", fs::perms(0555));
       }},
      {"a plain file", [&] { writeFile(destination(), "a file of the user's"); }},
      {"a link to an earlier bundle",
       [&] {
         makeEarlierBundle(elsewhere / "Old.app");
         fs::create_symlink(elsewhere / "Old.app", destination());
       }},
      {"an earlier bundle's shape reached through a link",
       [&] {
         makeEarlierBundle(elsewhere / "Old.app");
         fs::create_directories(destination());
         fs::create_symlink(elsewhere / "Old.app" / "Contents", destination() / "Contents");
       }},
      {"the page without the program",
       [&] {
         writeFile(destination() / "Contents" / "Resources" / "ui" / "index.html", "<html>mine</html>");
       }},
  };
  OwnerPermissionsOnly asTheUser;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code ec;
    fs::remove(ranMark(), ec);
    c.make();
    const std::string before = picture(destination());
    const std::string elsewhereBefore = fs::exists(elsewhere) ? picture(elsewhere) : "";
    const auto event = install();
    EXPECT_EQ(event.count("type") ? event.at("type") : "", "error");
    EXPECT_EQ(event.count("message") ? event.at("message") : "", refusal());
    EXPECT_EQ(picture(destination()), before);
    if (!elsewhereBefore.empty()) {
      EXPECT_EQ(picture(elsewhere), elsewhereBefore);
    }
    EXPECT_TRUE(stagingNamesIn(applications()).empty());
    EXPECT_FALSE(fs::exists(ranMark())) << "the updater ran although nothing was placed";
    // Cleared for the next case, as the user would move it away.
    fs::permissions(destination() / "kept", fs::perms(0755), ec);
    fs::remove_all(destination(), ec);
    fs::remove(destination(), ec);
    fs::remove_all(elsewhere, ec);
  }
  // Once it is moved away, setup installs.
  EXPECT_EQ(install().at("type"), "installed");
  EXPECT_TRUE(installedTheNewBundle());
}

// The old bundle holds a tmpfs and a bind mount of a folder of the user's
// (same file system, a mount of its own): removal leaves both whole and
// keeps the folders that hold them; once they are unmounted, the next run
// sweeps what was kept.
TEST_F(BundlePlaceTest, FileSystemsMountedInsideTheOldBundleAreLeftWhole) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  makeEarlierBundle(destination());
  writeFile(destination() / "Contents" / "Resources" / "old.txt", "old");
  const fs::path users = temp.path() / "users-folder";
  writeFile(users / "thesis.txt", "years of work");
  Mount tmpfs(destination() / "Contents" / "Resources" / "scratch", "none", "tmpfs", 0, "size=1m");
  Mount bound(destination() / "Contents" / "bound", users.c_str(), nullptr, MS_BIND, nullptr);
  if (!tmpfs.mounted() || !bound.mounted()) GTEST_SKIP() << "cannot mount here";
  writeFile(destination() / "Contents" / "Resources" / "scratch" / "on-tmpfs.txt", "tmpfs data");

  ASSERT_EQ(install().at("type"), "installed");
  EXPECT_TRUE(installedTheNewBundle());
  EXPECT_EQ(readAll(users / "thesis.txt"), "years of work");
  const std::vector<std::string> kept = stagingNamesIn(applications());
  ASSERT_EQ(kept.size(), 1U) << "the folders holding the mounts stay under one name the next run sweeps";
  const fs::path old = applications() / kept.front();
  tmpfs.movedTo(old / "Contents" / "Resources" / "scratch");
  bound.movedTo(old / "Contents" / "bound");
  EXPECT_EQ(readAll(old / "Contents" / "Resources" / "scratch" / "on-tmpfs.txt"), "tmpfs data");
  EXPECT_EQ(readAll(old / "Contents" / "bound" / "thesis.txt"), "years of work");
  EXPECT_FALSE(fs::exists(old / "Contents" / "Resources" / "old.txt")) << "what is the bundle's own goes";

  // Still mounted: the next run again leaves them whole.
  ASSERT_EQ(install().at("type"), "installed");
  EXPECT_EQ(readAll(users / "thesis.txt"), "years of work");
  EXPECT_EQ(readAll(old / "Contents" / "Resources" / "scratch" / "on-tmpfs.txt"), "tmpfs data");
  tmpfs.detach();
  bound.detach();
  ASSERT_EQ(install().at("type"), "installed");
  EXPECT_TRUE(stagingNamesIn(applications()).empty());
  EXPECT_EQ(readAll(users / "thesis.txt"), "years of work");
}

// A read-only folder of the user's reached through a link inside the old
// bundle, and folders of another user inside it, keep their modes: only the
// bundle's own folders are made writable to be removed.
TEST_F(BundlePlaceTest, RemovalChangesNoModeOutsideTheOldBundlesOwnFolders) {
  if (::geteuid() != 0) GTEST_SKIP() << "a second owner needs root";
  makeEarlierBundle(destination());
  const fs::path users = temp.path() / "users-read-only";
  writeFile(users / "keep.txt", "k");
  fs::permissions(users, fs::perms(0555));
  fs::create_symlink(users, destination() / "Contents" / "Resources" / "linked");
  writeFile(destination() / "Contents" / "Resources" / "ro" / "deep" / "x.txt", "x");
  fs::permissions(destination() / "Contents" / "Resources" / "ro" / "deep", fs::perms(0555));
  fs::permissions(destination() / "Contents" / "Resources" / "ro", fs::perms(0500));
  // Another user's read-only folder: not ours to open up, so it stays.
  const fs::path theirs = destination() / "Contents" / "theirs";
  writeFile(theirs / "t.txt", "t");
  ASSERT_EQ(::chown(theirs.c_str(), 4321, 4321), 0);
  fs::permissions(theirs, fs::perms(0555));
  {
    OwnerPermissionsOnly asTheUser;
    ASSERT_EQ(install().at("type"), "installed");
  }
  EXPECT_TRUE(installedTheNewBundle());
  EXPECT_EQ(fs::status(users).permissions(), fs::perms(0555));
  EXPECT_EQ(readAll(users / "keep.txt"), "k");
  const std::vector<std::string> kept = stagingNamesIn(applications());
  ASSERT_EQ(kept.size(), 1U);
  const fs::path keptTheirs = applications() / kept.front() / "Contents" / "theirs";
  EXPECT_EQ(fs::status(keptTheirs).permissions(), fs::perms(0555));
  EXPECT_EQ(readAll(keptTheirs / "t.txt"), "t");
  EXPECT_FALSE(fs::exists(applications() / kept.front() / "Contents" / "Resources")) << "its own folders go";
}

// A link swapped in and out of the old tree's place while it is removed: a
// second thread exchanges a folder of the tree with a link to the user's
// folder as fast as it can, and the user's folder never loses a file.
TEST_F(BundlePlaceTest, RemovalGoesNowhereALinkSwappedInWhileItRunsPoints) {
  const fs::path users = temp.path() / "users-own";
  for (int i = 0; i < 20; ++i) writeFile(users / ("file-" + std::to_string(i)), "mine");
  const fs::path decoy = temp.path() / "decoy";
  for (int round = 0; round < 200; ++round) {
    const fs::path old = temp.path() / ("old-" + std::to_string(round));
    for (int i = 0; i < 20; ++i) writeFile(old / "Contents" / "Resources" / ("f-" + std::to_string(i)), "x");
    fs::create_symlink(users, decoy);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      const fs::path inside = old / "Contents" / "Resources";
      while (!done.load()) ::renameat2(AT_FDCWD, inside.c_str(), AT_FDCWD, decoy.c_str(), RENAME_EXCHANGE);
    });
    (void)platform::posix::removeTree(old.string());
    done = true;
    swapper.join();
    std::error_code ignored;
    fs::remove(decoy, ignored);  // the link, wherever the swaps left it
    fs::remove_all(decoy, ignored);
    fs::remove_all(old, ignored);
    ASSERT_EQ(std::distance(fs::directory_iterator(users), fs::directory_iterator()), 20)
        << "round " << round;
  }
}

// --- interruption -----------------------------------------------------------------------------

// Where names cannot be exchanged, the old bundle is set aside under the name
// the caller gives, a staging name: should its removal stop short (here a
// mount keeps it), the next run finds and sweeps it.
TEST_F(BundlePlaceTest, AnOldBundleSetAsideIsSweptByTheNextRun) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  makeEarlierBundle(destination());
  const fs::path replacement =
      applications() / ".Vorn Preview Setup-AAAAAAAA-AAAA-4AAA-8AAA-AAAAAAAAAAAA.app";
  const fs::path aside = applications() / ".Vorn Preview Setup-BBBBBBBB-BBBB-4BBB-8BBB-BBBBBBBBBBBB.app";
  ASSERT_TRUE(
      platform::posix::copyTree(bundle().string(), replacement.string(), platform::Cancellation{}).ok());
  Mount tmpfs(destination() / "Contents" / "scratch", "none", "tmpfs", 0, "size=1m");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount here";
  writeFile(destination() / "Contents" / "scratch" / "data.txt", "kept");
  const std::vector<std::string> holds = {"Contents/MacOS/vorn-preview-setup",
                                          "Contents/Resources/ui/index.html"};

  // Not an earlier copy: left where it is, nothing renamed.
  writeFile(temp.path() / "plain", "p");
  EXPECT_FALSE(platform::posix::replaceByRenaming((temp.path() / "plain").string(), replacement.string(),
                                                  holds, aside.string())
                   .ok());
  EXPECT_EQ(readAll(temp.path() / "plain"), "p");
  EXPECT_FALSE(fs::exists(aside));

  ASSERT_TRUE(
      platform::posix::replaceByRenaming(destination().string(), replacement.string(), holds, aside.string())
          .ok());
  tmpfs.movedTo(aside / "Contents" / "scratch");
  EXPECT_TRUE(installedTheNewBundle());
  EXPECT_FALSE(fs::exists(replacement));
  EXPECT_EQ(readAll(aside / "Contents" / "scratch" / "data.txt"), "kept");
  EXPECT_EQ(stagingNamesIn(applications()), std::vector<std::string>{aside.filename().string()});

  tmpfs.detach();
  ASSERT_EQ(install().at("type"), "installed");
  EXPECT_TRUE(stagingNamesIn(applications()).empty()) << "the set-aside bundle outlived the next run";
}

// What a power cut may leave: no name refers to a copy not yet on disk, and
// the old bundle goes only once the new name is on disk. The installation
// runs in a process of its own, its system calls traced in order.
TEST_F(BundlePlaceTest, TheCopyIsOnDiskBeforeItTakesTheNameAndTheNameBeforeTheOldBundleGoes) {
  if (std::system("command -v strace >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
  for (const bool earlier : {false, true}) {
    SCOPED_TRACE(earlier ? "over an earlier bundle" : "into an empty folder");
    if (earlier) writeFile(destination() / "Contents" / "Resources" / "old.txt", "old");
    const fs::path trace = temp.path() / "trace.txt";
    // LeakSanitizer cannot run under ptrace; the sanitizer build's probe goes without it.
    const std::string command = "ASAN_OPTIONS=detect_leaks=0 strace -f -qq -o '" + trace.string() +
                                "' -e trace=syncfs,fsync,fdatasync,rename,renameat,renameat2,unlinkat '" +
                                VORN_INSTALL_PROBE_PATH + "' '" + bundle().string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::vector<std::string> calls;
    std::ifstream in(trace);
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    auto first = [&](std::size_t from, const std::function<bool(const std::string&)>& is) {
      for (std::size_t i = from; i < calls.size(); ++i) {
        if (is(calls[i])) return i;
      }
      return calls.size();
    };
    const std::size_t placed = first(0, [&](const std::string& call) {
      return call.find(earlier ? "Vorn Preview Setup.app\", RENAME_EXCHANGE"
                               : "Vorn Preview Setup.app\", RENAME_NOREPLACE") != std::string::npos;
    });
    ASSERT_LT(placed, calls.size()) << readAll(trace);
    const auto flush = [](const std::string& call) {
      return call.find("syncfs(") != std::string::npos || call.find("fsync(") != std::string::npos;
    };
    std::size_t flushedCopy = calls.size();
    for (std::size_t i = 0; i < placed; ++i) {
      if (flush(calls[i])) flushedCopy = i;
    }
    EXPECT_LT(flushedCopy, placed) << "the copy took the name before it was on disk";
    const std::size_t flushedName = first(placed + 1, flush);
    EXPECT_LT(flushedName, calls.size()) << "the new name was never flushed";
    if (earlier) {
      const std::size_t oldGone = first(
          placed + 1, [](const std::string& call) { return call.find("\"old.txt\"") != std::string::npos; });
      EXPECT_LT(oldGone, calls.size());
      EXPECT_LT(flushedName, oldGone) << "the old bundle went before the new name was on disk";
    }
  }
}

}  // namespace
}  // namespace vorn::testing
