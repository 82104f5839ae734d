#include "platform/headless/headless_platform.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <cstdint>
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

struct HeadlessDispatch::Watch {
  posix::UniqueFd inotify;
  std::function<void()> changed;
};

namespace {

class HeadlessFolderWatch final : public FolderWatch {
 public:
  explicit HeadlessFolderWatch(std::shared_ptr<void> watch) : watch_(std::move(watch)) {}

 private:
  std::shared_ptr<void> watch_;  // the dispatch holds it weakly; dropping it closes the descriptor
};

// What a change to the folder's own entries raises; IN_ONLYDIR refuses anything but a folder.
constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR;

}  // namespace

HeadlessDispatch::HeadlessDispatch() : posted_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

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
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(posted_.get(), &one, sizeof one);
}

std::unique_ptr<FolderWatch> HeadlessDispatch::watchFolder(const URL& folder, std::function<void()> changed) {
  posix::UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify.valid() || ::inotify_add_watch(inotify.get(), folder.path().c_str(), kFolderEvents) < 0)
    return nullptr;
  auto watch = std::make_shared<Watch>(Watch{std::move(inotify), std::move(changed)});
  std::erase_if(watches_, [](const std::weak_ptr<Watch>& w) { return w.expired(); });
  watches_.push_back(watch);
  return std::make_unique<HeadlessFolderWatch>(std::move(watch));
}

void HeadlessDispatch::collectFolderChanges() {
  std::erase_if(watches_, [](const std::weak_ptr<Watch>& w) { return w.expired(); });
  for (const std::weak_ptr<Watch>& weak : watches_) {
    const std::shared_ptr<Watch> watch = weak.lock();
    if (!watch) continue;
    alignas(inotify_event) char buffer[4096];
    bool saw = false;
    while (::read(watch->inotify.get(), buffer, sizeof buffer) > 0) saw = true;
    if (!saw) continue;
    // Checked again when it runs: a watch dropped in between calls back no more.
    std::lock_guard lock(mutex_);
    main_.emplace_back([weak] {
      if (const std::shared_ptr<Watch> live = weak.lock()) {
        const std::function<void()> changed = live->changed;  // outlives a call back that drops the watch
        changed();
      }
    });
  }
}

int HeadlessDispatch::runMainQueue() {
  collectFolderChanges();
  std::deque<std::function<void()>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(main_);
  }
  for (auto& work : batch) work();
  return static_cast<int>(batch.size());
}

bool HeadlessDispatch::waitAndRunMainQueue(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    collectFolderChanges();
    {
      std::lock_guard lock(mutex_);
      if (!main_.empty()) break;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // Work posted after the look above still wakes the poll: the eventfd counts it.
    std::vector<pollfd> fds{{posted_.get(), POLLIN, 0}};
    for (const std::weak_ptr<Watch>& weak : watches_) {
      if (const std::shared_ptr<Watch> watch = weak.lock()) fds.push_back({watch->inotify.get(), POLLIN, 0});
    }
    ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = ::read(posted_.get(), &count, sizeof count);
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
