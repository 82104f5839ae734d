#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "app/setup_controller.h"

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
  // strings has none, so each '/' in the text lies inside a string. The text
  // between slashes is copied in runs.
  constexpr std::string_view kHead = "window.vornSetup.receive(";
  const std::string_view text = json;
  std::string script;
  script.reserve(kHead.size() + text.size() + text.size() / 8 + 1);  // room for a slash in eight
  script.append(kHead);
  std::size_t from = 0;
  for (std::size_t slash = text.find('/'); slash != std::string_view::npos; slash = text.find('/', from)) {
    script.append(text.substr(from, slash - from)).append("\\/");
    from = slash + 1;
  }
  script.append(text.substr(from)).push_back(')');
  web->evaluateJavaScript(std::move(script));
}

void SetupController::copy(std::string_view text, std::string_view target) {
  platform_.app.generalPasteboard().clearContents();
  platform_.app.generalPasteboard().setString(text, platform::PasteboardTypeString);
  emit(Event{{"type", "copied"}, {"target", std::string(target)}});
}

}  // namespace vorn
