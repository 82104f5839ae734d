// The road through a real browser: the real program and page install with the
// real updater, then headless Chromium, with its profile under the test's
// HOME, loads the folder that the updater reported. Its extension asks the
// native host, the host writes the receipt (no receipt writer runs), the page
// confirms; setup run again with the browser open is confirmed with no click;
// a host that hangs is ended before the next ask; and Done ends the program.
// An extension with another ID, loaded meanwhile, is refused; uninstalling
// leaves nothing of ours in the browsers' folders.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "confirm/setup_receipt.h"
#include "tests/desktop/real_page_fixture.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace desktop_testing;

constexpr const char* kHostName = "com.vorn.preview_setup";
constexpr const char* kOrigin = "chrome-extension://ldieoajldojdadeoenlijijeolcdiogl/";
// Where the updater registers the host, below the user's configuration folder.
const std::vector<std::string> kBrowserFolders = {"google-chrome", "chromium", "BraveSoftware/Brave-Browser",
                                                  "microsoft-edge", "vivaldi"};

std::string contentsOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path home() { return std::getenv("HOME"); }

// The extension confirms a new setup within this many seconds with the browser open.
constexpr double kConfirmBound = 45.0;

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

fs::path hostManifest(const std::string& browser) {
  return home() / ".config" / browser / "NativeMessagingHosts" / (std::string(kHostName) + ".json");
}

// The command lines of the processes that name `text` in theirs: what a
// browser run under HOME could leave behind (the browser, its helpers, a host).
std::vector<std::string> processesNaming(const std::string& text) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos || name == std::to_string(::getpid()))
      continue;
    std::string line;
    try {
      line = contentsOf(entry.path() / "cmdline");
    } catch (const std::ios_base::failure&) {
      continue;  // it ended while being read
    }
    if (line.find(text) == std::string::npos) continue;
    std::replace(line.begin(), line.end(), '\0', ' ');
    found.push_back(name.append(": ").append(line));
  }
  return found;
}

// A folder outside HOME, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string name = (fs::temp_directory_path() / "vorn-browser-XXXXXX").string();
    if (::mkdtemp(name.data()) != nullptr) path_ = name;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Headless Chromium with its profile under HOME, loading one unpacked
// extension; its output (the extension's console included) goes to `log`. It
// runs in a process group of its own, which the destructor ends whole.
class Chromium {
 public:
  Chromium(const fs::path& extension, fs::path log) : log_(std::move(log)) {
    const std::string profile = "--user-data-dir=" + (home() / ".config" / "chromium").string();
    const std::string load = "--load-extension=" + extension.string();
    const char* argv[] = {"chromium",
                          "--headless=new",
                          "--no-sandbox",  // CI runs as root
                          profile.c_str(),
                          load.c_str(),
                          "--no-first-run",
                          "--disable-background-networking",
                          "--disable-component-update",
                          "--disable-sync",
                          "--disable-gpu",
                          "--password-store=basic",
                          "--enable-logging=stderr",
                          "--v=0",
                          "about:blank",
                          nullptr};
    GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_MERGE);
    g_subprocess_launcher_set_stdout_file_path(launcher, log_.c_str());
    // Settings in memory: no dconf database under HOME.
    g_subprocess_launcher_setenv(launcher, "GSETTINGS_BACKEND", "memory", TRUE);
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { ::setpgid(0, 0); }, nullptr, nullptr);
    GError* error = nullptr;
    process_ = g_subprocess_launcher_spawnv(launcher, argv, &error);
    g_object_unref(launcher);
    if (process_ == nullptr) {
      failure_ = error != nullptr ? error->message : "could not start";
      if (error != nullptr) g_error_free(error);
      return;
    }
    group_ = std::stoi(g_subprocess_get_identifier(process_));
  }
  ~Chromium() { stop(); }
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  bool started() const { return process_ != nullptr; }
  const std::string& failure() const { return failure_; }
  std::string log() const { return contentsOf(log_); }
  bool logs(const std::string& text, double seconds) const {
    return pumpUntil([&] { return log().find(text) != std::string::npos; }, seconds);
  }

  // SIGTERM to the whole group, SIGKILL to what is left after five seconds.
  void stop() {
    if (process_ == nullptr) return;
    const auto gone = [this] { return ::kill(-group_, 0) != 0; };
    ::kill(-group_, SIGTERM);
    if (!pumpUntil(gone, 5.0)) {
      ::kill(-group_, SIGKILL);
      pumpUntil(gone, 5.0);
    }
    g_subprocess_wait(process_, nullptr, nullptr);
    g_object_unref(process_);
    process_ = nullptr;
  }

 private:
  fs::path log_;
  GSubprocess* process_ = nullptr;
  pid_t group_ = 0;
  std::string failure_;
};

