// The installer window, built in-process on the test display in each run mode and read back
// through GTK: texts, widgets, packing, sensitivity, and the helpers that keep it live.
#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/installer_window_gtk.h"
#include "app/ui.h"
#include "app/window.h"
#include "common/state.h"
#include "support/helpers.h"

namespace {

bool toolkit_started() {
  static int started = -1;
  if (started < 0) {
    int argc = 1;
    char name[] = "test_window";
    char* args[] = {name, nullptr};
    char** argv = args;
    started = std::getenv("DISPLAY") && gtk_init_check(&argc, &argv) ? 1 : 0;
  }
  return started == 1;
}

#define NEED_DISPLAY()                                                                      \
  if (!toolkit_started()) GTEST_SKIP() << "no display: run the window tests under xvfb-run -a"

void drain() {
  while (gtk_events_pending()) gtk_main_iteration();
}

// Builds the window for a mode from a fresh process state.
void build(RunMode mode, const std::string& dir = "/opt/Morvell", const std::string& package = "") {
  run_mode = mode;
  install_options = InstallOptions();
  install_options.install_dir = dir;
  install_options.package_path = package;
  release_catalogue = ReleaseCatalogue();
  busy = false;
  exit_code = 0;
  build_installer_window();
  drain();
}

void destroy_window() {
  if (installer_window.window) gtk_widget_destroy(installer_window.window);
  drain();
  busy = false;
  run_mode = RunMode::Online;
}

struct Visit {
  std::vector<std::string> labels;
  std::vector<std::string> types;
};

void walk(GtkWidget* widget, Visit& visit) {
  visit.types.push_back(G_OBJECT_TYPE_NAME(widget));
  if (GTK_IS_LABEL(widget)) visit.labels.push_back(gtk_label_get_text(GTK_LABEL(widget)));
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* c = children; c; c = c->next) walk(GTK_WIDGET(c->data), visit);
    g_list_free(children);
  }
}

Visit visit_window() {
  Visit visit;
  walk(installer_window.window, visit);
  return visit;
}

std::vector<GtkWidget*> children_of(GtkWidget* container) {
  std::vector<GtkWidget*> out;
  GList* children = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList* c = children; c; c = c->next) out.push_back(GTK_WIDGET(c->data));
  g_list_free(children);
  return out;
}

// "type expand fill" of every child of the main column, in order.
std::vector<std::string> column_packing() {
  std::vector<std::string> out;
  GtkWidget* column = gtk_bin_get_child(GTK_BIN(installer_window.window));
  for (GtkWidget* child : children_of(column)) {
    gboolean expand = FALSE, fill = FALSE;
    guint padding = 99;
    GtkPackType pack = GTK_PACK_END;
    gtk_box_query_child_packing(GTK_BOX(column), child, &expand, &fill, &padding, &pack);
    std::string line = G_OBJECT_TYPE_NAME(child);
    line += expand ? " expand" : " -";
    line += fill ? " fill" : " -";
    if (padding != 0 || pack != GTK_PACK_START) line += " odd-packing";
    out.push_back(line);
  }
  return out;
}

std::string label_text(GtkWidget* label) { return label ? gtk_label_get_text(GTK_LABEL(label)) : "(none)"; }
std::string button_text(GtkWidget* button) { return label_text(gtk_bin_get_child(GTK_BIN(button))); }
bool sensitive(GtkWidget* w) { return GTK_WIDGET_SENSITIVE(w); }
bool active(GtkWidget* w) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w)); }
double fraction() { return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(installer_window.progress_bar)); }

std::string notes_text() {
  GtkTextIter start, end;
  gtk_text_buffer_get_bounds(installer_window.notes_buffer, &start, &end);
  gchar* text = gtk_text_buffer_get_text(installer_window.notes_buffer, &start, &end, FALSE);
  std::string out = text;
  g_free(text);
  return out;
}

// Sends the window a close request the way the window system does.
void request_close() {
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(installer_window.window->window));
  event->any.send_event = TRUE;
  gtk_main_do_event(event);
  gdk_event_free(event);
  drain();
}

const std::string kMarkupStart = "<span size=\"x-large\" weight=\"bold\">";

}  // namespace

