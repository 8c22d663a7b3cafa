/* Morvell sample application: what the sample packages install as bin/Morvell.exe.
 * With a display it shows a window "Morvell" with its version and its install directory
 * (the parent of its bin directory). Every start appends one line to the file named by
 * MORVELL_APP_LOG, so tests can see that it was launched (with MORVELL_APP_LOOK, the line also says
 * whether that path existed at the start: "look=present" or "look=absent"). It exits at once, without a
 * window, when MORVELL_APP_EXIT=1 or when no display can be opened. */
#include <gtk/gtk.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void install_directory(char* out, size_t size) {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) {
    snprintf(out, size, ".");
    return;
  }
  exe[n] = '\0';
  char* slash = strrchr(exe, '/');          /* .../bin/Morvell.exe -> .../bin */
  if (slash) *slash = '\0';
  slash = strrchr(exe, '/');                /* .../bin -> ... */
  if (slash && slash != exe) *slash = '\0';
  snprintf(out, size, "%s", exe);
}

static void read_version(const char* dir, char* out, size_t size) {
  char path[PATH_MAX + 16];
  snprintf(path, sizeof path, "%s/version.txt", dir);
  snprintf(out, size, "unknown");
  FILE* f = fopen(path, "r");
  if (!f) return;
  if (fgets(out, (int)size, f)) out[strcspn(out, "\r\n")] = '\0';
  fclose(f);
}

static void record_start(const char* dir, const char* version, int argc, char** argv) {
  const char* log = getenv("MORVELL_APP_LOG");
  if (!log || !*log) return;
  FILE* f = fopen(log, "a");
  if (!f) return;
  fprintf(f, "started pid=%d version=%s dir=%s ", (int)getpid(), version, dir);
  const char* look = getenv("MORVELL_APP_LOOK");
  if (look && *look) fprintf(f, "look=%s ", access(look, F_OK) == 0 ? "present" : "absent");
  fprintf(f, "args=");
  for (int i = 1; i < argc; ++i) fprintf(f, "%s%s", i > 1 ? " " : "", argv[i]);
  fputc('\n', f);
  fclose(f);
}

int main(int argc, char** argv) {
  char dir[PATH_MAX], version[64];
  install_directory(dir, sizeof dir);
  read_version(dir, version, sizeof version);
  record_start(dir, version, argc, argv);
  const char* quit = getenv("MORVELL_APP_EXIT");
  if (quit && strcmp(quit, "1") == 0) return 0;
  if (!gtk_init_check(&argc, &argv)) return 0;

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Morvell");
  gtk_window_set_default_size(GTK_WINDOW(window), 420, 160);
  gtk_container_set_border_width(GTK_CONTAINER(window), 18);
  GtkWidget* box = gtk_vbox_new(FALSE, 10);
  GtkWidget* title = gtk_label_new(NULL);
  gchar* markup = g_markup_printf_escaped("<span size='xx-large' weight='bold'>Morvell %s</span>", version);
  gtk_label_set_markup(GTK_LABEL(title), markup);
  g_free(markup);
  gchar* where = g_strdup_printf("安装目录: %s", dir);
  GtkWidget* place = gtk_label_new(where);
  g_free(where);
  gtk_label_set_selectable(GTK_LABEL(place), TRUE);
  GtkWidget* close = gtk_button_new_from_stock(GTK_STOCK_CLOSE);
  gtk_box_pack_start(GTK_BOX(box), title, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), place, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(box), close, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(window), box);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  g_signal_connect_swapped(close, "clicked", G_CALLBACK(gtk_widget_destroy), window);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
