// Faults as a user's machine produces them: updaters that hang, flood or leave
// a child holding their output, interrupted runs, read-only old bundles, a
// second installation into the same folder, the program asked to quit, the
// page's process dying. Real processes, files, locks and signals throughout.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "controller_fixture.h"
#include "install/updater.h"
#include "platform/posix/posix_fd.h"
#include "platform/posix/posix_tree.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kRecord = R"({"folder":"/home/u/Ext/folder","token":"tok","version":"1.2"})";
constexpr const char* kStaleName = ".Vorn Preview Setup-0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0.app";

// A process that exists and is not a zombie waiting for a parent to reap it.
bool running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds within = 5s) {
  const auto until = Clock::now() + within;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

pid_t pidIn(const fs::path& file) {
  std::ifstream in(file);
  pid_t pid = 0;
  in >> pid;
  return pid;
}

// Makes every folder of a tree read-only for everyone, its owner included.
void makeReadOnly(const fs::path& root) {
  std::vector<fs::path> folders{root};
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory() && !entry.is_symlink()) folders.push_back(entry.path());
  }
  for (const auto& folder : folders) fs::permissions(folder, fs::perms(0555));
}

class FieldTest : public ControllerTest {
 protected:
  FieldTest() {
    writeFile(uiFolder() / "index.html", "<html></html>");
    writeFile(bundle() / "Contents" / "Resources" / "data" / "blob.bin", std::string(100000, 'x'));
    setUpdater("printf '%s' '" + std::string(kRecord) + "'");
    launch();
  }
  ~FieldTest() override {
    // Whatever a test started is ended before the next one.
    platform.app.end(0);
    platform.dispatch.joinBackground();
  }
  platform::Outcome<platform::TaskResult> run(const platform::TaskOptions& options) {
    return platform.foundation.runTask(platform::URL::fileURLWithPath(updaterPath().string()), {"--setup"},
                                       options);
  }
  std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// --- the updater's run ---------------------------------------------------------------------

TEST_F(FieldTest, AnUpdaterPastItsTimeLimitIsEndedWithEverythingItStarted) {
  const fs::path child = temp.path() / "child.pid";
  // A background child that ignores the polite request, and a foreground wait.
  setUpdater("sh -c 'trap \"\" TERM; echo $$ > \"" + child.string() + "\"; exec sleep 300' & sleep 300");
  const auto started = Clock::now();
  auto task = run({.timeLimit = 0.5, .standardErrorEnds = 0, .cancellation = nullptr});
  const auto took = Clock::now() - started;
  ASSERT_TRUE(task.ok()) << task.error().localizedDescription;
  EXPECT_TRUE(task.value().timedOut);
  EXPECT_TRUE(task.value().terminatedBySignal);
  EXPECT_LT(took, 10s);
  ASSERT_TRUE(eventually([&] { return pidIn(child) > 0; }));
  EXPECT_TRUE(eventually([&] { return !running(pidIn(child)); })) << "the group's child survived";

  // The installer words it plainly, with the usual prefix.
  platform::TaskResult ended;
  ended.timedOut = true;
  EXPECT_EQ(
      std::string(kFailurePrefix) + updaterFailureDescription(ended),
      "Installation could not finish. The updater did not finish within 120 seconds, so it was stopped.");
  EXPECT_EQ(kUpdaterTimeLimitSeconds, 120);
}

TEST_F(FieldTest, TheUpdatersExitEndsTheWaitAndWhatItLeftInItsGroup) {
  const fs::path holder = temp.path() / "holder.pid";
  const fs::path stubborn = temp.path() / "stubborn.pid";
  const fs::path self = temp.path() / "self.pid";
  // One child holds the output and ends when asked; one holds nothing and
  // refuses the polite request. Both are ready before the updater exits.
  setUpdater("echo $$ > '" + self.string() + "'; printf '%s' '" + std::string(kRecord) +
             "'; echo noted >&2; (sleep 60; echo late) & echo $! > '" + holder.string() +
             "'; sh -c 'trap \"\" TERM; echo $$ > \"" + stubborn.string() + ".tmp\"; mv \"" +
             stubborn.string() + ".tmp\" \"" + stubborn.string() +
             "\"; exec sleep 60' </dev/null >/dev/null 2>&1 & "
             "while [ ! -s '" +
             stubborn.string() + "' ]; do sleep 0.01; done; exit 0");
  auto task = run({});
  ASSERT_TRUE(task.ok()) << task.error().localizedDescription;
  EXPECT_EQ(task.value().terminationStatus, 0);
  EXPECT_FALSE(task.value().timedOut);
  EXPECT_EQ(task.value().standardOutput.bytes(), kRecord);
  EXPECT_EQ(task.value().standardError.bytes(), "noted\n");
  // Reaped, not left a zombie; what it left running is gone with it.
  EXPECT_FALSE(running(pidIn(self)));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pidIn(self))));
  EXPECT_TRUE(eventually([&] { return !running(pidIn(holder)); })) << "the child holding its output survived";
  EXPECT_TRUE(eventually([&] { return !running(pidIn(stubborn)); })) << "the child refusing SIGTERM survived";

  // And through the installer, the record decodes as usual.
  setUpdater("printf '%s' '" + std::string(kRecord) + "'; sleep 5 & exit 0");
  const auto event = install();
  EXPECT_EQ(event.at("type"), "installed");
}

