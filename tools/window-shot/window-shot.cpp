// Draws the installer window for one run mode on the current display and saves it as a PNG:
//   window-shot online|offline|update|uninstall OUTPUT.png
// The window is the program's own (built by the core library); the online picture shows a
// version list filled with sample releases, as after a successful manifest load.
//   window-shot --xid ID OUTPUT.png
// saves another program's window on this display instead (the Windows installer under Wine).
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/installer_window_gtk.h"
#include "app/ui.h"
#include "app/window.h"
#include "common/state.h"
#include "platform/platform.h"

static void fill_sample_versions() {
  const char* versions[] = {"6.1.17", "6.1.16", "6.0.9"};
  const char* notes =
      "Morvell 6.1.17\n"
      "- 修复大文件导入时偶尔卡顿的问题\n"
      "- 改进中文输入法下的快捷键处理\n"
      "- 更新内置帮助文档";
  for (const char* v : versions) {
    ReleaseEntry entry;
    entry.version = v;
    entry.release_notes = notes;
    release_catalogue.entries.push_back(entry);
    add_version_line(v);
  }
  select_version_line(0);
  release_catalogue.selected = 0;
  set_release_notes_text(notes);
  set_status(L"请选择要安装的版本。");
}

static void settle_for(const std::string& mode) {
  run_mode = mode == "update"      ? RunMode::Update
             : mode == "uninstall" ? RunMode::Uninstall
             : mode == "offline"   ? RunMode::Offline
                                   : RunMode::Online;
  install_options = InstallOptions();
  install_options.install_dir = "/home/user/.local/share/Programs/Morvell";
  if (run_mode == RunMode::Update) install_options.package_path = "/home/user/Downloads/Morvell-6.1.17.zip";
}

// Runs the toolkit until the window has been mapped and painted.
static void settle_display(GtkWidget* window) {
  for (int i = 0; i < 40; ++i) {
    while (gtk_events_pending()) gtk_main_iteration();
    gdk_window_process_all_updates();
    gdk_flush();
    plat::sleep_ms(25);
  }
  (void)window;
}

// Saves what the window shows now; false with a message on standard error.
static bool save_window(GdkWindow* window, const char* path) {
  gint width = 0, height = 0;
  gdk_drawable_get_size(window, &width, &height);
  GdkPixbuf* shot =
      gdk_pixbuf_get_from_drawable(nullptr, window, gdk_colormap_get_system(), 0, 0, 0, 0, width, height);
  if (!shot) {
    std::fprintf(stderr, "window-shot: could not read the window\n");
    return false;
  }
  GError* error = nullptr;
  bool saved = gdk_pixbuf_save(shot, path, "png", &error, "compression", "9", nullptr);
  if (!saved) std::fprintf(stderr, "window-shot: %s\n", error ? error->message : "save failed");
  if (error) g_error_free(error);
  g_object_unref(shot);
  return saved;
}

// The window of another program, by its X id (decimal, or hex with 0x).
static int save_foreign_window(const char* id, const char* path) {
  char* end = nullptr;
  unsigned long xid = std::strtoul(id, &end, 0);
  if (!*id || *end || !xid) {
    std::fprintf(stderr, "window-shot: not a window id: %s\n", id);
    return 2;
  }
  GdkWindow* window = gdk_window_foreign_new(static_cast<GdkNativeWindow>(xid));
  if (!window) {
    std::fprintf(stderr, "window-shot: no window %s on this display\n", id);
    return 1;
  }
  bool saved = save_window(window, path);
  g_object_unref(window);
  return saved ? 0 : 1;
}

int main(int argc, char** argv) {
  use_toolkit_front_end();
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "window-shot: no display\n");
    return 1;
  }
  if (argc == 4 && !std::strcmp(argv[1], "--xid")) return save_foreign_window(argv[2], argv[3]);
  if (argc != 3 || (std::strcmp(argv[1], "online") && std::strcmp(argv[1], "offline") &&
                    std::strcmp(argv[1], "update") && std::strcmp(argv[1], "uninstall"))) {
    std::fprintf(stderr, "usage: window-shot online|offline|update|uninstall OUTPUT.png\n"
                         "       window-shot --xid ID OUTPUT.png\n");
    return 2;
  }
  settle_for(argv[1]);
  build_installer_window();
  GtkWidget* window = installer_window.window;
  gtk_window_move(GTK_WINDOW(window), 0, 0);
  if (run_mode == RunMode::Online) fill_sample_versions();
  settle_display(window);

  bool saved = save_window(window->window, argv[2]);
  gtk_widget_destroy(window);
  return saved ? 0 : 1;
}
