#include "app/setup_controller.h"

namespace vorn {

void SetupController::install() {
  installing = true;
  confirmed = false;
  result.reset();
  platform_.dispatch.asyncGlobal(platform::QualityOfService::UserInitiated, [self = shared_from_this()] {
    platform::Outcome<SetupResult> outcome = runInstallation(self->platform_.foundation);
    self->platform_.dispatch.asyncMain([self, outcome = std::move(outcome)]() mutable {
      if (outcome) {
        self->installationSucceeded(std::move(outcome.value()));
      } else {
        self->installationFailed(outcome.error());
      }
    });
  });
}

void SetupController::installationSucceeded(SetupResult record) {
  installing = false;
  result = std::move(record);
  emit(Event{{"type", "installed"}, {"folder", result->folder}});
}

void SetupController::installationFailed(const platform::Error& error) {
  installing = false;
  emit(Event{{"type", "error"}, {"message", "Installation could not finish. " + error.localizedDescription}});
}

}  // namespace vorn
