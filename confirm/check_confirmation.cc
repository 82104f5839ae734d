// checkConfirmation(): whether the receipt beside the installed folder
// matches this installation. The launch sequence schedules it once a second;
// a change in the receipt's folder runs it at once.
#include <memory>
#include <string>

#include "app/setup_controller.h"
#include "confirm/setup_receipt.h"
#include "confirm/text_equality.h"

namespace vorn {
namespace {

constexpr std::size_t kLargestReceipt = 1024;
constexpr double kAgeLimitSeconds = 1800;

// Beside the folder, not inside it; a trailing slash is not a component.
platform::URL receiptFolderOf(const SetupResult& result) {
  return platform::URL::fileURLWithPath(result.folder).deletingLastPathComponent();
}

}  // namespace

// The tick stays as it is; this only spares the wait for it. A folder that
// cannot be watched leaves the tick to confirm.
void SetupController::watchReceiptFolder() {
  std::weak_ptr<SetupController> weak = weak_from_this();
  receiptWatch_ = platform_.dispatch.watchFolder(receiptFolderOf(*result), [weak] {
    if (const std::shared_ptr<SetupController> strong = weak.lock()) strong->checkConfirmation();
  });
}

// Runs on every tick and on the page's "check"; every unmet condition is
// silent and simply waits for the next call.
void SetupController::checkConfirmation() {
  if (installing) return;
  if (confirmed) return;
  if (!result) return;
  const SetupResult& current = *result;

  const std::string path = receiptFolderOf(current).appendingPathComponent(kReceiptFileName).path();

  // Only a regular file (never a link, pipe or device), checked on the open
  // descriptor, and never more than the limit read.
  auto bytes = platform_.foundation.defaultManager().contentsOfSmallRegularFile(path, kLargestReceipt);
  if (!bytes) return;

  auto receipt = decodeSetupReceipt(bytes.value());
  if (!receipt) return;
  if (!canonicallyEqual(receipt.value().token, current.token)) return;
  if (!canonicallyEqual(receipt.value().version, current.version)) return;

  // Written as conditions that must hold, so NaN and infinities never pass.
  const double createdAt = receipt.value().createdAt;
  if (!(platform_.foundation.timeIntervalSince1970() >= createdAt)) return;
  if (!(platform_.foundation.timeIntervalSince1970() - createdAt < kAgeLimitSeconds)) return;

  confirmed = true;
  emit(Event{{"type", "confirmed"}});
}

}  // namespace vorn
