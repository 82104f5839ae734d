#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controller_fixture.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;

constexpr double kNow = 1'800'000'000.0;

// A launched controller whose installation reported <temp>/Install/Extension,
// so the receipt belongs at <temp>/Install/setup-confirmed.json. The clock is
// pinned to `now` unless a test replaces it.
class ConfirmTest : public ControllerTest {
 protected:
  explicit ConfirmTest(bool installFirst = true) {
    launch();
    fs::create_directories(folder());
    platform.foundation.setClock([this] { return now; });
    if (installFirst) installReporting(record());
  }

  SetupResult record(std::string_view token = "tok-1") const {
    return SetupResult{folder().string(), std::string(token), "2.0.1"};
  }

  fs::path folder() const { return temp.path() / "Install" / "Extension"; }
  fs::path receiptPath() const { return temp.path() / "Install" / "setup-confirmed.json"; }
  void writeReceipt(std::string_view bytes) const { writeFile(receiptPath(), bytes); }
  void writeFreshReceipt(double age = 5) const { writeReceipt(receipt("tok-1", "2.0.1", stamp(now - age))); }

  int confirmedEvents() const {
    int n = 0;
    for (const auto& e : events()) {
      if (e.at("type") == "confirmed") ++n;
    }
    return n;
  }
  void tick() { platform.runLoop.fireTimers(); }
  // Checks through the page, asserting that the check returns at all.
  void checkWithoutBlocking() {
    auto done = std::async(std::launch::async, [this] { controller->checkConfirmation(); });
    if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      // Free the stuck reader so the test can end, then fail.
      const int w = ::open(receiptPath().c_str(), O_WRONLY | O_NONBLOCK);
      if (w >= 0) ::close(w);
      done.wait();
      FAIL() << "checkConfirmation blocked";
    }
  }
  void expectNothing() const {
    EXPECT_FALSE(state().confirmed);
    EXPECT_EQ(confirmedEvents(), 0);
  }

  double now = kNow;
};

TEST_F(ConfirmTest, AFreshMatchingReceiptConfirmsOnceByTickOrCheck) {
  tick();
  post("check");
  expectNothing();

  writeFreshReceipt();
  tick();
  EXPECT_TRUE(state().confirmed);
  EXPECT_EQ(confirmedEvents(), 1);
  EXPECT_EQ(events().back(), (Event{{"type", "confirmed"}}));

  // Later calls stop at once, whatever happens to the file.
  writeReceipt(receipt("tok-1", "2.0.1", stamp(now - 1)));
  tick();
  post("check");
  fs::remove(receiptPath());
  tick();
  post("check");
  EXPECT_EQ(confirmedEvents(), 1);
  EXPECT_TRUE(state().confirmed);
}

TEST_F(ConfirmTest, ThePageCheckConfirmsWithoutWaitingForATick) {
  writeFreshReceipt();
  const auto written = fs::last_write_time(receiptPath());
  post("check");
  EXPECT_EQ(confirmedEvents(), 1);
  // The receipt is read, never removed or rewritten.
  std::ifstream in(receiptPath(), std::ios::binary);
  const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kept, receipt("tok-1", "2.0.1", stamp(now - 5)));
  EXPECT_EQ(fs::last_write_time(receiptPath()), written);
}

class ConfirmBeforeAnyResultTest : public ConfirmTest {
 protected:
  ConfirmBeforeAnyResultTest() : ConfirmTest(false) {}
};

TEST_F(ConfirmBeforeAnyResultTest, NothingBeforeAResultWhileInstallingOrAfterConfirmation) {
  writeFreshReceipt();
  tick();
  post("check");
  expectNothing();

  const fs::path go = temp.path() / "go";
  setUpdaterReporting(record(), go);
  post("install");
  ASSERT_TRUE(state().installing);
  controller->checkConfirmation();
  tick();
  post("check");
  expectNothing();

  writeFile(go, "");
  ASSERT_TRUE(platform.dispatch.waitAndRunMainQueue(std::chrono::seconds(30)));
  ASSERT_TRUE(state().result.has_value());
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
  tick();
  post("check");
  EXPECT_EQ(confirmedEvents(), 1);
  EXPECT_TRUE(state().confirmed);
}

