// Building the installer window for the run mode with native controls, its message handling,
// the main loop and the folder chooser. Long work runs inside the handlers, on this one thread,
// and keeps the window live through pump_events; while busy the window refuses to close.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "app/installer_window_win32.h"
#include "app/ui.h"
#include "app/window.h"
#include "catalogue/manifest.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/install_driver.h"
#include "flows/uninstall.h"
#include "flows/update.h"

namespace {

const wchar_t kWindowClass[] = L"MorvellInstallerWindow";
constexpr UINT kIdleMessage = WM_APP + 1;   // the mode's one idle job, run once the window is shown

std::wstring wide(const char* utf8) { return utf8_to_wide(utf8); }

const char* description_text() {
  if (update_mode) return "正在安装已下载的更新包，请不要关闭窗口。用户配置和授权信息会自动保留。";
  if (run_mode == "online") return "选择一个可用版本，安装器会自动下载并安装绿色版程序。";
  if (run_mode == "uninstall") return "将移除当前安装目录和快捷方式。";
  if (!install_options.package_path.empty()) return "将使用已下载的更新包覆盖安装绿色版程序。";
  return "离线安装器已包含绿色版程序包。";
}

HWND make_control(const wchar_t* cls, const std::wstring& text, DWORD style, int id, DWORD ex_style = 0) {
  return CreateWindowExW(ex_style, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, installer_window.window,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

HWND label(const char* text, int id, DWORD extra = 0) {
  return make_control(L"STATIC", wide(text), SS_LEFT | SS_NOPREFIX | extra, id);
}

HWND button(const char* text, int id, DWORD kind) {
  return make_control(L"BUTTON", wide(text), WS_TABSTOP | kind, id);
}

HWND check_box(const char* text, int id, bool active) {
  HWND check = button(text, id, BS_AUTOCHECKBOX);
  SendMessageW(check, BM_SETCHECK, active ? BST_CHECKED : BST_UNCHECKED, 0);
  return check;
}

void build_version_rows() {
  InstallerWindow& w = installer_window;
  w.version_label = label("版本：", kVersionLabelId);
  w.version_combo = make_control(WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, kVersionComboId);
  w.notes_label = label("版本说明：", kNotesLabelId);
  w.notes_view = make_control(L"EDIT", L"",
                              WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, kNotesId,
                              WS_EX_CLIENTEDGE);
  set_release_notes_text("正在读取版本说明...");
}

void build_location_rows() {
  InstallerWindow& w = installer_window;
  w.location_label = label("安装位置：", kLocationLabelId);
  w.location_entry = make_control(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, kLocationId, WS_EX_CLIENTEDGE);
  set_location_text(install_options.install_dir);
  w.browse_button = button("浏览", kBrowseId, BS_PUSHBUTTON);
  w.desktop_check = check_box("创建桌面快捷方式", kDesktopCheckId, install_options.desktop_shortcut);
  w.start_menu_check = check_box("创建开始菜单快捷方式", kStartMenuCheckId, install_options.start_menu_shortcut);
  w.launch_check = check_box("安装完成后启动 Morvell", kLaunchCheckId, install_options.launch_after_install);
}

// The system's own folder dialog; the older folder browser where that one cannot be had.
bool choose_folder(std::wstring& folder) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool chosen = false, shown = false;
  IFileOpenDialog* dialog = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_IFileOpenDialog,
                                 reinterpret_cast<void**>(&dialog)))) {
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
    dialog->SetTitle(L"选择安装目录");
    const HRESULT answer = dialog->Show(installer_window.window);
    shown = answer == S_OK || answer == HRESULT_FROM_WIN32(ERROR_CANCELLED);
    IShellItem* item = nullptr;
    if (answer == S_OK && SUCCEEDED(dialog->GetResult(&item))) {
      PWSTR path = nullptr;
      if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path) {
        folder = path;
        chosen = true;
        CoTaskMemFree(path);
      }
      item->Release();
    }
    dialog->Release();
  }
  if (!shown) {
    const std::wstring title = L"选择安装目录";
    BROWSEINFOW info = {};
    info.hwndOwner = installer_window.window;
    info.lpszTitle = title.c_str();
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    if (PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info)) {
      wchar_t path[MAX_PATH] = {};
      if (SHGetPathFromIDListW(list, path)) {
        folder = path;
        chosen = true;
      }
      CoTaskMemFree(list);
    }
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

void on_browse_clicked() {
  std::wstring folder;
  bool chosen = false;
  run_modal([&] { chosen = choose_folder(folder); });
  if (chosen) set_location_text(wide_to_utf8(folder));
}

void on_action_clicked() {
  if (update_mode) return;
  if (run_mode == "uninstall")
    run_uninstall();
  else
    run_install();
}

