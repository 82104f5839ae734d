// The web view: WebKitGTK with an ephemeral context per view, the web-process
// extension that carries page posts with their real frame, and the navigation
// delegate asked about every navigation and new-window request.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/gtk/extension/extension_protocol.h"
#include "platform/gtk/gtk_platform.h"

namespace vorn::platform::gtk {
namespace {

// Each new web process learns the grant and the handler names as it starts.
void initializeWebExtensions(WebKitWebContext* context, gpointer data) {
  const auto* state = static_cast<const WebContextState*>(data);
  GVariantBuilder names;
  g_variant_builder_init(&names, G_VARIANT_TYPE_STRING_ARRAY);
  for (const std::string& name : state->handlerNames) g_variant_builder_add(&names, "s", name.c_str());
  webkit_web_context_set_web_extensions_initialization_user_data(
      context, g_variant_new(kInitType, state->readRoot.c_str(), &names));
}

// The user's languages as the page reads them in navigator.languages, in BCP 47
// ("de-AT"), from GLib's reading of LANGUAGE, LC_ALL, LC_MESSAGES and LANG:
// "de_AT.UTF-8", "de_AT", "de", "C" become "de-AT", "de". WebKit's own default
// follows setlocale(), which fails for every locale the system has not
// generated, so the web view is told. "C" and "POSIX" name no language.
std::vector<std::string> preferredLanguages() {
  std::vector<std::string> tags;
  for (const gchar* const* name = g_get_language_names(); *name != nullptr; ++name) {
    std::string tag(*name);
    tag.resize(std::min({tag.size(), tag.find('.'), tag.find('@')}));
    std::replace(tag.begin(), tag.end(), '_', '-');
    if (tag.empty() || tag == "C" || tag == "POSIX") continue;
    if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(std::move(tag));
  }
  return tags;
}

// The languages the page has catalogues for, as its folder lists them (LINGUAS:
// one tag a line, # for a note), besides its own English.
std::vector<std::string> pageLanguages(const std::filesystem::path& folder) {
  std::vector<std::string> languages{"en"};
  gchar* text = nullptr;
  if (!g_file_get_contents((folder / "LINGUAS").c_str(), &text, nullptr, nullptr)) return languages;
  std::istringstream listed(text);
  g_free(text);
  for (std::string line; std::getline(listed, line);) {
    std::istringstream words(line.substr(0, line.find('#')));
    for (std::string tag; words >> tag;) {
      std::replace(tag.begin(), tag.end(), '_', '-');
      languages.push_back(tag);
    }
  }
  return languages;
}

// WebKit shows a page only the first of the preferred languages, so the first
// of the user's that the page has a catalogue for goes first: gettext's choice
// ("xx:de_CH" reads xx, de-CH, de; the page gets de-CH and falls back to de).
void setPreferredLanguages(WebKitWebContext* context, const std::string& pageFolder) {
  std::vector<std::string> tags = preferredLanguages();
  if (tags.empty()) return;
  const std::vector<std::string> known = pageLanguages(pageFolder);
  const auto has = [&](const std::string& tag) {
    return std::any_of(known.begin(), known.end(),
                       [&](const std::string& k) { return g_ascii_strcasecmp(k.c_str(), tag.c_str()) == 0; });
  };
  const auto chosen = std::find_if(tags.begin(), tags.end(), has);
  if (chosen != tags.end()) std::rotate(tags.begin(), chosen, chosen + 1);
  std::vector<const gchar*> list;
  list.reserve(tags.size() + 1);
  for (const std::string& tag : tags) list.push_back(tag.c_str());
  list.push_back(nullptr);
  webkit_web_context_set_preferred_languages(context, list.data());
}

gboolean denyPermission(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  webkit_permission_request_deny(request);
  return TRUE;
}

GtkWidget* createNoWindow(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }

gboolean refuseInspector(WebKitWebInspector*, gpointer) { return TRUE; }

// WebKit's view asks for the size of the page it lays out, and a window that
// the user may not resize takes its child's asked-for size as its own: larger
// desktop text, which WebKit turns into the page's zoom, would make the window
// taller with every state, up to the screen. This view asks for nothing but
// the size it is given (gtk_widget_set_size_request), and its page scrolls.
struct VornSizedWebView {
  WebKitWebView parent;
};
struct VornSizedWebViewClass {
  WebKitWebViewClass parent;
};
G_DEFINE_TYPE(VornSizedWebView, vorn_sized_web_view, WEBKIT_TYPE_WEB_VIEW)

void askForNothing(GtkWidget*, gint* minimum, gint* natural) { *minimum = *natural = 0; }
void askForNothingFor(GtkWidget*, gint, gint* minimum, gint* natural) { *minimum = *natural = 0; }

void vorn_sized_web_view_class_init(VornSizedWebViewClass* type) {
  GtkWidgetClass* widget = GTK_WIDGET_CLASS(type);
  widget->get_preferred_width = askForNothing;
  widget->get_preferred_height = askForNothing;
  widget->get_preferred_width_for_height = askForNothingFor;
  widget->get_preferred_height_for_width = askForNothingFor;
}

void vorn_sized_web_view_init(VornSizedWebView*) {}

GObjectPtr<WebKitSettings> lockedDownSettings() {
  GObjectPtr<WebKitSettings> settings = adopt(webkit_settings_new());
  WebKitSettings* s = settings.get();
  webkit_settings_set_enable_developer_extras(s, FALSE);
  webkit_settings_set_enable_write_console_messages_to_stdout(s, FALSE);
  webkit_settings_set_javascript_can_open_windows_automatically(s, FALSE);
  webkit_settings_set_allow_file_access_from_file_urls(s, FALSE);
  webkit_settings_set_allow_universal_access_from_file_urls(s, FALSE);
  webkit_settings_set_allow_modal_dialogs(s, FALSE);
  webkit_settings_set_enable_back_forward_navigation_gestures(s, FALSE);
  webkit_settings_set_enable_page_cache(s, FALSE);
  // One small page that hardly moves: drawing it on the CPU spares the web
  // process a GL compositor (emulated in software where there is no GPU), which
  // starts it sooner, keeps it about 70 MB smaller and halves what a frame costs.
  webkit_settings_set_hardware_acceleration_policy(s, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
  return settings;
}

}  // namespace

std::unique_ptr<WebView> DesktopWebKit::makeWebView(const WebViewConfiguration& configuration) {
  // Without the extension there would be no page channel and no read grant.
  const std::string extensions = extensionsDirectory();
  std::error_code error;
  if (extensions.empty() ||
      !std::filesystem::is_regular_file(std::filesystem::path(extensions) / kExtensionFileName, error)) {
    return nullptr;
  }
  auto state = std::make_shared<WebContextState>();
  state->context = adopt(configuration.websiteDataStore == WebsiteDataStore::NonPersistent
                             ? webkit_web_context_new_ephemeral()
                             : webkit_web_context_new());
  if (!state->context) return nullptr;
  for (const auto& entry : configuration.userContentController.handlers)
    state->handlerNames.push_back(entry.name);
  WebKitWebContext* context = state->context.get();
  webkit_web_context_set_cache_model(context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  webkit_web_context_set_web_extensions_directory(context, extensions.c_str());
  g_signal_connect(context, "initialize-web-extensions", G_CALLBACK(initializeWebExtensions), state.get());
  return std::make_unique<DesktopWebView>(std::move(state), configuration);
}

DesktopWebView::DesktopWebView(std::shared_ptr<WebContextState> context,
                               const WebViewConfiguration& configuration)
    : context_(std::move(context)), userContent_(configuration.userContentController) {
  GObjectPtr<WebKitSettings> settings = lockedDownSettings();
  view_ = retain(GTK_WIDGET(g_object_new(vorn_sized_web_view_get_type(), "web-context",
                                         context_->context.get(), "settings", settings.get(), nullptr)));
  WebKitWebView* view = WEBKIT_WEB_VIEW(view_.get());
  g_signal_connect(view, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(view, "user-message-received", G_CALLBACK(onUserMessage), this);
  g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(view, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
  g_signal_connect(view, "permission-request", G_CALLBACK(denyPermission), nullptr);
  g_signal_connect(view, "create", G_CALLBACK(createNoWindow), nullptr);
  g_signal_connect(webkit_web_view_get_inspector(view), "open-window", G_CALLBACK(refuseInspector), nullptr);
}

DesktopWebView::~DesktopWebView() {
  g_signal_handlers_disconnect_by_data(view_.get(), this);
  g_signal_handlers_disconnect_by_data(context_->context.get(), context_.get());
}

void DesktopWebView::loadFileURL(const URL& url, const URL& allowingReadAccessTo) {
  context_->readRoot = allowingReadAccessTo.isFileURL() ? allowingReadAccessTo.path() : std::string();
  setPreferredLanguages(context_->context.get(), context_->readRoot);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_.get()), url.absoluteString().c_str());
}

void DesktopWebView::evaluateJavaScript(std::string script) {
  webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view_.get()), script.data(),
                                      static_cast<gssize>(script.size()), nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
}

gboolean DesktopWebView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                        WebKitPolicyDecisionType type, gpointer self) {
  // Responses keep the engine's own decision.
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
      type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    return FALSE;
  }
  auto* web = static_cast<DesktopWebView*>(self);
  if (web->navigationDelegate_ == nullptr) return FALSE;

