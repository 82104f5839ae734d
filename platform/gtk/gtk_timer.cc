// A timer on the main context; the first firing comes one interval after scheduling.
#include <cmath>

#include "platform/gtk/gtk_platform.h"

namespace vorn::platform::gtk {

DesktopTimer::DesktopTimer(double interval, bool repeats, std::function<void()> action)
    : repeats_(repeats), action_(std::move(action)) {
  const auto ms = static_cast<guint>(std::llround(std::max(interval, 0.0) * 1000.0));
  source_ = g_timeout_add_full(G_PRIORITY_DEFAULT, ms, fire, this, nullptr);
}

DesktopTimer::~DesktopTimer() {
  if (source_ != 0) g_source_remove(source_);
}

gboolean DesktopTimer::fire(gpointer self) {
  auto* timer = static_cast<DesktopTimer*>(self);
  if (!timer->repeats_) timer->source_ = 0;
  timer->action_();
  return timer->repeats_ ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

std::shared_ptr<Timer> DesktopRunLoop::scheduledTimer(double interval, bool repeats,
                                                      std::function<void()> action) {
  return std::make_shared<DesktopTimer>(interval, repeats, std::move(action));
}

}  // namespace vorn::platform::gtk
