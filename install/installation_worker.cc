// The installation worker: runs on the background queue and touches no field.
#include "app/setup_controller.h"

namespace vorn {

platform::Outcome<SetupResult> SetupController::runInstallation(platform::Foundation&) {
  return platform::Error{"VornSetup", 1, "The installer is not built yet."};
}

}  // namespace vorn
