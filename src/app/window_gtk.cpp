// Building the installer window for the run mode, its signal handlers and its idle callbacks.
#include <gtk/gtk.h>

#include "app/installer_window_gtk.h"
#include "app/ui.h"
#include "app/window.h"
#include "catalogue/manifest.h"
#include "common/state.h"
#include "flows/install_driver.h"
#include "flows/uninstall.h"
#include "flows/update.h"

extern const unsigned char app_icon_png[];
extern const std::size_t app_icon_png_size;

bool init_toolkit(int& argc, char**& argv) { return gtk_init_check(&argc, &argv) != FALSE; }

bool window_exists() { return installer_window.window != nullptr; }

static gboolean on_delete_event(GtkWidget*, GdkEvent*, gpointer) { return busy ? TRUE : FALSE; }

static void on_browse_clicked(GtkWidget*, gpointer) {
  GtkWidget* dialog = gtk_file_chooser_dialog_new(
      "选择安装目录", GTK_WINDOW(installer_window.window), GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, "gtk-cancel",
      GTK_RESPONSE_CANCEL, "gtk-open", GTK_RESPONSE_ACCEPT, nullptr);
  if (run_dialog(dialog) == GTK_RESPONSE_ACCEPT) {
    gchar* folder = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    if (folder) {
      set_location_text(folder);   // the folder's own name, whatever bytes it holds
      g_free(folder);
    }
  }
  gtk_widget_destroy(dialog);
}

static void on_action_clicked(GtkWidget*, gpointer) {
  if (update_mode) return;
  if (run_mode == "uninstall")
    run_uninstall();
  else
    run_install();
}

static void on_version_changed(GtkWidget* combo, gpointer) {
  release_catalogue.selected = gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
  show_release_notes();
}

static void on_cancel_clicked(GtkWidget*, gpointer) { quit_main_loop(); }

static void on_destroy(GtkWidget*, gpointer) {
  installer_window = InstallerWindow();
  quit_main_loop();
}

static void pack(GtkWidget* box, GtkWidget* child, bool expand, bool fill) {
  gtk_box_pack_start(GTK_BOX(box), child, expand ? TRUE : FALSE, fill ? TRUE : FALSE, 0);
}

static GtkWidget* left_label(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_misc_set_alignment(GTK_MISC(label), 0.0f, 0.5f);
  return label;
}

// The title bar, the task list and the window switcher each take the size they show, as on Windows.
static void set_window_icon(GtkWidget* window) {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  if (!loader) return;
  if (gdk_pixbuf_loader_write(loader, app_icon_png, app_icon_png_size, nullptr) &&
      gdk_pixbuf_loader_close(loader, nullptr)) {
    GdkPixbuf* icon = gdk_pixbuf_loader_get_pixbuf(loader);
    GList* icons = nullptr;
    for (int size : {16, 24, 32, 48})
      if (GdkPixbuf* small = icon ? gdk_pixbuf_scale_simple(icon, size, size, GDK_INTERP_HYPER) : nullptr)
        icons = g_list_append(icons, small);
    if (icon) icons = g_list_append(icons, g_object_ref(icon));
    gtk_window_set_icon_list(GTK_WINDOW(window), icons);
    for (GList* i = icons; i; i = i->next) g_object_unref(i->data);
    g_list_free(icons);
  } else {
    gdk_pixbuf_loader_close(loader, nullptr);
  }
  g_object_unref(loader);
}

static const char* description_text() {
  if (update_mode) return "正在安装已下载的更新包，请不要关闭窗口。用户配置和授权信息会自动保留。";
  if (run_mode == "online") return "选择一个可用版本，安装器会自动下载并安装绿色版程序。";
  if (run_mode == "uninstall") return "将移除当前安装目录和快捷方式。";
  if (!install_options.package_path.empty()) return "将使用已下载的更新包覆盖安装绿色版程序。";
  return "离线安装器已包含绿色版程序包。";
}

static GtkWidget* build_version_rows(GtkWidget* column) {
  InstallerWindow& w = installer_window;
  GtkWidget* row = gtk_hbox_new(FALSE, 8);
  pack(row, gtk_label_new("版本："), false, false);
  w.version_combo = gtk_combo_box_new_text();
  pack(row, w.version_combo, true, true);
  pack(column, row, false, false);
  g_signal_connect(w.version_combo, "changed", G_CALLBACK(on_version_changed), nullptr);
  pack(column, left_label("版本说明："), false, false);
  GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
  gtk_widget_set_size_request(scrolled, -1, 110);
  GtkWidget* view = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_cursor_visible(GTK_TEXT_VIEW(view), FALSE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(view), GTK_WRAP_WORD_CHAR);
  w.notes_buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
  gtk_text_buffer_set_text(w.notes_buffer, "正在读取版本说明...", -1);
  gtk_container_add(GTK_CONTAINER(scrolled), view);
  pack(column, scrolled, true, true);
  return view;
}

