// The web-process side of the page channel and of the read grant.
//
// Every frame gets window.webkit.messageHandlers.<name>.postMessage(body). The
// function is native and bound to the frame whose window it was installed in,
// so the main-frame flag and the URI it reports are read from that frame here,
// never taken from the page. Every request a page makes is refused unless it
// names a file inside the granted folder (after decoding, dot segments and
// symbolic links), or is data:, blob: or about:.
#include <jsc/jsc.h>
#include <limits.h>
#include <stdlib.h>
#include <webkit2/webkit-web-extension.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/gtk/extension/extension_protocol.h"
#include "platform/gtk/gobject_ptr.h"

namespace {

using vorn::platform::gtk::adopt;
using vorn::platform::gtk::GCharPtr;
using vorn::platform::gtk::GObjectPtr;

struct Grant {
  // The granted folder with symbolic links resolved; empty grants nothing.
  std::string root;
  std::vector<std::string> handlerNames;
};

Grant& grant() {
  static Grant g;
  return g;
}

std::string resolvedPath(const char* path) {
  char buffer[PATH_MAX];
  if (realpath(path, buffer) == nullptr) return {};
  return buffer;
}

bool insideRoot(const std::string& path) {
  const std::string& root = grant().root;
  if (root.empty() || path.empty()) return false;
  const std::string prefix = root.ends_with('/') ? root : root + '/';
  return path.size() > prefix.size() && path.starts_with(prefix);
}

// What the request really names decides, whatever its spelling.
bool requestAllowed(const char* uri) {
  if (uri == nullptr) return false;
  GCharPtr scheme(g_uri_parse_scheme(uri));
  if (!scheme) return false;
  const std::string s(scheme.get());
  if (s == "data" || s == "blob" || s == "about") return true;
  if (s != "file") return false;

  // Why a URI does not parse is of no use here: it is refused either way.
  GUri* rawUri = g_uri_parse(uri, G_URI_FLAGS_ENCODED, nullptr);
  if (rawUri == nullptr) return false;
  std::unique_ptr<GUri, decltype(&g_uri_unref)> parsed(rawUri, &g_uri_unref);
  const char* host = g_uri_get_host(parsed.get());
  if (host != nullptr && *host != '\0' && g_ascii_strcasecmp(host, "localhost") != 0) return false;
  // An escaped '/' or NUL would let the text differ from the file it names.
  GCharPtr path(g_uri_unescape_string(g_uri_get_path(parsed.get()), "/"));
  if (!path || path.get()[0] != '/') return false;
  return insideRoot(resolvedPath(path.get()));
}

gboolean onSendRequest(WebKitWebPage*, WebKitURIRequest* request, WebKitURIResponse*, gpointer) {
  // TRUE cancels the load.
  return requestAllowed(webkit_uri_request_get_uri(request)) ? FALSE : TRUE;
}

void onPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer) {
  g_signal_connect(page, "send-request", G_CALLBACK(onSendRequest), nullptr);
}

// What one installed postMessage function stands for: its frame and page,
// held weakly so a gone frame simply drops its posts.
struct Binding {
  GWeakRef page;
  GWeakRef frame;
  std::string name;
  Binding(WebKitWebPage* p, WebKitFrame* f, std::string n) : name(std::move(n)) {
    g_weak_ref_init(&page, p);
    g_weak_ref_init(&frame, f);
  }
  ~Binding() {
    g_weak_ref_clear(&page);
    g_weak_ref_clear(&frame);
  }
  Binding(const Binding&) = delete;
  Binding& operator=(const Binding&) = delete;
};

void destroyBinding(gpointer data) { std::unique_ptr<Binding>(static_cast<Binding*>(data)); }

const char* kindOf(JSCValue* value) {
  if (jsc_value_is_undefined(value)) return "undefined";
  if (jsc_value_is_null(value)) return "null";
  if (jsc_value_is_number(value)) return "number";
  if (jsc_value_is_boolean(value)) return "boolean";
  if (jsc_value_is_array(value)) return "array";
  if (jsc_value_is_function(value)) return "function";
  return "object";
}

