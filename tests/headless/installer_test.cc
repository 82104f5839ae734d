#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "controller_fixture.h"
#include "platform/posix/posix_home.h"
#include "platform/posix/posix_tree.h"

namespace vorn::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::string_view kPrefix = "Installation could not finish. ";
constexpr std::string_view kRecord = R"({"folder":"/home/u/Ext/folder","token":"tok","version":"1.2"})";

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A bundle of some depth with an executable updater script and a link.
void makeBundle(const fs::path& bundle, const std::string& updaterBody) {
  writeFile(bundle / "Contents" / "Resources" / "ui" / "index.html", "<html></html>");
  writeFile(bundle / "Contents" / "Resources" / "data" / "blob.bin", std::string(300000, 'x'));
  writeFile(bundle / "Contents" / "MacOS" / "vorn-updater", "#!/bin/sh\n" + updaterBody + "\n");
  fs::permissions(bundle / "Contents" / "MacOS" / "vorn-updater", fs::perms(0755));
  fs::create_symlink("ui/index.html", bundle / "Contents" / "Resources" / "page.html");
}

std::vector<std::string> stagingLeftIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".Vorn Preview Setup-")) names.push_back(name);
  }
  return names;
}

class InstallTest : public ControllerTest {
 protected:
  explicit InstallTest(const std::string& bundleName = "Vorn Preview Setup.app")
      : ControllerTest(bundleName) {
    makeBundle(bundle(), "printf '%s' '" + std::string(kRecord) + "'");
    launch();
  }
  std::string errorMessage() {
    auto event = install();
    EXPECT_EQ(event["type"], "error");
    EXPECT_FALSE(state().result.has_value());
    return event["message"];
  }
};

TEST_F(InstallTest, CreatesTheFolderMovesTheCopyIntoPlaceAndRunsItsUpdater) {
  setUpdater("printf '{\"folder\":\"%s\",\"token\":\"%s:%s\",\"version\":\"v\"}' \"$0\" \"$#\" \"$1\"");
  const auto event = install();
  ASSERT_EQ(event.at("type"), "installed") << (event.contains("message") ? event.at("message") : "");
  // The updater that ran is the installed one, with exactly "--setup".
  EXPECT_EQ(event.at("folder"), (destination() / "Contents/MacOS/vorn-updater").string());
  ASSERT_TRUE(state().result.has_value());
  EXPECT_EQ(state().result->token, "1:--setup");
  EXPECT_EQ(readAll(destination() / "Contents/Resources/data/blob.bin"), std::string(300000, 'x'));
  EXPECT_TRUE(fs::is_symlink(destination() / "Contents/Resources/page.html"));
  EXPECT_EQ(fs::read_symlink(destination() / "Contents/Resources/page.html"), "ui/index.html");
  EXPECT_EQ(fs::status(destination() / "Contents/MacOS/vorn-updater").permissions() & fs::perms::all,
            fs::perms(0755));
  EXPECT_TRUE(stagingLeftIn(applications()).empty());
  EXPECT_EQ(platform.dispatch.globalWorkQueued, 1);
}

TEST_F(InstallTest, ReplacesAnEarlierBundleEachTimeAndLeavesNoStagingCopy) {
  makeEarlierBundle(destination());
  writeFile(destination() / "Contents" / "old-only.txt", "old");
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(install().at("type"), "installed");
    EXPECT_FALSE(fs::exists(destination() / "Contents" / "old-only.txt"));
    EXPECT_TRUE(fs::exists(destination() / "Contents/Resources/ui/index.html"));
    EXPECT_TRUE(stagingLeftIn(applications()).empty());
  }
  // Only the bundle is left in the folder: no set-aside copies either.
  EXPECT_EQ(std::distance(fs::directory_iterator(applications()), fs::directory_iterator()), 1);
}

TEST_F(InstallTest, ACopyFailingHalfwayLeavesTheEarlierBundleAndNoStagingCopy) {
  makeEarlierBundle(destination());
  writeFile(destination() / "marker.txt", "earlier");
  // A socket cannot be copied, not even by root.
  const fs::path socketPath = bundle() / "Contents" / "Resources" / "zz.sock";
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string message = errorMessage();
  ::close(sock);
  EXPECT_TRUE(message.starts_with(std::string(kPrefix) + "Could not copy \"" + socketPath.string()))
      << message;
  EXPECT_EQ(readAll(destination() / "marker.txt"), "earlier");
  EXPECT_TRUE(stagingLeftIn(applications()).empty());

  fs::remove(socketPath);
  if (geteuid() == 0) return;  // root reads any file
  writeFile(bundle() / "Contents" / "Resources" / "secret.txt", "s");
  fs::permissions(bundle() / "Contents" / "Resources" / "secret.txt", fs::perms::none);
  EXPECT_NE(errorMessage().find("Permission denied"), std::string::npos);
  EXPECT_EQ(readAll(destination() / "marker.txt"), "earlier");
  EXPECT_TRUE(stagingLeftIn(applications()).empty());
}

