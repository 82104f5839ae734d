// The sample updater and the receipt writer, run as the real executables with
// a throw-away home folder.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "confirm/setup_receipt.h"
#include "controller_fixture.h"
#include "install/setup_result.h"

extern char** environ;

namespace vorn {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

#if defined(VORN_UPDATER_PATH) && defined(VORN_RECEIPT_WRITER_PATH)
constexpr const char* kUpdater = VORN_UPDATER_PATH;
constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;
#else
constexpr const char* kUpdater = nullptr;
constexpr const char* kReceiptWriter = nullptr;
#endif

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

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kUpdater == nullptr) GTEST_SKIP() << "the tools are not part of this build";
    fs::create_directories(home());
  }

  fs::path home() const { return temp.path() / "home"; }
  fs::path dataFolder() const { return home() / ".local" / "share" / "vorn-preview"; }

  // Runs `program` with the test's home and environment changes (an empty
  // value removes the variable), standard output and error into files.
  ToolRun run(const char* program, const std::vector<std::string>& arguments) {
    std::map<std::string, std::optional<std::string>> changes = environment;
    changes["HOME"] = home().string();
    if (!changes.contains("XDG_DATA_HOME")) changes["XDG_DATA_HOME"] = std::nullopt;
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

    const fs::path out = temp.path() / "stdout";
    const fs::path err = temp.path() / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv.data(), envp.data());
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
    const ToolRun setup = run(kUpdater, {"--setup"});
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
};

void expectOneLine(const std::string& text) {
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

TEST_F(ToolsTest, SetupReportsAFolderItMadeUnderTheDataFolder) {
  const ToolRun setup = run(kUpdater, {"--setup"});
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
    const ToolRun bad = run(kUpdater, arguments);
    EXPECT_NE(bad.status, 0);
    EXPECT_EQ(bad.out, "");
    expectOneLine(bad.err);
  }
  EXPECT_FALSE(fs::exists(dataFolder()));
}

TEST_F(ToolsTest, ASetupThatCannotMakeItsFolderFailsWithOneLine) {
  testing::writeFile(temp.path() / "not-a-folder", "x");
  environment["XDG_DATA_HOME"] = (temp.path() / "not-a-folder").string();
  const ToolRun failed = run(kUpdater, {"--setup"});
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

}  // namespace
}  // namespace vorn
