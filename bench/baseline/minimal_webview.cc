// The least a program can do to show the setup page: one 680×760 window, one
// web view in an ephemeral context with a "setup" script message channel,
// and the page loaded from its file. It reports the page's first post the
// same way the probe of our own program does (and, in idle mode, runs the
// lines of standard input as scripts in the page, as the probe does).
//   vorn_minimal_webview <index.html>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "bench/support/probe_report.h"

namespace {

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer) {
  vorn::bench::firstMessagePosted();  // ends the process here in the start mode
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (!jsc_value_is_string(value)) {
    vorn::bench::messagePosted("<not a string>");
    return;
  }
  gchar* text = jsc_value_to_string(value);
  vorn::bench::messagePosted(text);
  g_free(text);
}

void onMain(std::function<void()> work) {
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      owned.release(),
      [](gpointer data) {
        const std::unique_ptr<std::function<void()>> done(static_cast<std::function<void()>*>(data));
      });
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <index.html>\n", argv[0]);
    return 2;
  }
  WebKitWebContext* context = webkit_web_context_new_ephemeral();
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  g_signal_connect(content, "script-message-received::setup", G_CALLBACK(onScriptMessage), nullptr);
  webkit_user_content_manager_register_script_message_handler(content, "setup");
  GtkWidget* view = GTK_WIDGET(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", content, nullptr));
  g_object_unref(content);
  g_object_unref(context);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Vorn Preview Setup");
  gtk_window_set_default_size(GTK_WINDOW(window), 680, 760);
  gtk_container_add(GTK_CONTAINER(window), view);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);

  gchar* uri = g_filename_to_uri(argv[1], nullptr, nullptr);
  if (uri == nullptr) return 2;
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), uri);
  g_free(uri);
  vorn::bench::followCommands(onMain, [view](const std::string& script) {
    webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), script.c_str(), -1, nullptr, nullptr, nullptr,
                                        nullptr, nullptr);
  });
  gtk_main();
  return 0;
}