TEST(InstallerWindow, OnlineMode) {
  NEED_DISPLAY();
  build(RunMode::Online, "/opt/My Apps/Morvell");
  const InstallerWindow& w = installer_window;
  ASSERT_NE(w.window, nullptr);
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w.window)), "Morvell 安装器");
  gint width = 0, height = 0;
  gtk_window_get_default_size(GTK_WINDOW(w.window), &width, &height);
  EXPECT_EQ(width, 640);
  EXPECT_EQ(height, 520);
  EXPECT_EQ(gtk_container_get_border_width(GTK_CONTAINER(w.window)), 18u);
  EXPECT_NE(gtk_window_get_icon(GTK_WINDOW(w.window)), nullptr);
  GtkWidget* column = gtk_bin_get_child(GTK_BIN(w.window));
  ASSERT_TRUE(GTK_IS_VBOX(column));
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(column)), 12);
  EXPECT_FALSE(gtk_box_get_homogeneous(GTK_BOX(column)));

  EXPECT_EQ(gtk_label_get_label(GTK_LABEL(w.title_label)), kMarkupStart + "安装 Morvell</span>");
  std::vector<std::string> labels = {"安装 Morvell", "选择一个可用版本，安装器会自动下载并安装绿色版程序。", "版本：",
                                     "版本说明：", "安装位置：", "浏览", "创建桌面快捷方式", "创建开始菜单快捷方式",
                                     "安装完成后启动 Morvell", "正在读取版本列表...", "取消", "安装"};
  EXPECT_EQ(visit_window().labels, labels);
  std::vector<std::string> packing = {"GtkLabel - -", "GtkLabel - -", "GtkHBox - -", "GtkLabel - -",
                                      "GtkScrolledWindow expand fill", "GtkHBox - -", "GtkCheckButton - -",
                                      "GtkCheckButton - -", "GtkCheckButton - -", "GtkProgressBar - -",
                                      "GtkLabel expand fill", "GtkHButtonBox - -"};
  EXPECT_EQ(column_packing(), packing);

  ASSERT_NE(w.version_combo, nullptr);
  EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(w.version_combo)), -1);
  ASSERT_NE(w.notes_buffer, nullptr);
  EXPECT_EQ(notes_text(), "正在读取版本说明...");
  GtkWidget* scrolled = children_of(column)[4];
  GtkPolicyType h = GTK_POLICY_NEVER, v = GTK_POLICY_NEVER;
  gtk_scrolled_window_get_policy(GTK_SCROLLED_WINDOW(scrolled), &h, &v);
  EXPECT_EQ(h, GTK_POLICY_AUTOMATIC);
  EXPECT_EQ(v, GTK_POLICY_AUTOMATIC);
  gint rw = 0, rh = 0;
  gtk_widget_get_size_request(scrolled, &rw, &rh);
  EXPECT_EQ(rw, -1);
  EXPECT_EQ(rh, 110);
  GtkWidget* view = gtk_bin_get_child(GTK_BIN(scrolled));
  ASSERT_TRUE(GTK_IS_TEXT_VIEW(view));
  EXPECT_FALSE(gtk_text_view_get_editable(GTK_TEXT_VIEW(view)));
  EXPECT_FALSE(gtk_text_view_get_cursor_visible(GTK_TEXT_VIEW(view)));
  EXPECT_EQ(gtk_text_view_get_wrap_mode(GTK_TEXT_VIEW(view)), GTK_WRAP_WORD_CHAR);
  EXPECT_EQ(gtk_text_view_get_buffer(GTK_TEXT_VIEW(view)), w.notes_buffer);

  // The version row: label then the combo that takes the width.
  std::vector<GtkWidget*> version_row = children_of(children_of(column)[2]);
  ASSERT_EQ(version_row.size(), 2u);
  EXPECT_EQ(version_row[1], w.version_combo);
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(children_of(column)[2])), 8);
  // The location row: label, entry (expanding), Browse.
  GtkWidget* location_row = children_of(column)[5];
  std::vector<GtkWidget*> location = children_of(location_row);
  ASSERT_EQ(location.size(), 3u);
  EXPECT_EQ(location[1], w.location_entry);
  EXPECT_EQ(location[2], w.browse_button);
  gboolean expand = FALSE, fill = FALSE;
  gtk_box_query_child_packing(GTK_BOX(location_row), w.location_entry, &expand, &fill, nullptr, nullptr);
  EXPECT_TRUE(expand && fill);
  gtk_box_query_child_packing(GTK_BOX(location_row), w.browse_button, &expand, &fill, nullptr, nullptr);
  EXPECT_FALSE(expand || fill);
  EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.location_entry)), "/opt/My Apps/Morvell");

  EXPECT_TRUE(active(w.desktop_check));
  EXPECT_TRUE(active(w.start_menu_check));
  EXPECT_TRUE(active(w.launch_check));
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_pulse_step(GTK_PROGRESS_BAR(w.progress_bar)), 0.04);
  EXPECT_DOUBLE_EQ(fraction(), 0.0);

  // Buttons: Cancel then the action button, at the end of the row.
  GtkWidget* buttons = children_of(column).back();
  EXPECT_EQ(gtk_button_box_get_layout(GTK_BUTTON_BOX(buttons)), GTK_BUTTONBOX_END);
  EXPECT_EQ(gtk_box_get_spacing(GTK_BOX(buttons)), 8);
  std::vector<GtkWidget*> order = children_of(buttons);
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0], w.cancel_button);
  EXPECT_EQ(order[1], w.action_button);
  EXPECT_EQ(button_text(w.action_button), "安装");
  EXPECT_TRUE(sensitive(w.action_button));
  EXPECT_TRUE(sensitive(w.cancel_button));
  EXPECT_TRUE(GTK_WIDGET_VISIBLE(w.window));
  destroy_window();
  EXPECT_EQ(installer_window.window, nullptr);
  EXPECT_EQ(installer_window.status_label, nullptr);
}

