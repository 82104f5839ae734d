// The main queue is the main context; the background queue a pool of worker threads.
#include <memory>
#include <string>
#include <utility>

#include "platform/gtk/gtk_platform.h"

namespace vorn::platform::gtk {
namespace {

using Work = std::function<void()>;

void runWork(gpointer data, gpointer) {
  const std::unique_ptr<Work> work(static_cast<Work*>(data));
  (*work)();
}

gboolean runOnMain(gpointer data) {
  (*static_cast<Work*>(data))();
  return G_SOURCE_REMOVE;
}

void freeWork(gpointer data) { std::unique_ptr<Work>(static_cast<Work*>(data)); }

}  // namespace

DesktopDispatch::DesktopDispatch() : pool_(g_thread_pool_new(runWork, nullptr, -1, FALSE, nullptr)) {}

DesktopDispatch::~DesktopDispatch() {
  // Work that has started finishes before the program ends.
  if (pool_ != nullptr) g_thread_pool_free(pool_, FALSE, TRUE);
}

Status DesktopDispatch::asyncGlobal(std::function<void()> work) {
  if (pool_ == nullptr)
    return Error{"GThreadError", 0, "Could not start the background work: no thread pool"};
  auto item = std::make_unique<Work>(std::move(work));
  GError* raw = nullptr;
  if (g_thread_pool_push(pool_, item.get(), &raw)) {
    static_cast<void>(item.release());  // the pool's worker owns it now
    return success();
  }
  const GErrorPtr error(raw);
  return Error{"GThreadError", error ? error->code : 0,
               std::string("Could not start the background work: ") +
                   (error ? error->message : "the thread pool refused it")};
}

void DesktopDispatch::asyncMain(std::function<void()> work) {
  // Safe from any thread: the source is attached to the main context and wakes it.
  g_idle_add_full(G_PRIORITY_DEFAULT, runOnMain, std::make_unique<Work>(std::move(work)).release(), freeWork);
}

}  // namespace vorn::platform::gtk
