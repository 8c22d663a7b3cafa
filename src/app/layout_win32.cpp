// The installer window's layout on Windows: one column as the Linux window packs it (border 18,
// spacing 12 between rows, 8 inside a row, buttons at the right end), measured in pixels of the
// window's own DPI. Rows keep their natural height; the spare height goes, in equal shares, to
// the rows that take it (the status text, and the release notes in online mode), and a label
// stands vertically centred in whatever height it is given.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/installer_window_win32.h"

namespace {

HFONT message_font = nullptr, title_font = nullptr;
int layout_dpi = 96;
int natural_height = 0;   // client height the column needs at its current width

int window_dpi(HWND window) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto get_dpi =
      reinterpret_cast<GetDpi>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (get_dpi) {
    if (const UINT dpi = get_dpi(window)) return static_cast<int>(dpi);
  }
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

int px(int size) { return MulDiv(size, layout_dpi, 96); }

// The system's message font at the window's DPI, and the title's bold, larger form of it.
void make_fonts() {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  using ForDpi = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
  static const auto for_dpi = reinterpret_cast<ForDpi>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SystemParametersInfoForDpi")));
  LOGFONTW font = {};
  if (for_dpi && for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, static_cast<UINT>(layout_dpi))) {
    font = metrics.lfMessageFont;
  } else if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    font = metrics.lfMessageFont;
    HDC screen = GetDC(nullptr);
    const int system_dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    font.lfHeight = MulDiv(font.lfHeight, layout_dpi, system_dpi > 0 ? system_dpi : 96);
  } else {
    font.lfHeight = -px(12);
    font.lfCharSet = DEFAULT_CHARSET;
  }
  if (message_font) DeleteObject(message_font);
  if (title_font) DeleteObject(title_font);
  message_font = CreateFontIndirectW(&font);
  font.lfHeight = font.lfHeight * 144 / 100;   // the heading's "x-large"
  font.lfWeight = FW_BOLD;
  title_font = CreateFontIndirectW(&font);
}

std::wstring text_of(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, &text[0], static_cast<int>(text.size()))));
  return text;
}

// The size the control's text takes in its font; wrapped at `width` when that is above 0.
struct Extent {
  int cx, cy;
};

Extent text_size(HWND control, int width) {
  HDC dc = GetDC(control);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  const std::wstring text = text_of(control);
  RECT box = {0, 0, width > 0 ? width : 100000, 0};
  UINT flags = DT_CALCRECT | DT_NOPREFIX | DT_LEFT | DT_EXPANDTABS | (width > 0 ? DT_WORDBREAK : DT_SINGLELINE);
  DrawTextW(dc, text.empty() ? L" " : text.c_str(), -1, &box, flags);
  if (text.empty()) box.right = 0;
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return Extent{static_cast<int>(box.right - box.left), static_cast<int>(box.bottom - box.top)};
}

int line_height() {
  HDC dc = GetDC(installer_window.window);
  HGDIOBJ old = SelectObject(dc, message_font);
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(installer_window.window, dc);
  return metrics.tmHeight;
}

// One row of the column: its natural height, whether it takes spare height, and how it places
// its controls once its top and height are known.
struct Row {
  int height;
  bool expand;
  std::vector<HWND> controls;
  int kind;
};
enum RowKind { kLabelRow, kVersionRow, kNotesRow, kLocationRow, kCheckRow, kBarRow, kButtonRow };

// Moves a control only when its place changes: a status update must not make the window flicker.
// A drop-down list is given the height of its open list, while its window is the closed field.
void place(HWND control, int x, int y, int width, int height, bool drop_down = false) {
  if (!control) return;
  RECT now;
  GetWindowRect(control, &now);
  MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&now), 2);
  width = std::max(0, width);
  height = std::max(0, height);
  if (now.left == x && now.top == y && now.right - now.left == width &&
      (drop_down || now.bottom - now.top == height))
    return;
  MoveWindow(control, x, y, width, height, TRUE);
}

// A label of its natural height, centred in the height the row was given.
void place_label(HWND control, int x, int top, int height, int width, int wrap_width) {
  const Extent size = text_size(control, wrap_width);
  place(control, x, top + std::max(0, (height - size.cy) / 2), width, size.cy);
}

void apply_fonts(HWND window) {
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
    SendMessageW(child, WM_SETFONT,
                 reinterpret_cast<WPARAM>(child == installer_window.title_label ? title_font : message_font), TRUE);
}

// Buttons at the window's foot are at least 85 wide, as a button box makes them; a button
// inside a row takes its text's width.
int button_width(HWND control, bool in_button_box = true) {
  const int natural = text_size(control, 0).cx + px(24);
  return in_button_box ? std::max(px(85), natural) : natural;
}

}  // namespace