// The extension's files with its "key" left out: loaded from elsewhere, its ID
// comes from its path, and the host's manifest does not allow it.
void copyWithoutKey(const fs::path& from, const fs::path& to) {
  fs::copy(from, to, fs::copy_options::recursive);
  nlohmann::json manifest = nlohmann::json::parse(contentsOf(to / "manifest.json"));
  manifest.erase("key");
  std::ofstream(to / "manifest.json", std::ios::trunc) << manifest.dump(2);
}

class BrowserRoadTest : public RealPageTest {};

TEST_F(BrowserRoadTest,
       ChromiumConfirmsEachSetupOnlyOurExtensionIsHeardAHungHostIsEndedAndUninstallLeavesNothing) {
  gchar* chromium = g_find_program_in_path("chromium");
  const bool present = chromium != nullptr;
  g_free(chromium);
  ASSERT_TRUE(present) << "chromium is missing: scripts/install-deps build installs it";
  const ScratchFolder scratch;
  ASSERT_FALSE(scratch.path().empty());
  const fs::path installed = home() / "Applications" / "Vorn Preview Setup.app";
  fs::path folder;
  fs::path receipt;

  // Setup registers a browser whose folder is there already (or whose
  // program is installed); these stand for browsers the user has run.
  for (const std::string& browser : kBrowserFolders) {
    fs::create_directories(home() / ".config" / browser);
    fs::permissions(home() / ".config" / browser, fs::perms::owner_all);
  }
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    press("install");
    ASSERT_TRUE(reaches("installed")) << value("document.body.innerText");
    ASSERT_TRUE(controller->view().result);
    folder = controller->view().result->folder;
    receipt = folder.parent_path() / kReceiptFileName;

    // Registered for each browser, allowing our extension alone.
    for (const std::string& browser : kBrowserFolders) {
      const nlohmann::json manifest =
          nlohmann::json::parse(contentsOf(hostManifest(browser)), nullptr, false);
      ASSERT_TRUE(manifest.is_object()) << hostManifest(browser);
      EXPECT_EQ(manifest.value("name", ""), kHostName);
      EXPECT_EQ(manifest.value("type", ""), "stdio");
      // The bundle's own host, or, where a folder above it is open to other
      // users (a HOME below /tmp), the private copy in the tool folder.
      const std::string path = manifest.value("path", "");
      EXPECT_TRUE(path == (installed / "Contents" / "MacOS" / "vorn-native-host").string() ||
                  path == (folder.parent_path() / "vorn-native-host").string())
          << path;
      EXPECT_EQ(manifest["allowed_origins"], nlohmann::json::array({kOrigin})) << browser;
    }
    for (const char* file : {"manifest.json", "background.js", "icons/16.png", "icons/128.png"}) {
      EXPECT_TRUE(fs::is_regular_file(folder / file)) << file;
    }

    // The same files without the key, from another folder: the browser refuses
    // the ask, nothing is written, the page keeps waiting.
    const fs::path stranger = scratch.path() / "extension";
    copyWithoutKey(folder, stranger);
    {
      Chromium browser(stranger, scratch.path() / "stranger.log");
      ASSERT_TRUE(browser.started()) << browser.failure();
      // Chromium's own words for a host whose manifest does not allow the caller.
      ASSERT_TRUE(browser.logs(
          "vorn: no confirmation yet: Access to the specified native messaging host is forbidden", 30.0))
          << browser.log();
      EXPECT_EQ(browser.log().find(kOrigin), std::string::npos) << browser.log();
      pumpFor(1.5);  // the watcher looks once a second
    }
    EXPECT_FALSE(fs::exists(receipt));
    EXPECT_EQ(value("document.body.dataset.state"), "\"installed\"");

    // Our folder as the updater reported it: the host writes the receipt.
    {
      Chromium browser(folder, scratch.path() / "road.log");
      ASSERT_TRUE(browser.started()) << browser.failure();
      ASSERT_TRUE(browser.logs("vorn: asking " + std::string(kHostName), 30.0)) << browser.log();
      EXPECT_NE(browser.log().find(std::string(kOrigin) + "background.js"), std::string::npos)
          << browser.log();
      ASSERT_TRUE(pumpUntil([&] { return fs::exists(receipt); }, 15.0)) << browser.log();
      ASSERT_TRUE(reaches("confirmed", 5.0)) << browser.log();
      EXPECT_TRUE(browser.logs("vorn: the setup is confirmed", 5.0)) << browser.log();
      const nlohmann::json written = nlohmann::json::parse(contentsOf(receipt), nullptr, false);
      EXPECT_EQ(written.value("token", ""), controller->view().result->token);
      EXPECT_EQ(written.value("version", ""), controller->view().result->version);

      // Setup run again (a repair) with the browser left open: confirmed with
      // no click, by the host the first ask started.
      const auto started = std::chrono::steady_clock::now();
      const ChildRun again =
          runChild({(installed / "Contents" / "MacOS" / "vorn-updater").string(), "--setup"});
      ASSERT_EQ(again.status, 0) << again.err;
      const fs::path record = folder.parent_path() / "last-setup.json";
      const std::string token = nlohmann::json::parse(contentsOf(record), nullptr, false).value("token", "");
      ASSERT_NE(token, controller->view().result->token);
      const auto receiptToken = [&] {
        return nlohmann::json::parse(contentsOf(receipt), nullptr, false).value("token", "");
      };
      // Bounded from the updater's start, which comes before its record.
      const double left =
          kConfirmBound - std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      ASSERT_TRUE(pumpUntil([&] { return receiptToken() == token; }, left)) << browser.log();
      const double recorded =
          std::chrono::duration<double>(
              std::chrono::file_clock::to_sys(fs::last_write_time(record)).time_since_epoch())
              .count();
      const double took =
          nlohmann::json::parse(contentsOf(receipt), nullptr, false).value("createdAt", 0.0) - recorded;
      std::cout << "the setup run again was confirmed " << took << " s after its record was written\n";
      RecordProperty("confirmed_again_ms", static_cast<int>(took * 1000));
      EXPECT_EQ(occurrences(browser.log(), "vorn: the worker started"), 1u) << browser.log();
      EXPECT_EQ(occurrences(browser.log(), "vorn: asking"), 1u) << browser.log();
    }
    // Our host, watching while the browser kept its port, ends with the browser.
    EXPECT_TRUE(pumpUntil([] { return processesNaming(home().string()).empty(); }, 5.0))
        << ::testing::PrintToString(processesNaming(home().string()));

    // A host that never answers, registered in place of ours: each ask that
    // times out ends its host, so that no more than one is ever alive.
    const fs::path registration = hostManifest("chromium");
    const std::string ours = contentsOf(registration);
    const fs::path hung = scratch.path() / "hung-host";
    std::ofstream(hung) << "#!/bin/bash\nexec -a \"$0\" sleep 600\n";
    fs::permissions(hung, fs::perms::owner_all);
    nlohmann::json standIn = nlohmann::json::parse(ours);
    standIn["path"] = hung.string();
    std::ofstream(registration, std::ios::trunc) << standIn.dump();
    {
      Chromium browser(folder, scratch.path() / "hung.log");
      ASSERT_TRUE(browser.started()) << browser.failure();
      std::size_t most = 0;
      const auto sample = [&] { most = std::max(most, processesNaming(hung.string()).size()); };
      // Three asks, and a while after the third began.
      EXPECT_TRUE(pumpUntil(
          [&] {
            sample();
            return occurrences(browser.log(), "vorn: asking") >= 3;
          },
          45.0))
          << browser.log();
      pumpUntil(
          [&] {
            sample();
            return false;
          },
          2.0);
      EXPECT_EQ(occurrences(browser.log(), "vorn: no confirmation yet: no answer within"), 2u)
          << browser.log();
      EXPECT_EQ(most, 1u);
    }
    std::ofstream(registration, std::ios::trunc) << ours;
    // The browser need not end a host it still held when it quit.
    for (const std::string& left : processesNaming(hung.string())) ::kill(std::stoi(left), SIGKILL);
    pressDone();
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(ended);

  const ChildRun uninstall =
      runChild({(installed / "Contents" / "MacOS" / "vorn-updater").string(), "--uninstall"});
  EXPECT_EQ(uninstall.status, 0) << uninstall.err;
  for (const std::string& browser : kBrowserFolders)
    EXPECT_FALSE(fs::exists(hostManifest(browser))) << browser;
  EXPECT_FALSE(folder.empty() || fs::exists(folder));
  EXPECT_FALSE(receipt.empty() || fs::exists(receipt));
  EXPECT_FALSE(fs::exists(folder.parent_path() / "last-setup.json"));

  // What the browser itself wrote under HOME is the test's to remove.
  std::error_code ignored;
  for (const char* written : {".config/chromium", ".cache/chromium", ".pki"})
    fs::remove_all(home() / written, ignored);
  for (const std::string& browser : kBrowserFolders) fs::remove(home() / ".config" / browser, ignored);
  fs::remove(home() / ".config" / "BraveSoftware", ignored);
  for (const char* emptied : {".cache", ".config"}) fs::remove(home() / emptied, ignored);  // only when empty
}

}  // namespace
}  // namespace vorn
