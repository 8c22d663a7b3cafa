/* A GTK module for the end-to-end tests: loaded into the real installer with
 * GTK_MODULES=<path of this library>, it appends one line for every message dialog that is
 * shown to the file named by MORVELL_DIALOG_LOG:  "info <text>" or "error <text>". The tests
 * press the buttons themselves (xdotool); this only lets them read what the dialogs said. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>

static gboolean on_map(GSignalInvocationHint* hint, guint n_params, const GValue* params, gpointer data) {
  (void)hint;
  (void)data;
  if (n_params < 1) return TRUE;
  GObject* object = g_value_get_object(&params[0]);
  if (!GTK_IS_MESSAGE_DIALOG(object)) return TRUE;
  const char* log = getenv("MORVELL_DIALOG_LOG");
  if (!log || !*log) return TRUE;
  gchar* text = NULL;
  GtkMessageType type = GTK_MESSAGE_INFO;
  g_object_get(object, "text", &text, "message-type", &type, NULL);
  FILE* f = fopen(log, "a");
  if (f) {
    fprintf(f, "%s %s\n", type == GTK_MESSAGE_ERROR ? "error" : "info", text ? text : "");
    fclose(f);
  }
  g_free(text);
  return TRUE;
}

G_MODULE_EXPORT void gtk_module_init(gint* argc, gchar*** argv) {
  (void)argc;
  (void)argv;
  gpointer klass = g_type_class_ref(GTK_TYPE_WIDGET);
  g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, on_map, NULL, NULL);
  (void)klass;
}
