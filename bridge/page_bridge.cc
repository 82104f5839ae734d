#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "app/setup_controller.h"
#include "bridge/page_events.h"

namespace vorn {

void SetupController::userContentControllerDidReceiveScriptMessage(const platform::ScriptMessage& message) {
  if (!message.frameInfo.isMainFrame) return;
  if (!message.frameInfo.requestURL) return;
  if (message.frameInfo.requestURL->standardizedFileURL() != indexPageURL()) return;
  const std::string* word = std::get_if<std::string>(&message.body);
  if (word == nullptr) return;

  if (*word == "install") {
    if (!installing) install();
  } else if (*word == "copyExtensions") {
    copy(kExtensionsPageAddress, "extensions");
  } else if (*word == "copyFolder") {
    if (result) copy(result->folder, "folder");
  } else if (*word == "check") {
    checkConfirmation();
  } else if (*word == "done") {
    if (confirmed) platform_.app.terminate();
  }
}

void SetupController::emit(const Event& event) {
  if (!web) return;
  std::string json;
  try {
    // Strict UTF-8: an event that is not valid text is dropped, as the
    // platform's serialiser would.
    json = nlohmann::json(event).dump();
  } catch (const nlohmann::json::exception&) {
    return;
  }
  // The platform's writer escapes every slash; outside strings a flat map of
  // strings has none, so each '/' in the text lies inside a string.
  constexpr std::string_view kHead = kPageEventCall;
  // One pass with room for a backslash before every character; a backslash is
  // always written and kept only in front of a slash.
  std::string script(kHead.size() + 2 * json.size() + 1, '\0');
  char* out = std::copy(kHead.begin(), kHead.end(), script.data());
  for (const char c : json) {
    *out = '\\';
    out += static_cast<int>(c == '/');
    *out++ = c;
  }
  *out++ = ')';
  script.resize(static_cast<std::size_t>(out - script.data()));
  web->evaluateJavaScript(std::move(script));
}

void SetupController::copy(std::string_view text, std::string_view target) {
  platform_.app.generalPasteboard().clearContents();
  platform_.app.generalPasteboard().setString(text);
  emit(Event{{"type", "copied"}, {"target", std::string(target)}});
}

}  // namespace vorn
