// Every text, row and metric of the installer window, for each run mode.
#include "app/window_model.h"

#include <utility>

namespace {

ControlModel control(ControlRole role, ControlKind kind, std::string text) {
  ControlModel made{role, kind, std::move(text)};
  return made;
}

RowModel single(ControlModel only, bool expand = false, int min_height = 0) {
  RowModel row{RowShape::Single, {std::move(only)}};
  row.expand = expand;
  row.min_height = min_height;
  return row;
}

const char* heading_text(RunMode mode) {
  if (mode == RunMode::Update) return "更新 Morvell";
  if (mode == RunMode::Uninstall) return "卸载 Morvell";
  return "安装 Morvell";
}

const char* description_text(RunMode mode, const InstallOptions& options) {
  switch (mode) {
    case RunMode::Update:
      return "正在安装已下载的更新包，请不要关闭窗口。用户配置和授权信息会自动保留。";
    case RunMode::Online:
      return "选择一个可用版本，安装器会自动下载并安装绿色版程序。";
    case RunMode::Uninstall:
      return "将移除当前安装目录和快捷方式。";
    case RunMode::Offline:
      break;
  }
  if (!options.package_path.empty()) return "将使用已下载的更新包覆盖安装绿色版程序。";
  return "离线安装器已包含绿色版程序包。";
}

const char* first_status(RunMode mode) {
  if (mode == RunMode::Update) return "准备更新...";
  if (mode == RunMode::Online) return "正在读取版本列表...";
  return "准备就绪。";
}

const char* action_text(RunMode mode) {
  if (mode == RunMode::Uninstall) return "卸载";
  if (mode == RunMode::Update) return "更新";
  return "安装";
}

// The version list and its notes (online mode).
void add_version_rows(std::vector<RowModel>& rows) {
  ControlModel versions = control(ControlRole::Versions, ControlKind::Choice, "");
  versions.expand = true;
  versions.off_while_busy = true;
  rows.push_back({RowShape::Labelled, {control(ControlRole::VersionLabel, ControlKind::Caption, "版本："), versions}});
  rows.push_back(single(control(ControlRole::NotesLabel, ControlKind::Line, "版本说明：")));
  rows.push_back(single(control(ControlRole::Notes, ControlKind::ReadOnlyText, "正在读取版本说明..."), true, 110));
}

ControlModel check_box(ControlRole role, const char* text, bool checked) {
  ControlModel check = control(role, ControlKind::Check, text);
  check.checked = checked;
  return check;
}

// The location and the three choices (both install modes).
void add_location_rows(std::vector<RowModel>& rows, const InstallOptions& options) {
  ControlModel location = control(ControlRole::Location, ControlKind::Entry, options.install_dir);
  location.expand = true;
  location.off_while_busy = true;
  rows.push_back({RowShape::Labelled,
                  {control(ControlRole::LocationLabel, ControlKind::Caption, "安装位置："), location,
                   control(ControlRole::Browse, ControlKind::Button, "浏览")}});
  rows.push_back(single(check_box(ControlRole::DesktopShortcut, "创建桌面快捷方式", options.desktop_shortcut)));
  rows.push_back(single(check_box(ControlRole::StartMenuShortcut, "创建开始菜单快捷方式", options.start_menu_shortcut)));
  rows.push_back(single(check_box(ControlRole::Launch, "安装完成后启动 Morvell", options.launch_after_install)));
}

// Cancel, then the main button, the default; neither takes input while an update runs.
RowModel button_row(RunMode mode) {
  ControlModel cancel = control(ControlRole::Cancel, ControlKind::Button, "取消");
  ControlModel action = control(ControlRole::Action, ControlKind::Button, action_text(mode));
  action.is_default = true;
  for (ControlModel* button : {&cancel, &action}) {
    button->sensitive = mode != RunMode::Update;
    button->off_while_busy = true;
  }
  return {RowShape::Buttons, {cancel, action}};
}

MainAction main_action(RunMode mode) {
  if (mode == RunMode::Update) return MainAction::None;   // the update runs by itself
  return mode == RunMode::Uninstall ? MainAction::Uninstall : MainAction::Install;
}

IdleJob idle_job(RunMode mode) {
  if (mode == RunMode::Update) return IdleJob::RunUpdate;
  return mode == RunMode::Online ? IdleJob::FillVersionList : IdleJob::None;
}

}  // namespace

const ControlModel* WindowModel::find(ControlRole role) const {
  for (const RowModel& row : rows)
    for (const ControlModel& c : row.controls)
      if (c.role == role) return &c;
  return nullptr;
}

WindowModel window_model_for(RunMode mode, const InstallOptions& options) {
  WindowModel model;
  model.mode = mode;
  model.title = mode == RunMode::Update ? "Morvell 更新器" : "Morvell 安装器";
  model.folder_dialog_title = "选择安装目录";
  model.action = main_action(mode);
  model.idle = idle_job(mode);
  std::vector<RowModel>& rows = model.rows;
  rows.push_back(single(control(ControlRole::Title, ControlKind::Heading, heading_text(mode))));
  rows.push_back(single(control(ControlRole::Description, ControlKind::Wrapped, description_text(mode, options))));
  if (mode == RunMode::Online) add_version_rows(rows);
  if (mode == RunMode::Online || mode == RunMode::Offline) add_location_rows(rows, options);
  rows.push_back(single(control(ControlRole::Progress, ControlKind::ProgressBar, "")));
  rows.push_back(single(control(ControlRole::Status, ControlKind::Wrapped, first_status(mode)), true));
  rows.push_back(button_row(mode));
  return model;
}