TEST(InstallerWindow, OfflineMode) {
  NEED_DISPLAY();
  build(RunMode::Offline);
  const InstallerWindow& w = installer_window;
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w.window)), "Morvell 安装器");
  std::vector<std::string> labels = {"安装 Morvell", "离线安装器已包含绿色版程序包。", "安装位置：", "浏览",
                                     "创建桌面快捷方式", "创建开始菜单快捷方式", "安装完成后启动 Morvell",
                                     "准备就绪。", "取消", "安装"};
  EXPECT_EQ(visit_window().labels, labels);
  std::vector<std::string> packing = {"GtkLabel - -", "GtkLabel - -", "GtkHBox - -", "GtkCheckButton - -",
                                      "GtkCheckButton - -", "GtkCheckButton - -", "GtkProgressBar - -",
                                      "GtkLabel expand fill", "GtkHButtonBox - -"};
  EXPECT_EQ(column_packing(), packing);
  EXPECT_EQ(w.version_combo, nullptr);
  EXPECT_EQ(w.notes_buffer, nullptr);
  ASSERT_NE(w.location_entry, nullptr);
  destroy_window();

  // With --package the description speaks of the downloaded package.
  build(RunMode::Offline, "/opt/Morvell", "/tmp/Morvell-6.1.17.zip");
  EXPECT_EQ(label_text(installer_window.description_label), "将使用已下载的更新包覆盖安装绿色版程序。");
  EXPECT_EQ(button_text(installer_window.action_button), "安装");
  destroy_window();
}

TEST(InstallerWindow, UninstallMode) {
  NEED_DISPLAY();
  build(RunMode::Uninstall);
  const InstallerWindow& w = installer_window;
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w.window)), "Morvell 安装器");
  EXPECT_EQ(gtk_label_get_label(GTK_LABEL(w.title_label)), kMarkupStart + "卸载 Morvell</span>");
  std::vector<std::string> labels = {"卸载 Morvell", "将移除当前安装目录和快捷方式。", "准备就绪。", "取消", "卸载"};
  EXPECT_EQ(visit_window().labels, labels);
  std::vector<std::string> packing = {"GtkLabel - -", "GtkLabel - -", "GtkProgressBar - -", "GtkLabel expand fill",
                                      "GtkHButtonBox - -"};
  EXPECT_EQ(column_packing(), packing);
  for (GtkWidget* none : {w.version_combo, w.location_entry, w.browse_button, w.desktop_check, w.start_menu_check,
                          w.launch_check})
    EXPECT_EQ(none, nullptr);
  EXPECT_EQ(w.notes_buffer, nullptr);
  EXPECT_TRUE(sensitive(w.action_button));
  EXPECT_TRUE(sensitive(w.cancel_button));
  // The window fields read as empty when their widgets do not exist.
  EXPECT_EQ(location_text(), "");
  EXPECT_FALSE(desktop_checked());
  set_location_text("/x");
  add_version_line("1.0");
  set_release_notes_text("notes");
  destroy_window();
}