TEST_F(InstallTest, AnApplicationsFolderThatCannotBeMadeIsReportedInPlainWords) {
  writeFile(applications(), "a file in the way");
  EXPECT_EQ(errorMessage(), std::string(kPrefix) + "Could not create the folder \"" +
                                applications().string() + "\": Not a directory");
}

TEST_F(InstallTest, AnUpdaterThatCannotStartIsALaunchFailureAndTheBundleStays) {
  fs::permissions(bundle() / "Contents/MacOS/vorn-updater", fs::perms(0644));
  const std::string updater = (destination() / "Contents/MacOS/vorn-updater").string();
  EXPECT_EQ(errorMessage(), std::string(kPrefix) + "Could not run \"" + updater + "\": Permission denied");
  EXPECT_TRUE(fs::exists(destination() / "Contents/Resources/ui/index.html"));

  fs::remove(bundle() / "Contents/MacOS/vorn-updater");
  EXPECT_EQ(errorMessage(),
            std::string(kPrefix) + "Could not run \"" + updater + "\": No such file or directory");
  EXPECT_TRUE(fs::exists(destination() / "Contents/Resources/ui/index.html"));
}

TEST_F(InstallTest, AFailingUpdaterIsDescribedByItsStandardErrorUnchanged) {
  setUpdater("echo 'it broke: disk full' >&2; echo '{}'; exit 3");
  EXPECT_EQ(errorMessage(), std::string(kPrefix) + "it broke: disk full\n");
  setUpdater("printf '" + std::string(kRecord) + "'; exit 1");
  EXPECT_EQ(errorMessage(), kPrefix);
  // Each maximal ill-formed subpart is one replacement character.
  setUpdater(R"(printf 'a\377b\342\202c\360\200\200d\355\240\200\303\251\n' >&2; exit 2)");
  EXPECT_EQ(errorMessage(),
            std::string(kPrefix) + "a\uFFFDb\uFFFDc\uFFFD\uFFFD\uFFFDd\uFFFD\uFFFD\uFFFD\u00E9\n");
  setUpdater("printf '" + std::string(kRecord) + "'; echo 'going down' >&2; kill -9 $$");
  EXPECT_EQ(errorMessage(), std::string(kPrefix) + "going down\n");
}

TEST_F(InstallTest, ASucceedingUpdaterMustPrintExactlyOneRecord) {
  setUpdater("echo 'warning: noise' >&2; printf '" + std::string(kRecord) + "\\n'");
  auto event = install();
  EXPECT_EQ(event["type"], "installed");
  EXPECT_EQ(event["folder"], "/home/u/Ext/folder");
  ASSERT_TRUE(state().result.has_value());
  EXPECT_EQ(state().result->version, "1.2");

  for (const std::string& body :
       {std::string("true"), "echo 'starting'; printf '" + std::string(kRecord) + "'",
        "printf '" + std::string(kRecord) + std::string(kRecord) + "'"}) {
    setUpdater(body);
    EXPECT_TRUE(errorMessage().starts_with(kPrefix)) << body;
  }
}

TEST_F(InstallTest, BothStreamsAreDrainedTogether) {
  // 64 MiB on each stream in 1 MiB turns: a reader of one stream at a time stalls it.
  setUpdater(
      "i=0; while [ $i -lt 64 ]; do head -c 1048576 /dev/zero; head -c 1048576 /dev/zero | tr '\\0' x >&2; "
      "i=$((i+1)); done; printf end; exit 0");
  auto task = platform.foundation.runTask(
      platform::URL::fileURLWithPath((bundle() / "Contents/MacOS/vorn-updater").string()), {"--setup"});
  ASSERT_TRUE(task.ok()) << task.error().localizedDescription;
  EXPECT_EQ(task.value().terminationStatus, 0);
  // Every byte in its place across each growth of the buffers.
  const std::string_view out = task.value().standardOutput.bytes();
  const std::string_view err = task.value().standardError.bytes();
  ASSERT_EQ(out.size(), (64U << 20) + 3);
  ASSERT_EQ(err.size(), 64U << 20);
  EXPECT_TRUE(out.ends_with("end"));
  EXPECT_EQ(out.find_first_not_of('\0'), out.size() - 3);
  EXPECT_EQ(err.find_first_not_of('x'), std::string_view::npos);
}