TEST_F(ConfirmTest, OnlyBesideTheFolderNeverInsideIt) {
  writeFile(folder() / "setup-confirmed.json", receipt("tok-1", "2.0.1", stamp(now - 5)));
  tick();
  expectNothing();

  // A trailing slash is not a component of its own.
  installReporting(SetupResult{folder().string() + "/", "tok-1", "2.0.1"});
  tick();
  expectNothing();
  writeFreshReceipt();
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, SizeLimitIs1024BytesInclusive) {
  std::string body = receipt("tok-1", "2.0.1", stamp(now - 5));
  body.resize(1025, ' ');
  writeReceipt(body);
  tick();
  post("check");
  expectNothing();

  body.resize(1024);
  writeReceipt(body);
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, AnythingButAFittingRegularFileNeverConfirmsOrBlocks) {
  const fs::path elsewhere = temp.path() / "real-receipt.json";
  writeFile(elsewhere, receipt("tok-1", "2.0.1", stamp(now - 5)));

  writeReceipt("");
  tick();
  expectNothing();
  fs::remove(receiptPath());

  fs::create_symlink(elsewhere, receiptPath());
  tick();
  post("check");
  expectNothing();
  fs::remove(receiptPath());

  fs::create_directory(receiptPath());
  tick();
  expectNothing();
  fs::remove(receiptPath());

  ASSERT_EQ(::mkfifo(receiptPath().c_str(), 0600), 0);
  checkWithoutBlocking();
  expectNothing();
  fs::remove(receiptPath());

  // A link to a device that would never end.
  fs::create_symlink("/dev/zero", receiptPath());
  checkWithoutBlocking();
  expectNothing();
  fs::remove(receiptPath());

  // Once a fitting file takes the name, the next call confirms.
  fs::copy_file(elsewhere, receiptPath());
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, APipeSwappedInAfterAFailedCheckDoesNotBlock) {
  std::string big = receipt("tok-1", "2.0.1", stamp(now - 5));
  big.resize(4096, ' ');
  writeReceipt(big);
  tick();
  expectNothing();

  fs::remove(receiptPath());
  ASSERT_EQ(::mkfifo(receiptPath().c_str(), 0600), 0);
  // A writer waiting on the pipe still gets nothing read from it.
  checkWithoutBlocking();
  checkWithoutBlocking();
  expectNothing();
}

TEST_F(ConfirmTest, TokenAndVersionMustMatchUnderCanonicalEquivalence) {
  writeReceipt(receipt("TOK-1", "2.0.1", stamp(now - 5)));
  tick();
  writeReceipt(receipt("tok-1", "2.0.2", stamp(now - 5)));
  tick();
  writeReceipt(receipt("tok-1 ", "2.0.1", stamp(now - 5)));
  tick();
  writeReceipt(receipt("", "2.0.1", stamp(now - 5)));
  tick();
  expectNothing();

  // é precomposed in the result, decomposed (and escaped) in the receipt.
  installReporting(record("caf\xC3\xA9"));
  writeReceipt(receipt("cafe\\u0301", "2.0.1", stamp(now - 5)));
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, EmptyTokenMatchesOnlyAnEmptyToken) {
  installReporting(record(""));
  writeReceipt(receipt("x", "2.0.1", stamp(now - 5)));
  tick();
  expectNothing();
  writeReceipt(receipt("", "2.0.1", stamp(now - 5)));
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, AgeMustBeFromZeroToUnder1800Seconds) {
  writeReceipt(receipt("tok-1", "2.0.1", stamp(now - 1800)));
  tick();
  writeReceipt(receipt("tok-1", "2.0.1", stamp(now - 1800.001)));
  tick();
  writeReceipt(receipt("tok-1", "2.0.1", stamp(now + 0.5)));
  tick();
  expectNothing();

  writeReceipt(receipt("tok-1", "2.0.1", stamp(now - 1799.5)));
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, AnAgeOfZeroAndAWholeNumberStampConfirm) {
  // kNow is whole; written without a fraction, with extra members.
  writeReceipt(R"({"extra":[1,2],"createdAt":1800000000,"version":"2.0.1","token":"tok-1","folder":"/x"})");
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, AFutureReceiptConfirmsOnceTheClockPassesIt) {
  writeReceipt(receipt("tok-1", "2.0.1", stamp(now + 10)));
  for (int second = 0; second < 10; ++second) {
    tick();
    now += 1;
  }
  EXPECT_EQ(now, kNow + 10);
  EXPECT_EQ(confirmedEvents(), 0);
  now -= 0.001;
  tick();
  EXPECT_EQ(confirmedEvents(), 0);
  now += 0.001;
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, EachTimeTestUsesItsOwnClockReading) {
  writeReceipt(receipt("tok-1", "2.0.1", stamp(kNow)));
  // Not yet written at the first reading: stops though the second would pass.
  int reading = 0;
  platform.foundation.setClock([&] { return ++reading == 1 ? kNow - 1 : kNow + 1; });
  tick();
  EXPECT_EQ(reading, 1);
  expectNothing();

  // Fresh at the first reading, too old by the second.
  reading = 0;
  platform.foundation.setClock([&] { return ++reading == 1 ? kNow : kNow + 1800; });
  tick();
  EXPECT_EQ(reading, 2);
  expectNothing();

  reading = 0;
  platform.foundation.setClock([&] { return ++reading == 1 ? kNow : kNow + 1799.5; });
  tick();
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmTest, NonFiniteOrOverflowingStampsNeverConfirm) {
  for (const char* createdAt : {"1e400", "-1e400", "NaN", "\"1800000000\"", "null", "true"}) {
    writeReceipt(receipt("tok-1", "2.0.1", createdAt));
    tick();
  }
  // A clock that is itself lost never passes either test.
  now = std::numeric_limits<double>::quiet_NaN();
  writeReceipt(receipt("tok-1", "2.0.1", stamp(kNow)));
  tick();
  now = std::numeric_limits<double>::infinity();
  tick();
  expectNothing();
}

