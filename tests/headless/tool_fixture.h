// The tools' tests' fixture: the sample updater, the native host and the
// receipt writer, run as the real executables with a throw-away home folder;
// the updater and the host from a bundle of their own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "controller_fixture.h"
#include "install/setup_result.h"
#include "tool_test_support.h"

namespace vorn::tool_testing {

namespace fs = std::filesystem;
using testing::TempFolder;

#if defined(VORN_UPDATER_PATH) && defined(VORN_RECEIPT_WRITER_PATH) && defined(VORN_NATIVE_HOST_PATH)
inline constexpr const char* kBuiltUpdater = VORN_UPDATER_PATH;
inline constexpr const char* kBuiltHost = VORN_NATIVE_HOST_PATH;
inline constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;
#else
inline constexpr const char* kBuiltUpdater = nullptr;
inline constexpr const char* kBuiltHost = nullptr;
inline constexpr const char* kReceiptWriter = nullptr;
#endif

inline constexpr const char* kOrigin = "chrome-extension://ldieoajldojdadeoenlijijeolcdiogl/";
inline constexpr const char* kHostManifest = "com.vorn.preview_setup.json";
inline const std::vector<std::string> kBrowserFolders = {
    "google-chrome", "chromium", "BraveSoftware/Brave-Browser", "microsoft-edge", "vivaldi"};

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

// The one whole frame that `out` must be, as JSON; null when it is not one.
inline nlohmann::json reply(const std::string& out) {
  std::uint32_t length = 0;
  if (out.size() < sizeof length) return nullptr;
  std::memcpy(&length, out.data(), sizeof length);
  if (length != out.size() - sizeof length) return nullptr;
  return nlohmann::json::parse(out.substr(sizeof length), nullptr, false);
}

// Where each browser looks for the host, below its config folder: Chrome's
// channels and Chromium below $CHROME_CONFIG_HOME when it is set.
struct Browser {
  const char* name;
  const char* folder;
  bool chrome;
  const char* program;  // one of the places its package puts it
};
inline const std::vector<Browser> kEveryBrowser = {
    {"Google Chrome", "google-chrome", true, "/opt/google/chrome/chrome"},
    {"Google Chrome Beta", "google-chrome-beta", true, "/usr/bin/google-chrome-beta"},
    {"Google Chrome Unstable", "google-chrome-unstable", true, "/usr/bin/google-chrome-unstable"},
    {"Chromium", "chromium", true, "/usr/bin/chromium"},
    {"Brave", "BraveSoftware/Brave-Browser", false, "/opt/brave.com/brave/brave"},
    {"Microsoft Edge", "microsoft-edge", false, "/usr/bin/microsoft-edge"},
    {"Microsoft Edge Beta", "microsoft-edge-beta", false, "/opt/microsoft/msedge-beta/msedge"},
    {"Microsoft Edge Dev", "microsoft-edge-dev", false, "/usr/bin/microsoft-edge-dev"},
    {"Vivaldi", "vivaldi", false, "/opt/vivaldi/vivaldi"},
};

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
    // Every browser installed, in a place of the test's own.
    for (const auto& browser : kEveryBrowser) installProgram(programs(), browser.program);
  }

  // Makes an executable file at `program` below `root`, as a browser's package would.
  static void installProgram(const fs::path& root, const std::string& program) {
    const fs::path at = root / fs::path(program).relative_path();
    testing::writeFile(at, "#!/bin/sh\n");
    fs::permissions(at, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }

  fs::path home() const { return temp.path() / "home"; }
  fs::path dataFolder() const { return home() / ".local" / "share" / "vorn-preview"; }
  fs::path config() const { return home() / ".config"; }
  fs::path macOS() const { return temp.path() / "Vorn #1 %20 ü.app" / "Contents" / "MacOS"; }
  fs::path bundledExtension() const { return macOS().parent_path() / "Resources" / "extension"; }
  std::string updater() const { return (macOS() / "vorn-updater").string(); }
  std::string host() const { return (macOS() / "vorn-native-host").string(); }
  fs::path receipt() const { return dataFolder() / "setup-confirmed.json"; }
  // Where the updater looks for the browsers' programs; never the machine's own.
  fs::path programs() const { return temp.path() / "programs"; }

  // Runs `program` with the test's home and environment changes (an empty
  // value removes the variable), standard input from `input` (empty when
  // none), standard output and error into files.
  ToolRun run(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& input = "") {
    return finish(start(program, arguments, input));
  }

  // The same, returning once the program has started.
  pid_t start(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& input = "") {
    std::map<std::string, std::optional<std::string>> changes = environment;
    if (!changes.contains("HOME")) changes["HOME"] = home().string();
    for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
      if (!changes.contains(name)) changes[name] = std::nullopt;
    }
    if (!changes.contains("VORN_TEST_BROWSER_PROGRAMS_ROOT"))
      changes["VORN_TEST_BROWSER_PROGRAMS_ROOT"] = programs().string();
    std::vector<std::string> variables = tool_testing::environmentWith(changes);
    // The user the tools are made for: root would pass every permission check.
    std::vector<std::string> words = unprivileged ? tool_testing::asUser(65534) : std::vector<std::string>{};
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    auto argv = tool_testing::execVector(words);
    auto envp = tool_testing::execVector(variables);

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
    const int spawned = posix_spawn(&pid, words.front().c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      ADD_FAILURE() << "cannot start " << program;
      return -1;
    }
    return pid;
  }

  // Waits for a run that start() began.
  ToolRun finish(pid_t pid) {
    ToolRun result;
    if (pid < 0) return result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(temp.path() / "stdout");
    result.err = readFile(temp.path() / "stderr");
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

  // Everything below the test's folder but the bundle and the tools' standard
  // streams, links and folders marked: what the tools' runs may change.
  std::set<std::string> everything() const {
    std::set<std::string> found;
    for (auto entry = fs::recursive_directory_iterator(temp.path());
         entry != fs::recursive_directory_iterator(); ++entry) {
      const fs::path relative = entry->path().lexically_relative(temp.path());
      if (entry.depth() == 0 && (entry->path() == macOS().parent_path().parent_path() ||
                                 entry->path() == programs() || relative.string().starts_with("std"))) {
        entry.disable_recursion_pending();
        continue;
      }
      found.insert(relative.string() + (entry->is_symlink() ? "@" : entry->is_directory() ? "/" : ""));
    }
    return found;
  }

  // Beside the built tools, not in the shared temporary folder: setup
  // registers a host in place only where no other user could replace it.
  TempFolder temp{"vorn-tools",
                  kBuiltUpdater == nullptr ? fs::path() : fs::path(kBuiltUpdater).parent_path()};
  std::map<std::string, std::optional<std::string>> environment;
  fs::path inputFrom;         // standard input from this file instead
  bool unprivileged = false;  // run as nobody, who then owns the test's folder
};

inline void expectOneLine(const std::string& text) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Hands a tree to nobody (or back to root), links included, without following them.
inline void ownTree(const fs::path& top, uid_t owner) {
  ASSERT_EQ(::lchown(top.c_str(), owner, owner), 0) << top;
  for (const auto& entry : fs::recursive_directory_iterator(top))
    ASSERT_EQ(::lchown(entry.path().c_str(), owner, owner), 0) << entry.path();
}

inline constexpr uid_t kNobody = 65534;

}  // namespace vorn::tool_testing