TEST_F(FieldTest, ACancelledRunEndsTheUpdatersGroupAtOnce) {
  const fs::path self = temp.path() / "self.pid";
  setUpdater("echo $$ > '" + self.string() + "'; sleep 300");
  platform::Cancellation cancellation;
  std::thread canceller([&] {
    eventually([&] { return pidIn(self) > 0; });
    cancellation.cancel();
  });
  const auto started = Clock::now();
  auto task = run({.timeLimit = 0, .standardErrorEnds = 0, .cancellation = &cancellation});
  canceller.join();
  EXPECT_LT(Clock::now() - started, 10s);
  ASSERT_FALSE(task.ok());
  EXPECT_TRUE(platform::isCancelledError(task.error()));
  EXPECT_FALSE(running(pidIn(self)));
}

TEST_F(FieldTest, AFloodOfStandardErrorKeepsItsTwoEndsCutBetweenCharacters) {
  // One ASCII byte, then 'é' (two bytes) a million times: a cut at an even
  // count of bytes falls inside a character.
  setUpdater(
      "s=é; i=0; while [ $i -lt 20 ]; do s=$s$s; i=$((i+1)); done; printf x >&2; printf '%s' \"$s\" >&2; "
      "printf '%s' '" +
      std::string(kRecord) + "'; echo ' the end' >&2; exit 4");
  auto task = run(updaterTaskOptions(nullptr));
  ASSERT_TRUE(task.ok()) << task.error().localizedDescription;
  const platform::TaskResult& ended = task.value();
  const std::size_t total = 1 + (std::size_t{2} << 20) + 9;
  EXPECT_EQ(ended.standardError.size(), kUpdaterErrorEnds);
  EXPECT_EQ(ended.standardErrorTail.size(), kUpdaterErrorEnds);
  EXPECT_EQ(ended.standardErrorLeftOut, total - 2 * kUpdaterErrorEnds);
  EXPECT_EQ(ended.standardOutput.bytes(), kRecord);  // still whole

  const auto event = install();
  ASSERT_EQ(event.at("type"), "error");
  const std::string& message = event.at("message");
  EXPECT_LE(message.size(), kLongestErrorMessage);
  EXPECT_GT(message.size(), kLongestErrorMessage - 64);
  EXPECT_TRUE(message.starts_with(std::string(kFailurePrefix) + "xéé")) << message.substr(0, 40);
  EXPECT_TRUE(message.ends_with("éé the end\n"));
  EXPECT_NE(message.find("left out"), std::string::npos);
  EXPECT_EQ(message.find("\uFFFD"), std::string::npos) << "a character was cut in two";
}

TEST_F(FieldTest, AShortStandardErrorIsKeptWholeAndUnchanged) {
  const std::size_t room = kLongestErrorMessage - kFailurePrefix.size();
  setUpdater("head -c " + std::to_string(room) + " /dev/zero | tr '\\0' e >&2; exit 1");
  EXPECT_EQ(install().at("message"), std::string(kFailurePrefix) + std::string(room, 'e'))
      << "whole up to the bound";
  setUpdater("head -c " + std::to_string(room + 1) + " /dev/zero | tr '\\0' e >&2; exit 1");
  const std::string over = install().at("message");
  EXPECT_LE(over.size(), kLongestErrorMessage);
  EXPECT_NE(over.find("left out"), std::string::npos);
  // Ill-formed bytes decoded grow three times: still bounded, no marker needed before.
  setUpdater("head -c 40000 /dev/zero | tr '\\0' '\\377' >&2; exit 1");
  const std::string long_one = install().at("message");
  EXPECT_LE(long_one.size(), kLongestErrorMessage);
  EXPECT_NE(long_one.find("left out"), std::string::npos);
}

