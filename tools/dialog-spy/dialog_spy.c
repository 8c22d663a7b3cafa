/* A GTK module for the end-to-end tests: loaded into the real installer with
 * GTK_MODULES=<path of this library>, it appends one line for every message dialog that is
 * shown to the file named by MORVELL_DIALOG_LOG:  "info <text>" or "error <text>". The tests
 * press the buttons themselves (xdotool); this only lets them read what the dialogs said.
 *
 * Each line is written once the program is back waiting for input with that window up (an idle
 * call below every event and redraw), so a test that has read it can press a key at once. The
 * first time the main window is shown, "ready" goes to MORVELL_READY_LOG the same way, from the
 * outermost main loop only: the program has finished its start-up work (the online version list
 * included) and takes clicks. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>

static void append_line(const char* variable, const char* line) {
  const char* log = getenv(variable);
  if (!log || !*log) return;
  FILE* f = fopen(log, "a");
  if (f) {
    fprintf(f, "%s\n", line);
    fclose(f);
  }
}

static gboolean write_dialog_line(gpointer line) {
  append_line("MORVELL_DIALOG_LOG", line);
  g_free(line);
  return FALSE;
}

static gboolean retry_ready(gpointer data);

/* Start-up work that runs events itself (reading the version list) dispatches this idle call
 * too; it only counts from the outermost loop, so inside such work it asks again a little later
 * (a timer is not pending all the time, so it never keeps that work's event loop busy). */
static gboolean write_ready(gpointer data) {
  (void)data;
  if (g_main_depth() > 1) {
    g_timeout_add(10, retry_ready, NULL);
    return FALSE;
  }
  append_line("MORVELL_READY_LOG", "ready");
  return FALSE;
}

static gboolean retry_ready(gpointer data) {
  g_idle_add_full(G_PRIORITY_LOW, write_ready, data, NULL);
  return FALSE;
}

static gboolean on_map(GSignalInvocationHint* hint, guint n_params, const GValue* params, gpointer data) {
  static gboolean main_window_seen = FALSE;
  (void)hint;
  (void)data;
  if (n_params < 1) return TRUE;
  GObject* object = g_value_get_object(&params[0]);
  if (GTK_IS_MESSAGE_DIALOG(object)) {
    gchar* text = NULL;
    GtkMessageType type = GTK_MESSAGE_INFO;
    g_object_get(object, "text", &text, "message-type", &type, NULL);
    gchar* line = g_strdup_printf("%s %s", type == GTK_MESSAGE_ERROR ? "error" : "info", text ? text : "");
    g_free(text);
    g_idle_add_full(G_PRIORITY_LOW, write_dialog_line, line, NULL);
  } else if (GTK_IS_WINDOW(object) && !GTK_IS_DIALOG(object) && !main_window_seen) {
    main_window_seen = TRUE;
    g_idle_add_full(G_PRIORITY_LOW, write_ready, NULL, NULL);
  }
  return TRUE;
}

G_MODULE_EXPORT void gtk_module_init(gint* argc, gchar*** argv) {
  (void)argc;
  (void)argv;
  gpointer klass = g_type_class_ref(GTK_TYPE_WIDGET);
  g_signal_add_emission_hook(g_signal_lookup("map", GTK_TYPE_WIDGET), 0, on_map, NULL, NULL);
  (void)klass;
}
