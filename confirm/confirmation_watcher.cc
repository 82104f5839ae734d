#include "app/setup_controller.h"

namespace vorn {

void SetupController::checkConfirmation() {
  // Body comes with the confirmation watcher.
}

}  // namespace vorn