TEST_F(FieldTest, StandardOutputBeyondOneMebibyteFailsInPlainWords) {
  // The record padded with spaces to exactly the bound still decodes.
  const std::size_t pad = kUpdaterOutputLimit - kRecord.size();
  setUpdater("printf '%s' '" + std::string(kRecord) + "'; head -c " + std::to_string(pad) +
             " /dev/zero | tr '\\0' ' '");
  EXPECT_EQ(install().at("type"), "installed");
  // One byte more, or a flood, is not a result; the flood is read to its end
  // without being kept.
  for (const std::size_t extra : {std::size_t{1}, std::size_t{64} << 20}) {
    setUpdater("printf '%s' '" + std::string(kRecord) + "'; head -c " + std::to_string(pad + extra) +
               " /dev/zero | tr '\\0' ' '");
    auto task = run(updaterTaskOptions(nullptr));
    ASSERT_TRUE(task.ok()) << task.error().localizedDescription;
    EXPECT_EQ(task.value().terminationStatus, 0);
    EXPECT_EQ(task.value().standardOutput.size(), kUpdaterOutputLimit);
    EXPECT_EQ(task.value().standardOutputLeftOut, extra);
    const auto event = install();
    EXPECT_EQ(event.at("message"), std::string(kFailurePrefix) +
                                       "The updater printed more than 1 MiB where its short result was "
                                       "expected, so setup could not read it.");
  }
}

// --- staging copies, the folder's lock, removal -------------------------------------------------

TEST_F(FieldTest, StaleStagingCopiesGoAndNothingElseInTheFolderIsTouched) {
  const std::vector<std::string> others = {
      ".Vorn Preview Setup-0f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0.app",  // not the program's upper case
      ".Vorn Preview Setup-0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F.app",   // one digit short
      ".Vorn Preview Setup-0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0.app.keep",
      "Vorn Preview Setup-0F1E2D3C-4B5A-4968-8776-A5B4C3D2E1F0.app",  // not hidden
      ".Vorn Preview Setup-0F1E2D3C_4B5A-4968-8776-A5B4C3D2E1F0.app",      "Other.app"};
  for (const std::string& name : others) writeFile(applications() / name / "kept", "k");
  writeFile(applications() / kStaleName / "Contents" / "Resources" / "big.bin", std::string(50000, 'b'));
  const std::string second = ".Vorn Preview Setup-00000000-0000-4000-8000-000000000000.app";
  writeFile(applications() / second, "a file by that name goes too");
  {
    OwnerPermissionsOnly asTheUser;
    makeReadOnly(applications() / kStaleName);
    EXPECT_EQ(install().at("type"), "installed");
  }
  std::vector<std::string> expected = others;
  expected.push_back("Vorn Preview Setup.app");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entriesOf(applications()), expected);
  for (const std::string& name : others) EXPECT_TRUE(fs::exists(applications() / name / "kept")) << name;
}

TEST_F(FieldTest, AReadOnlyEarlierBundleIsReplacedWithoutLeavingItBehind) {
  makeEarlierBundle(destination());
  writeFile(destination() / "Contents" / "Resources" / "old.txt", "old");
  writeFile(destination() / "Contents" / "MacOS" / "old-program", "old");
  OwnerPermissionsOnly asTheUser;
  for (int round = 0; round < 2; ++round) {
    makeReadOnly(destination());
    ASSERT_EQ(install().at("type"), "installed") << round;
    EXPECT_FALSE(fs::exists(destination() / "Contents" / "Resources" / "old.txt"));
    EXPECT_EQ(entriesOf(applications()), std::vector<std::string>{"Vorn Preview Setup.app"}) << round;
  }

  // The same where names cannot be exchanged and the old tree is set aside.
  const fs::path original = temp.path() / "App";
  const fs::path replacement = temp.path() / ".App-new";
  writeFile(original / "deep" / "old.txt", "old");
  writeFile(replacement / "new.txt", "new");
  makeReadOnly(original);
  ASSERT_TRUE(platform::posix::replaceByRenaming(original.string(), replacement.string(), {"deep/old.txt"},
                                                 (temp.path() / ".App-old").string())
                  .ok());
  EXPECT_TRUE(fs::exists(original / "new.txt"));
  EXPECT_EQ(entriesOf(temp.path()), (std::vector<std::string>{"App", "Vorn Preview Setup.app", "home"}));
}