TEST(InstallerWindow, UpdateMode) {
  NEED_DISPLAY();
  build(RunMode::Update, "/opt/Morvell", "/tmp/update.zip");
  const InstallerWindow& w = installer_window;
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w.window)), "Morvell 更新器");
  EXPECT_EQ(gtk_label_get_label(GTK_LABEL(w.title_label)), kMarkupStart + "更新 Morvell</span>");
  std::vector<std::string> labels = {"更新 Morvell",
                                     "正在安装已下载的更新包，请不要关闭窗口。用户配置和授权信息会自动保留。",
                                     "准备更新...", "取消", "更新"};
  EXPECT_EQ(visit_window().labels, labels);
  EXPECT_EQ(w.location_entry, nullptr);
  EXPECT_EQ(w.desktop_check, nullptr);
  EXPECT_EQ(w.version_combo, nullptr);
  // Both buttons are insensitive from the start.
  EXPECT_FALSE(sensitive(w.action_button));
  EXPECT_FALSE(sensitive(w.cancel_button));

  // The action button does nothing in update mode, even when sensitive.
  set_busy(true);
  set_busy(false);
  EXPECT_TRUE(sensitive(w.action_button));
  gtk_button_clicked(GTK_BUTTON(w.action_button));
  drain();
  EXPECT_FALSE(busy);
  EXPECT_EQ(label_text(w.status_label), "准备更新...");
  EXPECT_NE(installer_window.window, nullptr);

  // While the update run is busy the window refuses to close.
  set_busy(true);
  request_close();
  ASSERT_NE(installer_window.window, nullptr);
  EXPECT_TRUE(GTK_WIDGET_VISIBLE(installer_window.window));
  set_busy(false);
  request_close();
  EXPECT_EQ(installer_window.window, nullptr);   // closed: destroyed and forgotten
  destroy_window();
}

TEST(InstallerWindow, ChoicesFromCommandLine) {
  NEED_DISPLAY();
  run_mode = RunMode::Offline;
  install_options = InstallOptions();
  install_options.launch_after_install = false;
  build_installer_window();
  drain();
  const InstallerWindow& w = installer_window;
  EXPECT_TRUE(active(w.desktop_check));
  EXPECT_TRUE(active(w.start_menu_check));
  EXPECT_FALSE(active(w.launch_check));
  EXPECT_FALSE(launch_checked());
  EXPECT_TRUE(desktop_checked());
  // The user may tick it again.
  gtk_button_clicked(GTK_BUTTON(w.launch_check));
  EXPECT_TRUE(launch_checked());
  destroy_window();

  install_options = InstallOptions();
  install_options.desktop_shortcut = false;
  install_options.start_menu_shortcut = false;
  build_installer_window();
  drain();
  EXPECT_FALSE(desktop_checked());
  EXPECT_FALSE(start_menu_checked());
  EXPECT_TRUE(launch_checked());
  destroy_window();
}

