// The page's web process killed by its process id, as a crash or the
// out-of-memory killer would: the real program reloads the page in the same
// window and the page shows again where the user was; after three ends within
// a minute it stops trying and the window can still be closed.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/desktop/program_fixture.h"

namespace vorn {
namespace {

namespace fs = std::filesystem;
using namespace desktop_testing;

constexpr const char* kReceiptWriter = VORN_RECEIPT_WRITER_PATH;

// The web processes this process started.
std::vector<pid_t> webProcesses() {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text;
    if (!std::getline(stat, text)) continue;
    const std::size_t open = text.find('(');
    const std::size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 >= text.size()) continue;
    const std::string comm = text.substr(open + 1, close - open - 1);
    const char state = text[close + 2];
    const pid_t parent = std::stoi(text.substr(close + 4));
    if (parent == ::getpid() && state != 'Z' && comm.starts_with("WebKitWebProces")) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

class RecoveryTest : public ProgramFixture {
 protected:
  // Kills the page's one web process; answers whether there was one.
  bool killWebProcess() {
    const std::vector<pid_t> processes = webProcesses();
    if (processes.size() != 1) return false;
    const pid_t victim = processes.front();
    ::kill(victim, SIGKILL);
    // Gone, and heard of by the view.
    return pumpUntil([&] {
      const auto now = webProcesses();
      return std::find(now.begin(), now.end(), victim) == now.end();
    });
  }
};

TEST_F(RecoveryTest, AKilledPageComesBackWhereTheUserWasAndThirdTimeTheWindowStillCloses) {
  const int status = runProgram([&] {
    ASSERT_TRUE(pageReady());
    ASSERT_EQ(value("document.getElementById('install').click(); true"), "true");
    ASSERT_TRUE(reaches("installed")) << value("document.body.innerText");
    ASSERT_TRUE(controller->view().result);
    const std::string folder = nlohmann::json(controller->view().result->folder).dump();

    ASSERT_TRUE(killWebProcess());
    ASSERT_TRUE(reaches("installed")) << "the page did not come back";
    EXPECT_EQ(value("document.getElementById('folder').textContent"), folder);
    EXPECT_EQ(webProcesses().size(), 1U);
    // The page works again: its copy reaches the clipboard.
    ASSERT_EQ(value("document.getElementById('copy-folder').click(); true"), "true");
    ASSERT_TRUE(
        waitForScript(view(), "document.getElementById('copy-folder').textContent.includes('Copied')"));

    ASSERT_EQ(runChild({kReceiptWriter}).status, 0);
    ASSERT_TRUE(reaches("confirmed", 5.0));
    ASSERT_TRUE(killWebProcess());
    ASSERT_TRUE(reaches("confirmed")) << "the confirmation was not shown again";

    // A third end within the minute: no page again, and no new process for it.
    ASSERT_TRUE(killWebProcess());
    pumpFor(2.0);
    EXPECT_TRUE(webProcesses().empty());
    ended = true;
    gtk_window_close(GTK_WINDOW(windowWidget()));
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace vorn