TEST_F(FieldTest, InstallationsIntoOneFolderTakeTurnsAcrossProcesses) {
  fs::create_directories(applications());
  const fs::path other = applications() / ".Vorn Preview Setup-11111111-2222-4333-8444-555555555555.app";
  writeFile(other / "being-written", "");
  // Another process holds the folder's lock, as another installation would.
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = ::open(applications().c_str(), O_RDONLY | O_DIRECTORY);
    ::flock(fd, LOCK_EX);
    char c = 1;
    (void)!::write(ready[1], &c, 1);
    (void)!::read(release[0], &c, 1);
    ::_exit(0);  // the kernel lets go of the lock with the descriptor
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);

  post("install");
  EXPECT_FALSE(platform.dispatch.waitAndRunMainQueue(800ms));
  EXPECT_TRUE(fs::exists(other / "being-written")) << "another installation's copy was removed";
  EXPECT_FALSE(fs::exists(destination()));

  (void)!::write(release[1], &c, 1);
  int status = 0;
  ::waitpid(holder, &status, 0);
  ASSERT_TRUE(platform.dispatch.waitAndRunMainQueue(30s));
  EXPECT_EQ(events().back().at("type"), "installed");
  EXPECT_FALSE(fs::exists(other)) << "left over once its installation had ended";
  for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);

  // Released on every path, failures included.
  auto lockIsFree = [&] {
    const platform::posix::UniqueFd fd(::open(applications().c_str(), O_RDONLY | O_DIRECTORY));
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
  };
  EXPECT_TRUE(lockIsFree());
  setUpdater("echo broken >&2; exit 1");
  EXPECT_EQ(install().at("type"), "error");
  EXPECT_TRUE(lockIsFree());
  fs::remove(updaterPath());
  EXPECT_EQ(install().at("type"), "error");
  EXPECT_TRUE(lockIsFree());
}

// --- the program ends, the queue refuses, randomness fails ------------------------------------

TEST_F(FieldTest, QuittingStopsTheCopyRemovesTheStagingCopyAndEndsTheUpdater) {
  // Enough files that the copy is still going when the quit comes.
  for (int i = 0; i < 4000; ++i) {
    writeFile(bundle() / "Contents" / "Resources" / ("pack" + std::to_string(i % 40)) /
                  ("item" + std::to_string(i)),
              std::string(512, 'p'));
  }
  post("install");
  // The moment the staging copy appears.
  const auto until = Clock::now() + 20s;
  std::error_code ec;
  while (fs::is_empty(applications(), ec) && Clock::now() < until) std::this_thread::yield();
  platform.quit(143);
  platform.dispatch.joinBackground();
  EXPECT_EQ(platform.app.exitStatus, 143);
  EXPECT_TRUE(entriesOf(applications()).empty()) << "the copy ran to its end or was left behind";
}

TEST_F(FieldTest, QuittingDuringTheUpdatersRunEndsIt) {
  const fs::path self = temp.path() / "self.pid";
  setUpdater("echo $$ > '" + self.string() + "'; sleep 300 & sleep 300");
  post("install");
  ASSERT_TRUE(eventually([&] { return pidIn(self) > 0; }, 20s));
  const auto started = Clock::now();
  platform.quit(130);
  platform.dispatch.joinBackground();
  EXPECT_LT(Clock::now() - started, 10s);
  EXPECT_FALSE(running(pidIn(self)));
  EXPECT_EQ(entriesOf(applications()), std::vector<std::string>{"Vorn Preview Setup.app"});
}

// Ended outright (SIGKILL), or by exit() as a toolkit that loses its display
// ends it: the updater goes with the program within two seconds, and so does
// what it started, although the worker thread of the program's first run has
// ended by then.
TEST_F(FieldTest, NothingTheUpdaterStartedOutlivesAProgramThatDiesWithoutNotice) {
  for (const bool killed : {true, false}) {
    SCOPED_TRACE(killed ? "SIGKILL" : "exit()");
    const fs::path self = temp.path() / "self.pid";
    const fs::path child = temp.path() / "child.pid";
    fs::remove(self);
    fs::remove(child);
    setUpdater("echo $$ > '" + self.string() + "'; sleep 300 & echo $! > '" + child.string() + "'; wait");
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    platform::posix::UniqueFd inputRead(input[0]);
    platform::posix::UniqueFd inputWrite(input[1]);
    const pid_t probe = ::fork();
    if (probe == 0) {
      ::dup2(inputRead.get(), STDIN_FILENO);
      const std::string updater = updaterPath().string();
      ::execl(VORN_TASK_PROBE_PATH, VORN_TASK_PROBE_PATH, updater.c_str(), nullptr);
      ::_exit(127);
    }
    ASSERT_GT(probe, 0);
    inputRead.reset();
    ASSERT_TRUE(eventually([&] { return pidIn(self) > 0 && pidIn(child) > 0; }, 20s));
    if (killed) {
      ::kill(probe, SIGKILL);
    } else {
      inputWrite.reset();
    }
    int status = 0;
    ASSERT_EQ(::waitpid(probe, &status, 0), probe);
    EXPECT_EQ(killed, WIFSIGNALED(status));
    EXPECT_TRUE(eventually([&] { return !running(pidIn(self)); }, 2s)) << "the updater outlived the program";
    EXPECT_TRUE(eventually([&] { return !running(pidIn(child)); }, 2s)) << "the updater's child outlived it";
  }
}