TEST_F(InstallTest, WhileInstallingTheRestOfTheProgramWaitsAndANewRunStartsClean) {
  const fs::path go = temp.path() / "go";
  const fs::path folder = temp.path() / "Ext" / "folder";
  const SetupResult record{folder.string(), "tok", "1.2"};
  setUpdaterReporting(record, go);
  post("install");
  EXPECT_TRUE(state().installing);
  post("install");
  EXPECT_EQ(platform.dispatch.globalWorkQueued, 1);
  EXPECT_FALSE(platform.requestWindowClose());
  controller->checkConfirmation();
  EXPECT_FALSE(platform.dispatch.waitAndRunMainQueue(50ms));
  EXPECT_TRUE(events().empty());

  writeFile(go, "");
  ASSERT_TRUE(platform.dispatch.waitAndRunMainQueue(20s));
  EXPECT_FALSE(state().installing);
  ASSERT_TRUE(state().result.has_value());
  EXPECT_EQ(events().size(), 1U);

  // Confirmed by a receipt; a new run forgets that and the old result at once.
  writeReceiptFor(record);
  post("check");
  ASSERT_TRUE(state().confirmed);
  fs::remove(go);
  post("install");
  EXPECT_TRUE(state().installing);
  EXPECT_FALSE(state().result.has_value());
  EXPECT_FALSE(state().confirmed);
  writeFile(go, "");
  ASSERT_TRUE(platform.dispatch.waitAndRunMainQueue(20s));
  EXPECT_EQ(events().back().at("type"), "installed");
}

// The program already runs from the destination: nothing is copied or touched.
class InstallFromDestinationTest : public InstallTest {
 protected:
  InstallFromDestinationTest() : InstallTest("home/Applications/Vorn Preview Setup.app") {}
};

TEST_F(InstallFromDestinationTest, RunsThatBundlesUpdaterAndTouchesNothing) {
  setUpdater("printf '{\"folder\":\"%s\",\"token\":\"t\",\"version\":\"v\"}' \"$0\"");
  struct stat before {};
  ASSERT_EQ(::stat(destination().c_str(), &before), 0);
  const auto event = install();
  ASSERT_EQ(event.at("type"), "installed");
  EXPECT_EQ(event.at("folder"), (destination() / "Contents/MacOS/vorn-updater").string());
  struct stat after {};
  ASSERT_EQ(::stat(destination().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(std::distance(fs::directory_iterator(applications()), fs::directory_iterator()), 1);
}

TEST(InstallReplaceByRenaming, PutsTheNewTreeInPlaceOrLeavesTheOldOne) {
  TempFolder temp;
  const fs::path original = temp.path() / "App";
  const fs::path replacement = temp.path() / ".App-new";
  const std::string aside = (temp.path() / ".App-old").string();
  const std::vector<std::string> holds = {"old.txt"};
  writeFile(original / "old.txt", "old");
  EXPECT_FALSE(
      platform::posix::replaceByRenaming(original.string(), (temp.path() / "missing").string(), holds, aside)
          .ok());
  EXPECT_EQ(readAll(original / "old.txt"), "old");

  writeFile(replacement / "new.txt", "new");
  ASSERT_TRUE(platform::posix::replaceByRenaming(original.string(), replacement.string(), holds, aside).ok());
  EXPECT_EQ(readAll(original / "new.txt"), "new");
  EXPECT_FALSE(fs::exists(original / "old.txt"));
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1);
}

TEST(HomeFolder, OnlyAnAbsoluteHomeNamesTheFolder) {
  const std::string saved = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  setenv("HOME", "/srv/someone", 1);
  EXPECT_EQ(platform::posix::homeFolder(), "/srv/someone");
  // A relative value would put the Applications folder below wherever the program was started.
  for (const char* relative : {"someone", "", "./home"}) {
    setenv("HOME", relative, 1);
    const std::optional<std::string> home = platform::posix::homeFolder();
    EXPECT_TRUE(!home || home->starts_with('/')) << relative << " gave " << *home;
  }
  setenv("HOME", saved.c_str(), 1);
}

}  // namespace
}  // namespace vorn::testing