void lay_out_window() {
  const InstallerWindow& w = installer_window;
  if (!w.window || !message_font) return;
  RECT client;
  GetClientRect(w.window, &client);
  const int border = px(18), spacing = px(12), inner = px(8);
  const int left = border, width = std::max(0, static_cast<int>(client.right) - 2 * border);
  const int line = line_height();
  const int field = line + px(8), push = std::max(px(27), line + px(10));

  std::vector<Row> rows;
  rows.push_back({text_size(w.title_label, 0).cy, false, {w.title_label}, kLabelRow});
  rows.push_back({text_size(w.description_label, width).cy, false, {w.description_label}, kLabelRow});
  if (w.version_combo) {
    RECT combo;
    GetWindowRect(w.version_combo, &combo);
    const int combo_height = std::max(field, static_cast<int>(combo.bottom - combo.top));
    rows.push_back({combo_height, false, {w.version_label, w.version_combo}, kVersionRow});
    rows.push_back({text_size(w.notes_label, 0).cy, false, {w.notes_label}, kLabelRow});
    rows.push_back({px(110), true, {w.notes_view}, kNotesRow});
  }
  if (w.location_entry) {
    rows.push_back({std::max(field, push), false, {w.location_label, w.location_entry, w.browse_button}, kLocationRow});
    for (HWND check : {w.desktop_check, w.start_menu_check, w.launch_check})
      rows.push_back({line + px(6), false, {check}, kCheckRow});
  }
  rows.push_back({px(20), false, {w.progress_bar}, kBarRow});
  rows.push_back({text_size(w.status_label, width).cy, true, {w.status_label}, kLabelRow});
  rows.push_back({push, false, {w.cancel_button, w.action_button}, kButtonRow});

  int needed = 2 * border + spacing * static_cast<int>(rows.size() - 1), takers = 0;
  for (const Row& row : rows) {
    needed += row.height;
    takers += row.expand ? 1 : 0;
  }
  natural_height = needed;
  int spare = std::max(0, static_cast<int>(client.bottom) - needed);

  int y = border;
  for (const Row& row : rows) {
    int height = row.height;
    if (row.expand && takers > 0) {
      const int share = spare / takers;
      height += share;
      spare -= share;
      --takers;
    }
    switch (row.kind) {
      case kLabelRow:
        place_label(row.controls[0], left, y, height, width, row.controls[0] == w.title_label ? 0 : width);
        break;
      case kVersionRow: {
        const int label_width = text_size(row.controls[0], 0).cx;
        place_label(row.controls[0], left, y, height, label_width, 0);
        place(row.controls[1], left + label_width + inner, y, width - label_width - inner, px(200), true);
        break;
      }
      case kNotesRow:
        place(row.controls[0], left, y, width, height);
        break;
      case kLocationRow: {
        const int label_width = text_size(row.controls[0], 0).cx, browse = button_width(row.controls[2], false);
        place_label(row.controls[0], left, y, height, label_width, 0);
        place(row.controls[1], left + label_width + inner, y + (height - field) / 2,
              width - label_width - browse - 2 * inner, field);
        place(row.controls[2], left + width - browse, y, browse, height);
        break;
      }
      case kCheckRow:
        place(row.controls[0], left, y,
              std::min(width, text_size(row.controls[0], 0).cx + GetSystemMetrics(SM_CXMENUCHECK) + px(12)),
              height);
        break;
      case kBarRow:
        place(row.controls[0], left, y, width, height);
        break;
      case kButtonRow: {
        // The action button stands rightmost, Cancel to its left.
        const int action = button_width(row.controls[1]), cancel = button_width(row.controls[0]);
        place(row.controls[1], left + width - action, y, action, height);
        place(row.controls[0], left + width - action - inner - cancel, y, cancel, height);
        break;
      }
    }
    y += height + spacing;
  }
}

void prepare_window_layout() {
  InstallerWindow& w = installer_window;
  layout_dpi = window_dpi(w.window);
  make_fonts();
  apply_fonts(w.window);
  HINSTANCE self = GetModuleHandleW(nullptr);
  for (auto [which, metric] : {std::pair<WPARAM, int>{ICON_BIG, SM_CXICON}, {ICON_SMALL, SM_CXSMICON}}) {
    const int size = GetSystemMetrics(metric);
    if (HANDLE icon = LoadImageW(self, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR))
      SendMessageW(w.window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
  }
  // The designed size is that of the window's inside; the window stands in the middle of the
  // work area of the screen it opens on.
  RECT frame = {0, 0, px(640), px(520)};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(w.window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(w.window, GWL_EXSTYLE)));
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  MONITORINFO monitor = {sizeof(monitor)};
  GetMonitorInfoW(MonitorFromWindow(w.window, MONITOR_DEFAULTTONEAREST), &monitor);
  const RECT& area = monitor.rcWork;
  const int x = std::max(static_cast<int>(area.left), static_cast<int>(area.left + area.right - width) / 2);
  const int y = std::max(static_cast<int>(area.top), static_cast<int>(area.top + area.bottom - height) / 2);
  SetWindowPos(w.window, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  lay_out_window();
}

bool handle_layout_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result) {
  if (message == WM_GETMINMAXINFO) {
    // Never smaller than what the column needs, as on Linux.
    auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
    RECT frame = {0, 0, px(360), std::max(natural_height, px(240))};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
    info->ptMinTrackSize.x = frame.right - frame.left;
    info->ptMinTrackSize.y = frame.bottom - frame.top;
    result = 0;
    return true;
  }
  if (message == 0x02E0 /* WM_DPICHANGED */ && installer_window.window == window) {
    layout_dpi = HIWORD(wparam);
    make_fonts();
    apply_fonts(window);
    const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    lay_out_window();
    result = 0;
    return true;
  }
  return false;
}
