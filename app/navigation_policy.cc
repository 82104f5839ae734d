#include "app/setup_controller.h"

namespace vorn {

void SetupController::webViewDecidePolicyForNavigationAction(
    const platform::NavigationAction& action, const platform::DecisionHandler& decisionHandler) {
  const bool allow = action.requestURL && action.requestURL->standardizedFileURL() == indexPageURL();
  decisionHandler(allow ? platform::NavigationActionPolicy::Allow : platform::NavigationActionPolicy::Cancel);
}

}  // namespace vorn
