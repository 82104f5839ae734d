// The main queue is the main context; the background queue a pool of worker threads.
#include <memory>
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

void DesktopDispatch::asyncGlobal(QualityOfService, std::function<void()> work) {
  auto item = std::make_unique<Work>(std::move(work));
  // Once pushed, the pool's worker owns the item and frees it.
  if (g_thread_pool_push(pool_, item.get(), nullptr)) static_cast<void>(item.release());
}

void DesktopDispatch::asyncMain(std::function<void()> work) {
  // Safe from any thread: the source is attached to the main context and wakes it.
  g_idle_add_full(G_PRIORITY_DEFAULT, runOnMain, std::make_unique<Work>(std::move(work)).release(), freeWork);
}

}  // namespace vorn::platform::gtk
