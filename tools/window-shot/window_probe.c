/* A GTK module for the command-line tests: loaded into the real installer with
 * GTK_MODULES=<path of this library> and MORVELL_WINDOW_PROBE=<file>, it writes the installer
 * window's title and its widgets (type, text, state) to that file as soon as the main loop
 * starts, before any flow runs, and ends the process with 0. Nothing else is touched. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

static void dump_widget(FILE* f, GtkWidget* widget, int depth) {
  fprintf(f, "%*s%s", depth * 2, "", G_OBJECT_TYPE_NAME(widget));
  if (GTK_IS_LABEL(widget)) fprintf(f, " \"%s\"", gtk_label_get_text(GTK_LABEL(widget)));
  if (GTK_IS_ENTRY(widget)) fprintf(f, " \"%s\"", gtk_entry_get_text(GTK_ENTRY(widget)));
  if (GTK_IS_TOGGLE_BUTTON(widget))
    fprintf(f, " active=%d", gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget)) ? 1 : 0);
  if (GTK_IS_BUTTON(widget) || GTK_IS_ENTRY(widget) || GTK_IS_COMBO_BOX(widget))
    fprintf(f, " sensitive=%d", GTK_WIDGET_SENSITIVE(widget) ? 1 : 0);
  fputc('\n', f);
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* c = children; c; c = c->next) dump_widget(f, GTK_WIDGET(c->data), depth + 1);
    g_list_free(children);
  }
}

static gboolean dump_and_exit(gpointer data) {
  (void)data;
  const char* path = getenv("MORVELL_WINDOW_PROBE");
  FILE* f = path ? fopen(path, "w") : NULL;
  if (f) {
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* t = toplevels; t; t = t->next) {
      GtkWindow* window = GTK_WINDOW(t->data);
      if (!GTK_WIDGET_VISIBLE(window) || gtk_window_get_transient_for(window)) continue;
      fprintf(f, "title \"%s\"\n", gtk_window_get_title(window) ? gtk_window_get_title(window) : "");
      dump_widget(f, GTK_WIDGET(window), 0);
    }
    g_list_free(toplevels);
    fclose(f);
  }
  _exit(0);
  return FALSE;
}

G_MODULE_EXPORT void gtk_module_init(gint* argc, gchar*** argv) {
  (void)argc;
  (void)argv;
  if (!getenv("MORVELL_WINDOW_PROBE")) return;
  /* Ahead of every idle callback of the program (they run at a lower priority). */
  g_timeout_add_full(G_PRIORITY_HIGH, 0, dump_and_exit, NULL, NULL);
}