  WebKitNavigationAction* navigation =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* request =
      navigation != nullptr ? webkit_navigation_action_get_request(navigation) : nullptr;
  const char* uri = request != nullptr ? webkit_uri_request_get_uri(request) : nullptr;
  NavigationAction action;
  if (uri != nullptr && *uri != '\0') action.requestURL = URL(uri);

  // One answer per decision, however often the handler is called.
  auto pending = std::make_shared<GObjectPtr<WebKitPolicyDecision>>(retain(decision));
  web->navigationDelegate_->webViewDecidePolicyForNavigationAction(
      action, [pending](NavigationActionPolicy policy) {
        if (!*pending) return;
        if (policy == NavigationActionPolicy::Allow) {
          webkit_policy_decision_use(pending->get());
        } else {
          webkit_policy_decision_ignore(pending->get());
        }
        pending->reset();
      });
  // A delegate that did not answer at once has cancelled.
  if (*pending) {
    webkit_policy_decision_ignore(pending->get());
    pending->reset();
  }
  return TRUE;
}

void DesktopWebView::onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer self) {
  auto* web = static_cast<DesktopWebView*>(self);
  if (event == WEBKIT_LOAD_FINISHED && web->navigationDelegate_ != nullptr) {
    web->navigationDelegate_->webViewDidFinishNavigation();
  }
}

