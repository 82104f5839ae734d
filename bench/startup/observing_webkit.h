// A WebKit decorator for the start-up probe: every script message handler the
// logic registers is wrapped in an observer that reports the message
// (bench/support/probe_report.h) and then hands it on unchanged. The web view
// it made stays reachable, so the idle bench can run scripts in the page.
#pragma once

#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "bench/support/probe_report.h"
#include "platform/webkit.h"

namespace vorn::bench {

class ObservingWebKit final : public platform::WebKit {
 public:
  explicit ObservingWebKit(platform::WebKit& inner) : inner_(inner) {}

  std::unique_ptr<platform::WebView> makeWebView(
      const platform::WebViewConfiguration& configuration) override {
    platform::WebViewConfiguration observed = configuration;
    for (auto& entry : observed.userContentController.handlers) {
      observers_.push_back(std::make_unique<Observer>(entry.handler));
      entry.handler = observers_.back().get();
    }
    std::unique_ptr<platform::WebView> view = inner_.makeWebView(observed);
    view_ = view.get();
    return view;
  }

  // The last web view made; the logic keeps it for the whole run. Main thread only.
  [[nodiscard]] platform::WebView* webView() const { return view_; }

 private:
  class Observer final : public platform::ScriptMessageHandler {
   public:
    explicit Observer(platform::ScriptMessageHandler* inner) : inner_(inner) {}
    void userContentControllerDidReceiveScriptMessage(const platform::ScriptMessage& message) override {
      const auto* text = std::get_if<std::string>(&message.body);
      messagePosted(text != nullptr ? *text : std::string("<not a string>"));
      inner_->userContentControllerDidReceiveScriptMessage(message);
    }

   private:
    platform::ScriptMessageHandler* inner_;
  };

  platform::WebKit& inner_;
  platform::WebView* view_ = nullptr;
  // Kept for the whole run: the web view holds the handlers without owning them.
  std::vector<std::unique_ptr<Observer>> observers_;
};

}  // namespace vorn::bench
