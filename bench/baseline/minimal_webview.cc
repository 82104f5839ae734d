// The least a program can do to show the setup page: one 680×760 window, one
// web view in an ephemeral context with a "setup" script message channel,
// and the page loaded from its file. It reports the page's first post the
// same way the probe of our own program does.
//   vorn_minimal_webview <index.html>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdio>

#include "bench/support/probe_report.h"

namespace {

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult*, gpointer) {
  vorn::bench::firstMessagePosted();
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
  gtk_main();
  return 0;
}