void DesktopWebView::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                            gpointer self) {
  // Ending it ourselves (the view going away) is no crash to recover from.
  if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) return;
  auto* web = static_cast<DesktopWebView*>(self);
  if (web->navigationDelegate_ != nullptr) web->navigationDelegate_->webViewWebContentProcessDidTerminate();
}

gboolean DesktopWebView::onUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer self) {
  auto* web = static_cast<DesktopWebView*>(self);
  const char* name = webkit_user_message_get_name(message);
  GVariant* parameters = webkit_user_message_get_parameters(message);
  if (name == nullptr || parameters == nullptr ||
      !g_variant_is_of_type(parameters, G_VARIANT_TYPE(kPostType))) {
    return FALSE;
  }
  ScriptMessageHandler* handler = nullptr;
  for (const auto& entry : web->userContent_.handlers) {
    if (entry.name == name) handler = entry.handler;
  }
  if (handler == nullptr) return FALSE;

  gboolean isMainFrame = FALSE;
  const char* uri = nullptr;
  gboolean isString = FALSE;
  GVariant* rawBody = nullptr;
  g_variant_get(parameters, kPostReadFormat, &isMainFrame, &uri, &isString, &rawBody);
  const GVariantPtr body(rawBody);
  gsize length = 0;
  const auto* bytes = static_cast<const char*>(g_variant_get_fixed_array(body.get(), &length, 1));
  std::string text(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);

  ScriptMessage post;
  post.frameInfo.isMainFrame = isMainFrame != FALSE;
  if (uri != nullptr && *uri != '\0') post.frameInfo.requestURL = URL(uri);
  if (isString) {
    post.body = std::move(text);
  } else {
    post.body = NonStringBody{std::move(text)};
  }
  handler->userContentControllerDidReceiveScriptMessage(post);
  return TRUE;
}

}  // namespace vorn::platform::gtk
