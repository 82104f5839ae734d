// install(), the main thread's half of an installation: it marks the fields,
// queues the worker (installation_worker.cc) and takes its one outcome back.
#include "app/setup_controller.h"
#include "install/updater.h"

namespace vorn {

void SetupController::install() {
  installing = true;
  confirmed = false;
  result.reset();
  receiptWatch_.reset();
  auto cancellation = std::make_shared<platform::Cancellation>();
  installation_ = cancellation;
  const platform::Status posted =
      platform_.dispatch.asyncGlobal([self = shared_from_this(), cancellation]() mutable {
        platform::Outcome<SetupResult> outcome = runInstallation(self->platform_.foundation, *cancellation);
        // The hand-back takes the controller over, so the worker's thread never
        // holds it beyond the moment it has nothing more to do.
        platform::Dispatch& dispatch = self->platform_.dispatch;
        dispatch.asyncMain([self = std::move(self), outcome = std::move(outcome)]() mutable {
          if (outcome) {
            self->installationSucceeded(std::move(outcome.value()));
          } else {
            self->installationFailed(outcome.error());
          }
        });
      });
  // Work that was never queued would never hand anything back.
  if (!posted) installationFailed(posted.error());
}

void SetupController::installationSucceeded(SetupResult record) {
  installing = false;
  installation_.reset();
  result = std::move(record);
  watchReceiptFolder();
  emit(Event{{"type", "installed"}, {"folder", result->folder}});
}

void SetupController::installationFailed(const platform::Error& error) {
  installing = false;
  installation_.reset();
  emit(Event{{"type", "error"}, {"message", std::string(kFailurePrefix) + error.localizedDescription}});
}

}  // namespace vorn
