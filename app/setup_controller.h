// The one controller of the setup program: application, window, script
// message and navigation delegate at once. This header is the table of
// contents; each folder defines the operations of its own subsystem:
//   app/      construction, launch sequence, closing questions, navigation policy
//   bridge/   page messages, emit, clipboard copy
//   install/  install() and its hand-back (install.cc), the worker that copies
//             and runs the updater (installation_worker.cc, updater.cc), SetupResult
//   confirm/  checkConfirmation() (check_confirmation.cc), called by the timer,
//             the page and the watch on the receipt's folder; SetupReceipt
// Its fields are private: the page and the platform change them only through
// these operations, and view() shows them to those who only look.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install/setup_result.h"
#include "platform/platform.h"

namespace vorn {

// A flat map of string keys to string values that always holds "type".
using Event = std::map<std::string, std::string>;

inline constexpr std::string_view kWindowTitle = "Vorn Preview Setup";
inline constexpr std::string_view kMessageHandlerName = "setup";
inline constexpr std::string_view kExtensionsPageAddress = "chrome://extensions/";

class SetupController final : public platform::ApplicationDelegate,
                              public platform::WindowDelegate,
                              public platform::ScriptMessageHandler,
                              public platform::NavigationDelegate,
                              public std::enable_shared_from_this<SetupController> {
 public:
  // Construction; empty when the platform gives no resources folder.
  static std::shared_ptr<SetupController> create(platform::Platform& platform);

  // --- platform callbacks (app/) ---
  void applicationDidFinishLaunching() override;
  bool applicationShouldTerminateAfterLastWindowClosed() override;
  void applicationWillTerminate() override;
  bool windowShouldClose() override;
  void webViewDecidePolicyForNavigationAction(const platform::NavigationAction& action,
                                              const platform::DecisionHandler& decisionHandler) override;
  void webViewDidFinishNavigation() override;
  void webViewWebContentProcessDidTerminate() override;
  // --- page bridge (bridge/) ---
  void userContentControllerDidReceiveScriptMessage(const platform::ScriptMessage& message) override;

  // --- the program's own operations ---
  void checkConfirmation();                                   // confirm/
  void emit(const Event& event);                              // bridge/
  void install();                                             // install/
  void copy(std::string_view text, std::string_view target);  // bridge/

  // The setup page's URL, standardised: what is loaded, allowed and accepted.
  [[nodiscard]] platform::URL indexPageURL() const;

  // A read-only look at the fields, taken on the main thread: what tests and
  // diagnostics may see. Only the controller's own operations change them.
  struct View {
    const platform::Window* window = nullptr;
    const platform::WebView* web = nullptr;
    std::optional<SetupResult> result;
    bool confirmed = false;
    bool installing = false;
    bool timerScheduled = false;
    bool receiptFolderWatched = false;
  };
  [[nodiscard]] View view() const;

  SetupController(platform::Platform& platform, platform::URL resourcesFolder);

 private:
  // The background half of install(); answers the one outcome to hand back.
  static platform::Outcome<SetupResult> runInstallation(platform::Foundation& foundation,
                                                        const platform::Cancellation& cancellation);
  void installationSucceeded(SetupResult record);
  void installationFailed(const platform::Error& error);
  void loadSetupPage();
  // Checks at once whenever the folder that holds the result's receipt changes.
  void watchReceiptFolder();  // confirm/

  // --- fields, read and written on the main thread only ---
  std::unique_ptr<platform::Window> window;
  std::unique_ptr<platform::WebView> web;
  std::optional<SetupResult> result;
  bool confirmed = false;
  bool installing = false;
  std::shared_ptr<platform::Timer> timer;
  const platform::URL resources;

  platform::Platform& platform_;
  // The running installation's, so that the program's end can stop it; empty while idle.
  std::shared_ptr<platform::Cancellation> installation_;
  // The succeeded installation's receipt folder, watched until the next one starts.
  std::unique_ptr<platform::FolderWatch> receiptWatch_;
  // When the web process ended unasked, within the last minute.
  std::vector<double> webProcessEnds_;
  bool pageReloading_ = false;  // the page is loaded again after its process ended
  bool pageGivenUp_ = false;    // it ended too often: no more reloads, and the window closes
};

// The entry point, written against the platform table: makes the controller,
// makes it the application's delegate and runs the event loop.
int runSetupProgram(platform::Platform& platform);

}  // namespace vorn