TEST_F(ConfirmTest, ANewInstallationMakesTheOldReceiptStaleUnlessItMatches) {
  writeFreshReceipt();
  tick();
  ASSERT_EQ(confirmedEvents(), 1);

  // While the next installation runs, and once it reported another token.
  const fs::path go = temp.path() / "go";
  setUpdaterReporting(record("tok-2"), go);
  post("install");
  ASSERT_TRUE(state().installing);
  tick();
  post("check");
  EXPECT_EQ(confirmedEvents(), 1);
  writeFile(go, "");
  ASSERT_TRUE(platform.dispatch.waitAndRunMainQueue(std::chrono::seconds(30)));
  tick();
  post("check");
  EXPECT_EQ(confirmedEvents(), 1);
  EXPECT_FALSE(state().confirmed);

  writeReceipt(receipt("tok-2", "2.0.1", stamp(now - 1)));
  tick();
  EXPECT_EQ(confirmedEvents(), 2);

  // A new installation with the same token and version accepts the same file.
  installReporting(record("tok-2"));
  tick();
  EXPECT_EQ(confirmedEvents(), 3);
}

// The receipt's folder is watched from the installation's success on: a
// receipt confirms as it lands, with no tick, through every check of a tick.
class ConfirmByWatchTest : public ConfirmTest {
 protected:
  // Runs what the folder's watch posted, if anything; answers whether anything ran.
  bool changesArrive(std::chrono::milliseconds within = std::chrono::seconds(5)) {
    return platform.dispatch.waitAndRunMainQueue(within);
  }
  // Puts `bytes` in place as an atomic writer does: a temporary name in the same folder, renamed over.
  void renameIntoPlace(std::string_view bytes) const {
    const fs::path part = receiptPath().parent_path() / ".setup-confirmed.json.part";
    writeFile(part, bytes);
    fs::rename(part, receiptPath());
  }
};

TEST_F(ConfirmByWatchTest, EachWayAReceiptLandsConfirmsOnceWithoutATick) {
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> landings{
      {"written in place", [this](const std::string& bytes) { writeReceipt(bytes); }},
      {"renamed into place", [this](const std::string& bytes) { renameIntoPlace(bytes); }},
      {"renamed over a stale receipt",
       [this](const std::string& bytes) {
         writeReceipt(receipt("tok-old", "2.0.1", stamp(now - 5)));
         ASSERT_TRUE(changesArrive());
         renameIntoPlace(bytes);
       }},
      {"linked in beside", [this](const std::string& bytes) {
         writeFile(temp.path() / "elsewhere.json", bytes);
         fs::create_hard_link(temp.path() / "elsewhere.json", receiptPath());
       }}};
  int confirmations = 0;
  for (const auto& [how, land] : landings) {
    SCOPED_TRACE(how);
    fs::remove(receiptPath());
    const std::string token = "tok-" + std::to_string(confirmations + 2);
    installReporting(record(token));
    ASSERT_TRUE(state().receiptFolderWatched);
    EXPECT_FALSE(changesArrive(std::chrono::milliseconds(50))) << "the folder was quiet";
    land(receipt(token, "2.0.1", stamp(now - 5)));
    ASSERT_TRUE(changesArrive());
    EXPECT_TRUE(state().confirmed);
    EXPECT_EQ(confirmedEvents(), ++confirmations);

    // Later changes run the check, which stops at once.
    writeReceipt(receipt(token, "2.0.1", stamp(now - 1)));
    fs::remove(receiptPath());
    changesArrive(std::chrono::milliseconds(200));
    tick();
    post("check");
    EXPECT_EQ(confirmedEvents(), confirmations);
  }
}