void on_command(int id, int code, HWND from) {
  // A control that is switched off answers nothing, whoever asks it.
  if (from && !IsWindowEnabled(from)) return;
  if (id == kVersionComboId && code == CBN_SELCHANGE) {
    release_catalogue.selected = static_cast<int32_t>(SendMessageW(from, CB_GETCURSEL, 0, 0));
    show_release_notes();
    return;
  }
  if (code != BN_CLICKED) return;
  if (id == IDCANCEL) press_cancel_key();   // Escape, sent by the dialog navigation
  if (id == kActionId) on_action_clicked();
  if (id == kCancelId) quit_main_loop();
  if (id == kBrowseId) on_browse_clicked();
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      on_command(LOWORD(wparam), HIWORD(wparam), reinterpret_cast<HWND>(lparam));
      return 0;
    case WM_CLOSE:
      if (!busy) DestroyWindow(window);   // never while a flow runs under it
      return 0;
    case WM_DESTROY:
      installer_window = InstallerWindow();
      quit_main_loop();
      return 0;
    case WM_TIMER:
      if (wparam == kPulseTimer) rest_pulse();
      return 0;
    case WM_SIZE:
      lay_out_window();
      return 0;
    case WM_CTLCOLORSTATIC:
      // The notes read like a page, not like a switched-off field.
      if (reinterpret_cast<HWND>(lparam) == installer_window.notes_view) {
        SetBkColor(reinterpret_cast<HDC>(wparam), GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case kIdleMessage:
      if (update_mode)
        run_update();
      else if (run_mode == "online")
        fill_version_list();
      return 0;
    default:
      break;
  }
  LRESULT handled = 0;
  if (handle_layout_message(window, message, wparam, lparam, handled)) return handled;
  if (handle_keyboard_message(message, wparam, handled)) return handled;
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

bool init_toolkit(int&, char**&) {
  // There is always a desktop on Windows; a class that cannot be registered is the only failure.
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  WNDCLASSEXW cls = {};
  cls.cbSize = sizeof(cls);
  cls.lpfnWndProc = window_procedure;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = kWindowClass;
  cls.hIcon = LoadIconW(cls.hInstance, MAKEINTRESOURCEW(1));
  return RegisterClassExW(&cls) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

bool window_exists() { return installer_window.window != nullptr; }

void build_installer_window() {
  InstallerWindow& w = installer_window;
  w.window = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, update_mode ? L"Morvell 更新器" : L"Morvell 安装器",
                             WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!w.window) return;
  w.title_label = label(update_mode ? "更新 Morvell" : run_mode == "uninstall" ? "卸载 Morvell" : "安装 Morvell", kTitleId);
  w.description_label = label(description_text(), kDescriptionId);
  if (run_mode == "online") build_version_rows();
  if (run_mode != "uninstall" && !update_mode) build_location_rows();
  w.progress_bar = make_control(PROGRESS_CLASSW, L"", PBS_SMOOTH, kProgressId);
  SendMessageW(w.progress_bar, PBM_SETRANGE32, 0, kProgressRange);
  SendMessageW(w.progress_bar, PBM_SETSTEP, kProgressRange / 25, 0);   // one pulse: 0.04 of the bar
  w.status_label = label(update_mode ? "准备更新..." : run_mode == "online" ? "正在读取版本列表..." : "准备就绪。", kStatusId);
  w.cancel_button = button("取消", kCancelId, BS_PUSHBUTTON);
  w.action_button = button(run_mode == "uninstall" ? "卸载" : update_mode ? "更新" : "安装", kActionId, BS_DEFPUSHBUTTON);
  if (update_mode) {
    EnableWindow(w.action_button, FALSE);
    EnableWindow(w.cancel_button, FALSE);
  }
  set_up_keyboard();
  prepare_window_layout();   // fonts, icon, the designed size for the window's DPI, centred on its screen
  ShowWindow(w.window, SW_SHOWNORMAL);
  UpdateWindow(w.window);
  // The first control that takes input has the focus; an entry's text starts selected.
  if (HWND first = GetNextDlgTabItem(w.window, nullptr, FALSE)) {
    SetFocus(first);
    if (first == w.location_entry) SendMessageW(first, EM_SETSEL, 0, -1);
  }
}

void install_mode_idle_callback() {
  if (installer_window.window && (update_mode || run_mode == "online"))
    PostMessageW(installer_window.window, kIdleMessage, 0, 0);
}

void run_main_loop() {
  main_loop_running = true;
  MSG msg;
  while (!quit_requested && GetMessageW(&msg, nullptr, 0, 0) > 0) dispatch_window_message(msg);
  main_loop_running = false;
}
