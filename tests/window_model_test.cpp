// The window model, without any toolkit: the rows of each run mode, their controls, first states
// and sensitivity, what takes spare room, and what the main button and the idle job run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/window_model.h"

namespace {

const char* const kRoleNames[kControlRoleCount] = {
    "title",   "description", "version-label", "versions",   "notes-label", "notes",  "location-label", "location",
    "browse",  "desktop",     "start-menu",    "launch",     "progress",    "status", "cancel",         "action"};

std::string name_of(ControlRole role) { return kRoleNames[static_cast<int>(role)]; }

// The roles of every control, row by row ("|" between rows).
std::string outline(const WindowModel& model) {
  std::string out;
  for (const RowModel& row : model.rows) {
    if (!out.empty()) out += " | ";
    for (size_t i = 0; i < row.controls.size(); ++i) out += (i ? " " : "") + name_of(row.controls[i].role);
  }
  return out;
}

std::vector<bool> expanding_rows(const WindowModel& model) {
  std::vector<bool> out;
  for (const RowModel& row : model.rows) out.push_back(row.expand);
  return out;
}

InstallOptions options(const std::string& package = "") {
  InstallOptions o;
  o.install_dir = "/opt/Morvell";
  o.package_path = package;
  return o;
}

}  // namespace

TEST(WindowModel, MetricsAndTitles) {
  for (RunMode mode : {RunMode::Online, RunMode::Offline, RunMode::Uninstall, RunMode::Update}) {
    const WindowModel model = window_model_for(mode, options());
    EXPECT_EQ(model.width, 640);
    EXPECT_EQ(model.height, 520);
    EXPECT_EQ(model.border, 18);
    EXPECT_EQ(model.row_spacing, 12);
    EXPECT_EQ(model.inner_spacing, 8);
    EXPECT_DOUBLE_EQ(model.pulse_step, 0.04);
    EXPECT_EQ(model.title, mode == RunMode::Update ? "Morvell 更新器" : "Morvell 安装器");
    EXPECT_EQ(model.folder_dialog_title, "选择安装目录");
    // Every role stands at most once, in the roles' order.
    int last = -1;
    for (const RowModel& row : model.rows)
      for (const ControlModel& control : row.controls) {
        EXPECT_GT(static_cast<int>(control.role), last);
        last = static_cast<int>(control.role);
      }
  }
}

TEST(WindowModel, OnlineRows) {
  const WindowModel model = window_model_for(RunMode::Online, options());
  EXPECT_EQ(outline(model),
            "title | description | version-label versions | notes-label | notes | location-label location browse | "
            "desktop | start-menu | launch | progress | status | cancel action");
  EXPECT_EQ(expanding_rows(model),
            (std::vector<bool>{false, false, false, false, true, false, false, false, false, false, true, false}));
  EXPECT_EQ(model.rows[4].min_height, 110);
  EXPECT_EQ(model.find(ControlRole::Notes)->text, "正在读取版本说明...");
  EXPECT_EQ(model.find(ControlRole::Status)->text, "正在读取版本列表...");
  EXPECT_EQ(model.find(ControlRole::Location)->text, "/opt/Morvell");
  EXPECT_TRUE(model.find(ControlRole::Versions)->expand);
  EXPECT_TRUE(model.find(ControlRole::Location)->expand);
  EXPECT_FALSE(model.find(ControlRole::Browse)->expand);
  EXPECT_EQ(model.action, MainAction::Install);
  EXPECT_EQ(model.idle, IdleJob::FillVersionList);
  // Switched off while a flow runs: the buttons, the version list and the location.
  std::vector<std::string> off;
  for (const RowModel& row : model.rows)
    for (const ControlModel& control : row.controls)
      if (control.off_while_busy) off.push_back(name_of(control.role));
  EXPECT_EQ(off, (std::vector<std::string>{"versions", "location", "cancel", "action"}));
  EXPECT_TRUE(model.find(ControlRole::Action)->is_default);
  EXPECT_FALSE(model.find(ControlRole::Cancel)->is_default);
}

TEST(WindowModel, OfflineChoicesAndDescription) {
  InstallOptions o = options();
  o.desktop_shortcut = false;
  o.launch_after_install = false;
  WindowModel model = window_model_for(RunMode::Offline, o);
  EXPECT_EQ(outline(model), "title | description | location-label location browse | desktop | start-menu | launch | "
                            "progress | status | cancel action");
  EXPECT_EQ(model.find(ControlRole::Description)->text, "离线安装器已包含绿色版程序包。");
  EXPECT_FALSE(model.find(ControlRole::DesktopShortcut)->checked);
  EXPECT_TRUE(model.find(ControlRole::StartMenuShortcut)->checked);
  EXPECT_FALSE(model.find(ControlRole::Launch)->checked);
  EXPECT_EQ(model.find(ControlRole::Status)->text, "准备就绪。");
  EXPECT_EQ(model.find(ControlRole::Action)->text, "安装");
  EXPECT_EQ(model.idle, IdleJob::None);
  model = window_model_for(RunMode::Offline, options("/tmp/Morvell-6.1.17.zip"));
  EXPECT_EQ(model.find(ControlRole::Description)->text, "将使用已下载的更新包覆盖安装绿色版程序。");
}

TEST(WindowModel, UninstallAndUpdate) {
  WindowModel model = window_model_for(RunMode::Uninstall, options());
  EXPECT_EQ(outline(model), "title | description | progress | status | cancel action");
  EXPECT_EQ(model.find(ControlRole::Title)->text, "卸载 Morvell");
  EXPECT_EQ(model.find(ControlRole::Action)->text, "卸载");
  EXPECT_EQ(model.find(ControlRole::Location), nullptr);
  EXPECT_TRUE(model.find(ControlRole::Action)->sensitive);
  EXPECT_EQ(model.action, MainAction::Uninstall);
  EXPECT_EQ(model.idle, IdleJob::None);

  model = window_model_for(RunMode::Update, options("/tmp/update.zip"));
  EXPECT_EQ(outline(model), "title | description | progress | status | cancel action");
  EXPECT_EQ(model.find(ControlRole::Title)->text, "更新 Morvell");
  EXPECT_EQ(model.find(ControlRole::Description)->text,
            "正在安装已下载的更新包，请不要关闭窗口。用户配置和授权信息会自动保留。");
  EXPECT_EQ(model.find(ControlRole::Status)->text, "准备更新...");
  EXPECT_EQ(model.find(ControlRole::Action)->text, "更新");
  // Both buttons rest from the start; the update runs by itself.
  EXPECT_FALSE(model.find(ControlRole::Action)->sensitive);
  EXPECT_FALSE(model.find(ControlRole::Cancel)->sensitive);
  EXPECT_EQ(model.action, MainAction::None);
  EXPECT_EQ(model.idle, IdleJob::RunUpdate);
}

TEST(WindowModel, RunModeNamesInTheLog) {
  EXPECT_STREQ(run_mode_name(RunMode::Online), "online");
  EXPECT_STREQ(run_mode_name(RunMode::Offline), "offline");
  EXPECT_STREQ(run_mode_name(RunMode::Uninstall), "uninstall");
  EXPECT_STREQ(run_mode_name(RunMode::Update), "offline");   // with 更新：是 beside it
}