TEST(InstallerWindow, BusyState) {
  NEED_DISPLAY();
  build(RunMode::Online);
  const InstallerWindow& w = installer_window;
  set_busy(true);
  EXPECT_TRUE(busy);
  EXPECT_FALSE(sensitive(w.action_button));
  EXPECT_FALSE(sensitive(w.cancel_button));
  EXPECT_FALSE(sensitive(w.version_combo));
  EXPECT_FALSE(sensitive(w.location_entry));
  EXPECT_TRUE(sensitive(w.browse_button));
  EXPECT_TRUE(sensitive(w.desktop_check));
  EXPECT_TRUE(sensitive(w.start_menu_check));
  EXPECT_TRUE(sensitive(w.launch_check));
  EXPECT_DOUBLE_EQ(fraction(), 0.02);
  request_close();
  ASSERT_NE(installer_window.window, nullptr);
  set_busy(false);
  EXPECT_FALSE(busy);
  EXPECT_TRUE(sensitive(w.action_button));
  EXPECT_TRUE(sensitive(w.cancel_button));
  EXPECT_TRUE(sensitive(w.version_combo));
  EXPECT_TRUE(sensitive(w.location_entry));
  EXPECT_DOUBLE_EQ(fraction(), 0.0);
  request_close();
  EXPECT_EQ(installer_window.window, nullptr);
  // The helpers are safe once the window is gone.
  set_status(L"after");
  set_progress(L"after", 0.5);
  pulse_progress(L"after");
  set_busy(true);
  set_busy(false);
  EXPECT_EQ(location_text(), "");
}

TEST(InstallerWindow, StatusAndProgressHelpers) {
  NEED_DISPLAY();
  build(RunMode::Offline);
  const InstallerWindow& w = installer_window;
  set_progress(L"正在复制 50%", -0.5);
  EXPECT_DOUBLE_EQ(fraction(), 0.0);
  EXPECT_EQ(label_text(w.status_label), "正在复制 50%");
  set_progress(L"", 1.7);
  EXPECT_DOUBLE_EQ(fraction(), 1.0);
  EXPECT_EQ(label_text(w.status_label), "正在复制 50%");   // empty text leaves the label
  set_progress(L"", 0.25);
  EXPECT_DOUBLE_EQ(fraction(), 0.25);

  uint64_t pulses = ui_trace.pulses;
  pulse_progress(L"");
  EXPECT_EQ(label_text(w.status_label), "正在复制 50%");
  EXPECT_EQ(ui_trace.pulses, pulses + 1);
  pulse_progress(L"正在等待程序退出...");
  EXPECT_EQ(label_text(w.status_label), "正在等待程序退出...");

  set_status(L"");
  EXPECT_EQ(label_text(w.status_label), "");
  set_status(L"完成 100% %s %d");
  EXPECT_EQ(label_text(w.status_label), "完成 100% %s %d");
  destroy_window();

  // Without a window every helper only records what it would have shown.
  set_status(L"no window");
  EXPECT_EQ(ui_trace.last_status, L"no window");
  set_progress(L"", 2.0);
  EXPECT_DOUBLE_EQ(ui_trace.last_fraction, 1.0);
  pulse_progress(L"");
  EXPECT_EQ(ui_trace.last_status, L"no window");
}

namespace {

// Finds the first shown toplevel of a type other than the installer window.
GtkWidget* find_toplevel(GType type) {
  GtkWidget* found = nullptr;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* t = toplevels; t; t = t->next)
    if (G_TYPE_CHECK_INSTANCE_TYPE(t->data, type) && GTK_WIDGET_VISIBLE(t->data)) found = GTK_WIDGET(t->data);
  g_list_free(toplevels);
  return found;
}

struct DialogSeen {
  std::string text;
  int type = -1;
  bool modal = false;
  bool parented = false;
  int position = -1;
  int polls = 0;
};

gboolean answer_message_dialog(gpointer data) {
  DialogSeen* seen = static_cast<DialogSeen*>(data);
  GtkWidget* dialog = find_toplevel(GTK_TYPE_MESSAGE_DIALOG);
  if (!dialog) return ++seen->polls < 200 ? TRUE : FALSE;
  gchar* text = nullptr;
  GtkMessageType type = GTK_MESSAGE_OTHER;
  g_object_get(dialog, "text", &text, "message-type", &type, nullptr);
  seen->text = text ? text : "";
  g_free(text);
  seen->type = type;
  seen->modal = gtk_window_get_modal(GTK_WINDOW(dialog));
  seen->parented = gtk_window_get_transient_for(GTK_WINDOW(dialog)) == GTK_WINDOW(installer_window.window);
  g_object_get(dialog, "window-position", &seen->position, nullptr);
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  return FALSE;
}