static GtkWidget* check_button(const char* text, bool active) {
  GtkWidget* check = gtk_check_button_new_with_label(text);
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), active ? TRUE : FALSE);
  return check;
}

static void build_location_rows(GtkWidget* column) {
  InstallerWindow& w = installer_window;
  GtkWidget* row = gtk_hbox_new(FALSE, 8);
  pack(row, gtk_label_new("安装位置："), false, false);
  w.location_entry = gtk_entry_new();
  pack(row, w.location_entry, true, true);
  set_location_text(install_options.install_dir);
  w.browse_button = gtk_button_new_with_label("浏览");
  pack(row, w.browse_button, false, false);
  pack(column, row, false, false);
  g_signal_connect(w.browse_button, "clicked", G_CALLBACK(on_browse_clicked), nullptr);
  w.desktop_check = check_button("创建桌面快捷方式", install_options.desktop_shortcut);
  w.start_menu_check = check_button("创建开始菜单快捷方式", install_options.start_menu_shortcut);
  w.launch_check = check_button("安装完成后启动 Morvell", install_options.launch_after_install);
  for (GtkWidget* check : {w.desktop_check, w.start_menu_check, w.launch_check}) pack(column, check, false, false);
}

void build_installer_window() {
  InstallerWindow& w = installer_window;
  w.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(w.window), update_mode ? "Morvell 更新器" : "Morvell 安装器");
  gtk_window_set_default_size(GTK_WINDOW(w.window), 640, 520);
  gtk_container_set_border_width(GTK_CONTAINER(w.window), 18);
  set_window_icon(w.window);
  g_signal_connect(w.window, "delete-event", G_CALLBACK(on_delete_event), nullptr);
  g_signal_connect(w.window, "destroy", G_CALLBACK(on_destroy), nullptr);

  GtkWidget* column = gtk_vbox_new(FALSE, 12);
  gtk_container_add(GTK_CONTAINER(w.window), column);

  w.title_label = left_label("");
  const char* title = update_mode ? "更新 Morvell" : run_mode == "uninstall" ? "卸载 Morvell" : "安装 Morvell";
  gchar* markup = g_strdup_printf("<span size=\"x-large\" weight=\"bold\">%s</span>", title);
  gtk_label_set_markup(GTK_LABEL(w.title_label), markup);
  g_free(markup);
  pack(column, w.title_label, false, false);

  w.description_label = left_label(description_text());
  gtk_label_set_line_wrap(GTK_LABEL(w.description_label), TRUE);
  pack(column, w.description_label, false, false);

  GtkWidget* notes_view = run_mode == "online" ? build_version_rows(column) : nullptr;
  if (run_mode != "uninstall" && !update_mode) build_location_rows(column);

  w.progress_bar = gtk_progress_bar_new();
  gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(w.progress_bar), 0.04);
  pack(column, w.progress_bar, false, false);

  const char* status = update_mode ? "准备更新..." : run_mode == "online" ? "正在读取版本列表..." : "准备就绪。";
  w.status_label = left_label(status);
  gtk_label_set_line_wrap(GTK_LABEL(w.status_label), TRUE);
  pack(column, w.status_label, true, true);

  GtkWidget* buttons = gtk_hbutton_box_new();
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(buttons), 8);
  w.cancel_button = gtk_button_new_with_label("取消");
  w.action_button =
      gtk_button_new_with_label(run_mode == "uninstall" ? "卸载" : update_mode ? "更新" : "安装");
  pack(buttons, w.cancel_button, false, false);
  pack(buttons, w.action_button, false, false);
  pack(column, buttons, false, false);
  g_signal_connect(w.action_button, "clicked", G_CALLBACK(on_action_clicked), nullptr);
  g_signal_connect(w.cancel_button, "clicked", G_CALLBACK(on_cancel_clicked), nullptr);

  if (update_mode) {
    gtk_widget_set_sensitive(w.action_button, FALSE);
    gtk_widget_set_sensitive(w.cancel_button, FALSE);
  }
  set_up_keyboard(notes_view);
  gtk_widget_show_all(w.window);
}

static gboolean update_idle(gpointer) { return run_update() ? TRUE : FALSE; }
static gboolean manifest_idle(gpointer) { return fill_version_list() ? TRUE : FALSE; }

void install_mode_idle_callback() {
  if (update_mode)
    g_idle_add(update_idle, nullptr);
  else if (run_mode == "online")
    g_idle_add(manifest_idle, nullptr);
}

void run_main_loop() {
  main_loop_running = true;
  gtk_main();
  main_loop_running = false;
}