TEST_F(ConfirmByWatchTest, EveryChangeRunsEveryCheckOfATick) {
  // What a tick refuses, a change refuses too; the change that makes it right confirms.
  std::string padded = receipt("tok-1", "2.0.1", stamp(now - 5));
  padded.resize(1025, ' ');
  writeFile(temp.path() / "elsewhere.json", receipt("tok-1", "2.0.1", stamp(now - 5)));
  const std::vector<std::pair<std::string, std::function<void()>>> refused{
      {"empty", [this] { writeReceipt(""); }},
      {"half written", [this] { writeReceipt(R"({"token": "tok-1", "vers)"); }},
      {"over 1024 bytes", [&] { writeReceipt(padded); }},
      {"another token", [this] { writeReceipt(receipt("TOK-1", "2.0.1", stamp(now - 5))); }},
      {"another version", [this] { writeReceipt(receipt("tok-1", "2.0.2", stamp(now - 5))); }},
      {"30 minutes old", [this] { writeReceipt(receipt("tok-1", "2.0.1", stamp(now - 1800))); }},
      {"from the future", [this] { writeReceipt(receipt("tok-1", "2.0.1", stamp(now + 10))); }},
      {"a link to a good one", [this] { fs::create_symlink(temp.path() / "elsewhere.json", receiptPath()); }},
  };
  for (const auto& [what, land] : refused) {
    fs::remove(receiptPath());
    changesArrive(std::chrono::milliseconds(50));
    land();
    EXPECT_TRUE(changesArrive()) << what;
    expectNothing();
  }
  // Inside the result folder is not beside it: not even a change of the watched folder.
  writeFile(folder() / "setup-confirmed.json", receipt("tok-1", "2.0.1", stamp(now - 5)));
  EXPECT_FALSE(changesArrive(std::chrono::milliseconds(200)));
  fs::remove(receiptPath());
  renameIntoPlace(receipt("tok-1", "2.0.1", stamp(now - 5)));
  ASSERT_TRUE(changesArrive());
  EXPECT_EQ(confirmedEvents(), 1);
}

TEST_F(ConfirmByWatchTest, TheWatchFollowsTheInstallationAndItsGuards) {
  // A running installation drops the watch: nothing is posted, and its guard holds.
  const fs::path go = temp.path() / "go";
  const SetupResult second{(temp.path() / "Second" / "Extension").string(), "tok-2", "2.0.1"};
  fs::create_directories(second.folder);
  setUpdaterReporting(second, go);
  post("install");
  ASSERT_TRUE(state().installing);
  EXPECT_FALSE(state().receiptFolderWatched);
  writeFreshReceipt();
  writeReceiptFor(second);
  EXPECT_FALSE(changesArrive(std::chrono::milliseconds(200)));
  expectNothing();

  // The new result's folder is watched, the old one no longer. A receipt that
  // was there before the watch began waits for the tick.
  writeFile(go, "");
  ASSERT_TRUE(changesArrive(std::chrono::seconds(30)));
  ASSERT_EQ(state().result, second);
  EXPECT_TRUE(state().receiptFolderWatched);
  writeFreshReceipt(2);
  EXPECT_FALSE(changesArrive(std::chrono::milliseconds(200))) << "the first folder is not watched";
  expectNothing();
  tick();
  EXPECT_EQ(confirmedEvents(), 1);

  // A failed installation leaves no result and no watch.
  setUpdater("exit 1");
  EXPECT_EQ(install().at("type"), "error");
  EXPECT_FALSE(state().receiptFolderWatched);
  writeReceiptFor(second);
  EXPECT_FALSE(changesArrive(std::chrono::milliseconds(200)));
  tick();
  EXPECT_EQ(confirmedEvents(), 1);

  // A folder that cannot be watched leaves the tick to confirm.
  const SetupResult later{(temp.path() / "Later" / "Extension").string(), "tok-3", "2.0.1"};
  installReporting(later);
  EXPECT_FALSE(state().receiptFolderWatched);
  fs::create_directories(later.folder);
  writeReceiptFor(later);
  EXPECT_FALSE(changesArrive(std::chrono::milliseconds(200)));
  EXPECT_FALSE(state().confirmed);
  EXPECT_EQ(confirmedEvents(), 1);
  tick();
  EXPECT_EQ(confirmedEvents(), 2);

  // With the controller gone, a change reaches nobody.
  installReporting(second);
  fs::remove(fs::path(second.folder).parent_path() / "setup-confirmed.json");
  ASSERT_TRUE(changesArrive());
  const std::weak_ptr<SetupController> gone = controller;
  platform.app.setDelegate(nullptr);
  controller.reset();
  ASSERT_TRUE(gone.expired());
  writeReceiptFor(second);
  EXPECT_FALSE(changesArrive(std::chrono::milliseconds(200)));
  EXPECT_EQ(confirmedEvents(), 2);
}

// The read itself, on real entries.
class ConfirmSmallFileRead : public ::testing::Test {
 protected:
  platform::FileManager& files() { return foundation.defaultManager(); }
  platform::posix::PosixFoundation foundation;
  TempFolder temp{"vorn-read"};
};

TEST_F(ConfirmSmallFileRead, ReadsARegularFileUpToTheLimit) {
  const fs::path p = temp.path() / "f";
  writeFile(p, std::string(1024, 'x'));
  auto r = files().contentsOfSmallRegularFile(p.string(), 1024);
  ASSERT_TRUE(r) << r.error().localizedDescription;
  EXPECT_EQ(r.value(), std::string(1024, 'x'));

  writeFile(p, std::string("a\0b", 3));
  r = files().contentsOfSmallRegularFile(p.string(), 1024);
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value(), std::string("a\0b", 3));

  writeFile(p, "");
  r = files().contentsOfSmallRegularFile(p.string(), 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value(), "");
}

TEST_F(ConfirmSmallFileRead, RefusesWithAPlainDescription) {
  const fs::path big = temp.path() / "big";
  writeFile(big, std::string(1025, 'x'));
  const fs::path link = temp.path() / "link";
  fs::create_symlink(big, link);
  const fs::path fifo = temp.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path sock = temp.path() / "sock";
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.string().size(), sizeof addr.sun_path);
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  for (const fs::path& p : {big, link, fifo, sock, temp.path(), temp.path() / "missing",
                            fs::path("/dev/null"), fs::path("/dev/zero")}) {
    auto r = files().contentsOfSmallRegularFile(p.string(), 1024);
    ASSERT_FALSE(r) << p;
    EXPECT_NE(r.error().localizedDescription.find(p.string()), std::string::npos)
        << r.error().localizedDescription;
  }
  ::close(s);
}

TEST_F(ConfirmSmallFileRead, AFileLongerThanItsStatedSizeIsCutOffAndRefused) {
  // Kernel files state a size of 0 and hold more: the read must stop one byte
  // past the limit rather than take what the size promised.
  struct stat st {};
  ASSERT_EQ(::stat("/proc/self/status", &st), 0);
  ASSERT_EQ(st.st_size, 0);
  auto r = files().contentsOfSmallRegularFile("/proc/self/status", 16);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().localizedDescription.find("too large"), std::string::npos);
  auto whole = files().contentsOfSmallRegularFile("/proc/self/status", 1 << 20);
  ASSERT_TRUE(whole);
  EXPECT_GT(whole.value().size(), 16u);
}

TEST_F(ConfirmSmallFileRead, AnUnreadableFileIsAnError) {
  const OwnerPermissionsOnly asTheUser;
  const fs::path p = temp.path() / "locked";
  writeFile(p, "{}");
  fs::permissions(p, fs::perms::none);
  EXPECT_FALSE(files().contentsOfSmallRegularFile(p.string(), 1024));
}

}  // namespace
}  // namespace vorn::testing
