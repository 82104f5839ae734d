// The web view, its configuration, script messages and the navigation delegate.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/appkit.h"
#include "platform/url.h"

namespace vorn::platform {

struct FrameInfo {
  bool isMainFrame = false;
  // The frame's current request URL; absent when the frame has none.
  std::optional<URL> requestURL;
};

// A posted body that is not a string; only its kind is kept ("number", "object", …).
struct NonStringBody {
  std::string kind;
};
using MessageBody = std::variant<std::string, NonStringBody>;

struct ScriptMessage {
  FrameInfo frameInfo;
  MessageBody body;
};

class ScriptMessageHandler {
 public:
  virtual ~ScriptMessageHandler() = default;
  virtual void userContentControllerDidReceiveScriptMessage(const ScriptMessage& message) = 0;
};

enum class NavigationActionPolicy { Cancel = 0, Allow = 1 };

struct NavigationAction {
  std::optional<URL> requestURL;
};
using DecisionHandler = std::function<void(NavigationActionPolicy)>;

class NavigationDelegate {
 public:
  virtual ~NavigationDelegate() = default;
  virtual void webViewDecidePolicyForNavigationAction(const NavigationAction& action,
                                                      const DecisionHandler& decisionHandler) = 0;
  // The main frame's page has finished loading.
  virtual void webViewDidFinishNavigation() {}
  // The process that ran the page has ended unasked (a crash, a memory
  // limit); the view shows nothing live until a page is loaded again.
  virtual void webViewWebContentProcessDidTerminate() {}
};

enum class WebsiteDataStore { Default, NonPersistent };

struct UserContentController {
  struct Entry {
    ScriptMessageHandler* handler;  // not owned
    std::string name;
  };
  std::vector<Entry> handlers;
  void addScriptMessageHandler(ScriptMessageHandler* handler, std::string name) {
    handlers.push_back({handler, std::move(name)});
  }
};

struct WebViewConfiguration {
  WebsiteDataStore websiteDataStore = WebsiteDataStore::Default;
  UserContentController userContentController;
};

class WebView {
 public:
  virtual ~WebView() = default;
  // Not owned.
  virtual void setNavigationDelegate(NavigationDelegate* delegate) = 0;
  virtual void loadFileURL(const URL& url, const URL& allowingReadAccessTo) = 0;
  // Asynchronous; the script's value and any script error are dropped.
  virtual void evaluateJavaScript(std::string script) = 0;
};

class WebKit {
 public:
  virtual ~WebKit() = default;
  // Empty when no web view can be made. Its size is its window's.
  virtual std::unique_ptr<WebView> makeWebView(const WebViewConfiguration& configuration) = 0;
};

}  // namespace vorn::platform
