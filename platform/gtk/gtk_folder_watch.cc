// A folder's changes through GIO's file monitor, which delivers them on the
// main context it was made on.
#include <gio/gio.h>

#include <memory>
#include <utility>

#include "platform/gtk/gtk_platform.h"

namespace vorn::platform::gtk {
namespace {

class DesktopFolderWatch final : public FolderWatch {
 public:
  DesktopFolderWatch(GObjectPtr<GFileMonitor> monitor, std::function<void()> changed)
      : monitor_(std::move(monitor)), changed_(std::make_shared<std::function<void()>>(std::move(changed))) {
    handler_ = g_signal_connect(monitor_.get(), "changed", G_CALLBACK(onChanged), this);
  }
  ~DesktopFolderWatch() override {
    // Events the monitor has queued already must not reach a watch that is gone.
    g_signal_handler_disconnect(monitor_.get(), handler_);
    g_file_monitor_cancel(monitor_.get());
  }
  DesktopFolderWatch(const DesktopFolderWatch&) = delete;
  DesktopFolderWatch& operator=(const DesktopFolderWatch&) = delete;

 private:
  static void onChanged(GFileMonitor* /*monitor*/, GFile* /*file*/, GFile* /*other*/,
                        GFileMonitorEvent /*event*/, gpointer self) {
    // Held for the call, so that a call back that drops the watch finishes safely.
    const std::shared_ptr<std::function<void()>> changed = static_cast<DesktopFolderWatch*>(self)->changed_;
    (*changed)();
  }

  GObjectPtr<GFileMonitor> monitor_;
  std::shared_ptr<std::function<void()>> changed_;
  gulong handler_ = 0;
};

}  // namespace

std::unique_ptr<FolderWatch> DesktopDispatch::watchFolder(const URL& folder, std::function<void()> changed) {
  const GObjectPtr<GFile> file = adopt(g_file_new_for_path(folder.path().c_str()));
  // GIO would wait for a missing folder to appear; the contract is a folder that is there.
  if (g_file_query_file_type(file.get(), G_FILE_QUERY_INFO_NONE, nullptr) != G_FILE_TYPE_DIRECTORY)
    return nullptr;
  GObjectPtr<GFileMonitor> monitor =
      adopt(g_file_monitor_directory(file.get(), G_FILE_MONITOR_NONE, nullptr, nullptr));
  if (!monitor) return nullptr;
  return std::make_unique<DesktopFolderWatch>(std::move(monitor), std::move(changed));
}

}  // namespace vorn::platform::gtk