TEST_F(FieldTest, WorkThatCannotBeQueuedOrNamedEndsAsAnError) {
  platform.dispatch.failGlobalQueue = true;
  post("install");
  EXPECT_FALSE(state().installing);
  ASSERT_EQ(events().size(), 1U);
  EXPECT_EQ(events().back().at("type"), "error");
  EXPECT_TRUE(events().back().at("message").starts_with(std::string(kFailurePrefix) + "Could not start"));
  platform.dispatch.failGlobalQueue = false;

  int calls = 0;
  platform.foundation.setRandomSource([&calls](void*, std::size_t) -> ssize_t {
    ++calls;
    errno = ENOSYS;
    return -1;
  });
  const auto event = install();
  EXPECT_EQ(event.at("type"), "error");
  EXPECT_EQ(event.at("message"),
            std::string(kFailurePrefix) +
                "Could not make a random name for the staging copy: Function not implemented");
  EXPECT_LT(calls, 100);
  EXPECT_FALSE(state().installing);
}

// --- the page's process ends -------------------------------------------------------------------

class PageRecoveryTest : public FieldTest {
 protected:
  PageRecoveryTest() {
    platform.foundation.setClock([this] { return now; });
  }
  std::size_t loads() const { return platform.webView()->loads.size(); }
  double now = 1'800'000'000.0;
};

TEST_F(PageRecoveryTest, TheReloadedPageHearsTheStateItMissed) {
  const fs::path folder = temp.path() / "Ext" / "folder";
  const SetupResult record{folder.string(), "tok", "1.2"};
  installReporting(record);
  writeReceiptFor(record);
  post("check");
  ASSERT_TRUE(state().confirmed);
  const std::size_t sent = events().size();

  platform.webProcessTerminated();
  EXPECT_EQ(loads(), 2U);
  EXPECT_EQ(platform.webView()->loads.back().url, platform.webView()->loads.front().url);
  EXPECT_EQ(events().size(), sent) << "nothing is sent before the page can take it";
  platform.pageFinishedLoading();
  const auto after = events();
  ASSERT_EQ(after.size(), sent + 2);
  EXPECT_EQ(after[sent],
            (std::map<std::string, std::string>{{"type", "installed"}, {"folder", folder.string()}}));
  EXPECT_EQ(after[sent + 1], (std::map<std::string, std::string>{{"type", "confirmed"}}));
  EXPECT_TRUE(state().result.has_value());

  // A later load of its own is no reason to send them again.
  platform.pageFinishedLoading();
  EXPECT_EQ(events().size(), sent + 2);
}

TEST_F(PageRecoveryTest, ThreeEndsWithinAMinuteStopTheReloadsAndFreeTheWindow) {
  const fs::path go = temp.path() / "go";
  setUpdater("while [ ! -e '" + go.string() + "' ]; do sleep 0.02; done; printf '%s' '" +
             std::string(kRecord) + "'");
  post("install");
  ASSERT_TRUE(state().installing);

  platform.webProcessTerminated();  // t
  now += 50;
  platform.webProcessTerminated();  // t + 50
  EXPECT_EQ(loads(), 3U);
  now += 15;
  platform.webProcessTerminated();  // t + 65: only two within the last minute
  EXPECT_EQ(loads(), 4U);
  EXPECT_FALSE(platform.requestWindowClose()) << "still installing, the page still shown";
  now += 1;
  platform.webProcessTerminated();  // three within a minute
  EXPECT_EQ(loads(), 4U);
  now += 600;
  platform.webProcessTerminated();
  EXPECT_EQ(loads(), 4U) << "given up for good";

  // Nothing to show the page on any more: the window closes, and with the
  // program the installation stops.
  EXPECT_TRUE(platform.requestWindowClose());
  EXPECT_EQ(platform.app.exitStatus, 0);
  platform.dispatch.joinBackground();
}

}  // namespace
}  // namespace vorn::testing