void postMessage(JSCValue* body, gpointer data) {
  auto* binding = static_cast<Binding*>(data);
  GObjectPtr<WebKitWebPage> page(static_cast<WebKitWebPage*>(g_weak_ref_get(&binding->page)));
  GObjectPtr<WebKitFrame> frame(static_cast<WebKitFrame*>(g_weak_ref_get(&binding->frame)));
  if (!page || !frame) return;

  const gboolean isMainFrame = webkit_frame_is_main_frame(frame.get());
  const char* uri = webkit_frame_get_uri(frame.get());
  if (uri != nullptr && !g_utf8_validate(uri, -1, nullptr)) uri = nullptr;

  const bool isString = jsc_value_is_string(body);
  GBytes* text = nullptr;
  if (isString) {
    text = jsc_value_to_string_as_bytes(body);
  } else {
    const char* kind = kindOf(body);
    text = g_bytes_new_static(kind, std::strlen(kind));
  }
  GVariant* bodyBytes = g_variant_new_from_bytes(G_VARIANT_TYPE_BYTESTRING, text, TRUE);
  g_bytes_unref(text);
  GVariant* parameters = g_variant_new(vorn::platform::gtk::kPostFormat, isMainFrame, uri,
                                       static_cast<gboolean>(isString), bodyBytes);
  WebKitUserMessage* message = webkit_user_message_new(binding->name.c_str(), parameters);
  webkit_web_page_send_message_to_view(page.get(), message, nullptr, nullptr, nullptr);
}

// A read-only, non-configurable property: page script cannot swap it out.
void defineFixed(JSCValue* object, const char* name, JSCValue* value) {
  jsc_value_object_define_property_data(object, name, static_cast<JSCValuePropertyFlags>(0), value);
}

void onWindowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* page, WebKitFrame* frame, gpointer) {
  GObjectPtr<JSCContext> context = adopt(webkit_frame_get_js_context_for_script_world(frame, world));
  if (!context) return;
  GObjectPtr<JSCValue> handlers = adopt(jsc_value_new_object(context.get(), nullptr, nullptr));
  for (const std::string& name : grant().handlerNames) {
    auto binding = std::make_unique<Binding>(page, frame, name);
    GObjectPtr<JSCValue> function =
        adopt(jsc_value_new_function(context.get(), "postMessage", G_CALLBACK(postMessage), binding.release(),
                                     destroyBinding, G_TYPE_NONE, 1, JSC_TYPE_VALUE));
    GObjectPtr<JSCValue> handler = adopt(jsc_value_new_object(context.get(), nullptr, nullptr));
    defineFixed(handler.get(), "postMessage", function.get());
    defineFixed(handlers.get(), name.c_str(), handler.get());
  }
  GObjectPtr<JSCValue> webkit = adopt(jsc_value_new_object(context.get(), nullptr, nullptr));
  defineFixed(webkit.get(), "messageHandlers", handlers.get());
  GObjectPtr<JSCValue> global = adopt(jsc_context_get_global_object(context.get()));
  defineFixed(global.get(), "webkit", webkit.get());
}

}  // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(WebKitWebExtension* extension,
                                                                               const GVariant* userData) {
  auto* data = const_cast<GVariant*>(userData);
  if (data != nullptr && g_variant_is_of_type(data, G_VARIANT_TYPE(vorn::platform::gtk::kInitType))) {
    const char* root = nullptr;
    GVariantIter* names = nullptr;
    g_variant_get(data, vorn::platform::gtk::kInitReadFormat, &root, &names);
    if (root != nullptr && *root != '\0') grant().root = resolvedPath(root);
    const char* name = nullptr;
    while (g_variant_iter_next(names, "&s", &name)) grant().handlerNames.emplace_back(name);
    g_variant_iter_free(names);
  }
  g_signal_connect(extension, "page-created", G_CALLBACK(onPageCreated), nullptr);
  g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                   G_CALLBACK(onWindowObjectCleared), nullptr);
}