struct ChooserPlan {
  bool accept = false;
  std::string folder;
  std::string title;
  int action = -1;
  int position = -1;
  int polls = 0;
  int settle = 0;
};

gboolean answer_chooser(gpointer data) {
  ChooserPlan* plan = static_cast<ChooserPlan*>(data);
  GtkWidget* dialog = find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG);
  if (!dialog) return ++plan->polls < 200 ? TRUE : FALSE;
  plan->title = gtk_window_get_title(GTK_WINDOW(dialog));
  plan->action = gtk_file_chooser_get_action(GTK_FILE_CHOOSER(dialog));
  g_object_get(dialog, "window-position", &plan->position, nullptr);
  if (plan->accept && plan->settle == 0) {
    // The chooser loads folders in the background: point it at the folder, answer later.
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), plan->folder.c_str());
    plan->settle = 1;
    return TRUE;
  }
  if (plan->accept && plan->settle < 10) {
    gchar* chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    bool ready = chosen && plan->folder == chosen;
    g_free(chosen);
    if (!ready) {
      ++plan->settle;
      return TRUE;
    }
  }
  gtk_dialog_response(GTK_DIALOG(dialog), plan->accept ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
  return FALSE;
}

// Presses the Browse button and lets `plan` answer the folder chooser.
void browse(ChooserPlan& plan) {
  g_timeout_add(20, answer_chooser, &plan);
  gtk_button_clicked(GTK_BUTTON(installer_window.browse_button));
  drain();
}

}  // namespace

TEST(InstallerWindow, MessageDialog) {
  NEED_DISPLAY();
  build(RunMode::Offline);
  DialogSeen seen;
  g_timeout_add(20, answer_message_dialog, &seen);
  show_message_dialog(MessageType::Error, "无法写入 100% 的文件 %s %n");
  EXPECT_EQ(seen.text, "无法写入 100% 的文件 %s %n");
  EXPECT_EQ(seen.type, GTK_MESSAGE_ERROR);
  EXPECT_TRUE(seen.modal);
  EXPECT_TRUE(seen.parented);
  EXPECT_EQ(seen.position, GTK_WIN_POS_CENTER_ON_PARENT);
  EXPECT_EQ(find_toplevel(GTK_TYPE_MESSAGE_DIALOG), nullptr);   // destroyed after OK

  DialogSeen info;
  g_timeout_add(20, answer_message_dialog, &info);
  show_message_dialog(MessageType::Info, "Morvell 安装完成");
  EXPECT_EQ(info.text, "Morvell 安装完成");
  EXPECT_EQ(info.type, GTK_MESSAGE_INFO);
  destroy_window();
}

TEST(InstallerWindow, FolderChooser) {
  NEED_DISPLAY();
  testing_support::TempDir dir;
  std::string folder = dir / "目标 folder";
  ASSERT_EQ(testing_support::run_shell("mkdir -p '" + folder + "'"), 0);
  build(RunMode::Offline, "/opt/Morvell");

  ChooserPlan cancel;
  browse(cancel);
  EXPECT_EQ(cancel.title, "选择安装目录");
  EXPECT_EQ(cancel.action, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER);
  EXPECT_EQ(cancel.position, GTK_WIN_POS_CENTER_ON_PARENT);
  EXPECT_EQ(location_text(), "/opt/Morvell");   // cancelling leaves the entry alone
  EXPECT_EQ(find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG), nullptr);

  ChooserPlan accept;
  accept.accept = true;
  accept.folder = folder;
  browse(accept);
  EXPECT_EQ(location_text(), folder);
  EXPECT_EQ(find_toplevel(GTK_TYPE_FILE_CHOOSER_DIALOG), nullptr);
  destroy_window();
}

namespace {
gboolean press_cancel(gpointer) {
  gtk_button_clicked(GTK_BUTTON(installer_window.cancel_button));
  return FALSE;
}
gboolean give_up(gpointer data) {
  *static_cast<bool*>(data) = true;
  gtk_main_quit();
  return FALSE;
}
}  // namespace

