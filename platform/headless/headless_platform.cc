#include "platform/headless/headless_platform.h"

#include <unicode/utf8.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "bridge/page_events.h"

namespace vorn::platform::headless {

int HeadlessApplication::run() {
  if (delegate != nullptr && !exitStatus) delegate->applicationDidFinishLaunching();
  return exitStatus.value_or(0);
}

void HeadlessApplication::end(int status) {
  if (exitStatus) return;
  exitStatus = status;
  // As the desktop's loop does once it has ended.
  if (delegate != nullptr && !terminationAnnounced) {
    terminationAnnounced = true;
    delegate->applicationWillTerminate();
  }
  if (onEnd) onEnd();
}

void HeadlessApplication::terminateWithFailure(std::string_view line) {
  failureLine = line;
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  end(1);
}

bool HeadlessPasteboard::setString(std::string_view text) {
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(text.data(), i, length, c);
    if (c <= 0) return false;  // ill-formed, or a NUL
  }
  contents.emplace_back(text);
  return true;
}

std::unique_ptr<Window> HeadlessApplication::makeWindow(Size contentSize, WindowStyle style) {
  // As the desktop, which has no window without area.
  if (failWindowCreation || contentSize.width <= 0 || contentSize.height <= 0) return nullptr;
  auto window = std::make_unique<HeadlessWindow>(record, contentSize, style);
  record->lastWindow = window.get();
  return window;
}

std::shared_ptr<Image> HeadlessApplication::imageWithContentsOfURL(const URL& url) {
  // Stands in for the image decoder: a readable PNG file is an image.
  std::ifstream in(url.path(), std::ios::binary);
  char signature[8] = {};
  if (!in.read(signature, sizeof signature)) return nullptr;
  if (std::string_view(signature, 8) != std::string_view("\x89PNG\r\n\x1a\n", 8)) return nullptr;
  return std::make_shared<HeadlessImage>(url);
}

std::unique_ptr<WebView> HeadlessWebKit::makeWebView(const WebViewConfiguration& configuration) {
  if (failWebViewCreation) return nullptr;
  auto view = std::make_unique<HeadlessWebView>(record, configuration);
  record->lastWebView = view.get();
  return view;
}

HeadlessWindow::~HeadlessWindow() {
  if (record_->lastWindow == this) record_->lastWindow = nullptr;
}

HeadlessWebView::~HeadlessWebView() {
  if (record_->lastWebView == this) record_->lastWebView = nullptr;
}

HeadlessDispatch::~HeadlessDispatch() { joinBackground(); }

Status HeadlessDispatch::asyncGlobal(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  ++globalWorkQueued;
  if (failGlobalQueue)
    return Error{"GThreadError", 0, "Could not start a background thread: Resource temporarily unavailable"};
  try {
    background_.emplace_back(std::move(work));
  } catch (const std::system_error& error) {
    return Error{"GThreadError", 0, std::string("Could not start a background thread: ") + error.what()};
  }
  return success();
}

void HeadlessDispatch::asyncMain(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    main_.push_back(std::move(work));
  }
  posted_.notify_all();
}

int HeadlessDispatch::runMainQueue() {
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(main_);
  }
  for (auto& work : batch) work();
  return static_cast<int>(batch.size());
}

bool HeadlessDispatch::waitAndRunMainQueue(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex_);
    if (!posted_.wait_for(lock, timeout, [this] { return !main_.empty(); })) return false;
  }
  return runMainQueue() > 0;
}

void HeadlessDispatch::joinBackground() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(mutex_);
    threads.swap(background_);
  }
  for (auto& t : threads) t.join();
}

std::shared_ptr<Timer> HeadlessRunLoop::scheduledTimer(double interval, bool repeats,
                                                       std::function<void()> action) {
  auto timer = std::make_shared<HeadlessTimer>();
  timer->interval = interval;
  timer->repeats = repeats;
  timer->action = std::move(action);
  timers.push_back(timer);
  return timer;
}

void HeadlessRunLoop::fireTimers() {
  // A firing may schedule another timer: that one waits for the next turn.
  const std::vector<std::weak_ptr<HeadlessTimer>> due = timers;
  for (const auto& weak : due) {
    if (auto timer = weak.lock(); timer && timer->action) {
      auto action = timer->repeats ? timer->action : std::exchange(timer->action, nullptr);
      action();
    }
  }
}

HeadlessPlatform::HeadlessPlatform(posix::PosixFoundation::Options options)
    : foundation(std::move(options)), table_{app, webkit, foundation, dispatch, runLoop} {
  webkit.record = app.record;
}

void HeadlessPlatform::postMessage(std::string_view handlerName, bool isMainFrame,
                                   std::optional<URL> frameURL, MessageBody body) {
  HeadlessWebView* view = webView();
  if (view == nullptr) return;
  const ScriptMessage message{FrameInfo{isMainFrame, std::move(frameURL)}, std::move(body)};
  for (const auto& entry : view->configuration.userContentController.handlers) {
    if (entry.name == handlerName) entry.handler->userContentControllerDidReceiveScriptMessage(message);
  }
}

std::vector<NavigationActionPolicy> HeadlessPlatform::decideNavigation(std::optional<URL> url) {
  std::vector<NavigationActionPolicy> decisions;
  HeadlessWebView* view = webView();
  if (view == nullptr || view->navigationDelegate == nullptr) return decisions;
  view->navigationDelegate->webViewDecidePolicyForNavigationAction(
      NavigationAction{std::move(url)}, [&decisions](NavigationActionPolicy p) { decisions.push_back(p); });
  return decisions;
}

bool HeadlessPlatform::requestWindowClose() {
  HeadlessWindow* w = window();
  if (w == nullptr || w->closed) return false;
  if (w->delegate != nullptr && !w->delegate->windowShouldClose()) return false;
  w->closed = true;
  if (app.delegate != nullptr && app.delegate->applicationShouldTerminateAfterLastWindowClosed()) app.end(0);
  return true;
}

void HeadlessPlatform::quit(int status) { app.end(status); }

void HeadlessPlatform::webProcessTerminated() {
  if (HeadlessWebView* view = webView(); view != nullptr && view->navigationDelegate != nullptr) {
    view->navigationDelegate->webViewWebContentProcessDidTerminate();
  }
}

void HeadlessPlatform::pageFinishedLoading() {
  if (HeadlessWebView* view = webView(); view != nullptr && view->navigationDelegate != nullptr) {
    view->navigationDelegate->webViewDidFinishNavigation();
  }
}

std::vector<std::map<std::string, std::string>> HeadlessPlatform::events() const {
  std::vector<std::map<std::string, std::string>> out;
  if (app.record->scriptLogs.empty()) return out;
  constexpr std::string_view kPrefix = kPageEventCall;
  for (const std::string& script : app.record->scriptLogs.back()) {
    if (!script.starts_with(kPrefix) || !script.ends_with(')')) continue;
    const std::string_view json(script.data() + kPrefix.size(), script.size() - kPrefix.size() - 1);
    out.push_back(nlohmann::json::parse(json).get<std::map<std::string, std::string>>());
  }
  return out;
}

}  // namespace vorn::platform::headless