TEST(InstallerWindow, CancelEndsMainLoop) {
  NEED_DISPLAY();
  build(RunMode::Offline);
  bool gave_up = false;
  g_timeout_add(50, press_cancel, nullptr);
  guint guard = g_timeout_add(10000, give_up, &gave_up);
  run_main_loop();
  EXPECT_FALSE(gave_up);
  if (!gave_up) g_source_remove(guard);
  ASSERT_NE(installer_window.window, nullptr);   // Cancel leaves the window shown
  EXPECT_TRUE(GTK_WIDGET_VISIBLE(installer_window.window));
  EXPECT_EQ(exit_code, 0);

  // Closing the window while not busy ends the loop too.
  gave_up = false;
  g_timeout_add(50, [](gpointer) -> gboolean { request_close(); return FALSE; }, nullptr);
  guard = g_timeout_add(10000, give_up, &gave_up);
  run_main_loop();
  EXPECT_FALSE(gave_up);
  if (!gave_up) g_source_remove(guard);
  EXPECT_EQ(installer_window.window, nullptr);
  destroy_window();
}

namespace {

// A key press as the window system delivers it to the window, for its focused control.
void send_key(guint keyval) {
  GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
  event->key.window = GDK_WINDOW(g_object_ref(installer_window.window->window));
  event->key.send_event = TRUE;
  event->key.time = GDK_CURRENT_TIME;
  event->key.keyval = keyval;
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  if (gdk_keymap_get_entries_for_keyval(nullptr, keyval, &keys, &count) && count > 0) {
    event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
    g_free(keys);
  }
  gtk_main_do_event(event);
  gdk_event_free(event);
  drain();
}

GtkWidget* focused() { return gtk_window_get_focus(GTK_WINDOW(installer_window.window)); }

void count_click(GtkWidget*, gpointer count) { ++*static_cast<int*>(count); }

}  // namespace

TEST(InstallerWindow, KeyboardFocusAndIcons) {
  NEED_DISPLAY();
  build(RunMode::Online, "/nonexistent/Morvell");
  const InstallerWindow& w = installer_window;
  int position = -1;
  g_object_get(w.window, "window-position", &position, nullptr);
  EXPECT_EQ(position, GTK_WIN_POS_CENTER);
  // The title bar, task list and switcher take the size they show.
  std::vector<int> sizes;
  GList* icons = gtk_window_get_icon_list(GTK_WINDOW(w.window));
  for (GList* i = icons; i; i = i->next) sizes.push_back(gdk_pixbuf_get_width(GDK_PIXBUF(i->data)));
  g_list_free(icons);
  EXPECT_EQ(sizes, (std::vector<int>{16, 24, 32, 48, 256}));

  // Enter in the location entry presses the action button, the default: with no version chosen
  // the install driver says so, and the focus is back in the entry after the dialog.
  EXPECT_TRUE(GTK_WIDGET_HAS_DEFAULT(w.action_button));
  gtk_widget_grab_focus(w.location_entry);
  DialogSeen seen;
  g_timeout_add(20, answer_message_dialog, &seen);
  send_key(GDK_Return);
  // A button pressed from the keyboard shows itself pressed for a moment, then clicks.
  while (seen.text.empty() && seen.polls < 200) gtk_main_iteration();
  EXPECT_EQ(seen.text, "请选择要安装的版本。");
  EXPECT_EQ(focused(), w.location_entry);
  // A flow switches the entry off and on again: the focus comes back to it.
  set_busy(true);
  set_busy(false);
  EXPECT_EQ(focused(), w.location_entry);

  // Tab leaves the read-only notes for the next control.
  GtkWidget* notes = gtk_bin_get_child(GTK_BIN(children_of(gtk_bin_get_child(GTK_BIN(w.window)))[4]));
  gtk_widget_grab_focus(notes);
  ASSERT_EQ(focused(), notes);
  send_key(GDK_Tab);
  EXPECT_EQ(focused(), w.location_entry);

  // Escape is Cancel, but not while a flow runs.
  int cancels = 0;
  g_signal_connect(w.cancel_button, "clicked", G_CALLBACK(count_click), &cancels);
  set_busy(true);
  send_key(GDK_Escape);
  EXPECT_EQ(cancels, 0);
  set_busy(false);
  send_key(GDK_Escape);
  EXPECT_EQ(cancels, 1);
  destroy_window();
}
