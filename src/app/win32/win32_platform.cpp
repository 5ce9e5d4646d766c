#include "app/win32/win32_platform.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "app/win32/resource.h"
#include "util/windows/wide.h"

namespace qae::win32 {

// The resource compiler cannot read app/platform.h; its copies of the ids
// must not drift from the ones the model uses.
static_assert(IDC_INPUT_FILE == kIdInputFile && IDC_PAR_FILE == kIdParFile &&
              IDC_STATUS == kIdStatus && IDC_GO == kIdGo && IDC_AUTO_CLOSE == kIdAutoClose &&
              IDC_AE_RANGE == kIdAeRange);

namespace {

// Collecting ended children; above the ids the dialog model uses.
constexpr UINT_PTR kReapTimerId = 0x5EA9;
constexpr UINT kReapPeriodMs = 5000;

HINSTANCE Module() { return GetModuleHandleW(nullptr); }

// Loaded shared: the system owns the handles, nothing to destroy.
HICON AppIcon(int metric_x, int metric_y) {
  return static_cast<HICON>(LoadImageW(Module(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                       GetSystemMetrics(metric_x), GetSystemMetrics(metric_y),
                                       LR_DEFAULTCOLOR | LR_SHARED));
}

void SetWaitCursorNow() { SetCursor(LoadCursorA(nullptr, IDC_WAIT)); }

// Over the owner, where the user is looking, but whole on its monitor: the
// dialog sits at the screen's right edge.
void CenterOnOwner(HWND window) {
  HWND owner = GetWindow(window, GW_OWNER);
  RECT box{};
  RECT over{};
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (owner == nullptr || !GetWindowRect(window, &box) || !GetWindowRect(owner, &over) ||
      !GetMonitorInfoW(MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor)) {
    return;
  }
  const RECT& work = monitor.rcWork;
  const int width = box.right - box.left;
  const int height = box.bottom - box.top;
  const int x = std::clamp((over.left + over.right - width) / 2, work.left,
                           std::max(work.left, work.right - width));
  const int y = std::clamp((over.top + over.bottom - height) / 2, work.top,
                           std::max(work.top, work.bottom - height));
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      // The model's text, so the two front ends cannot disagree.
      SetDlgItemTextW(window, IDC_ABOUT_TEXT, win::Widen(kAboutText).c_str());
      CenterOnOwner(window);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(window, LOWORD(wparam));
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

}  // namespace

std::wstring ToOpenFileFilter(const std::string& filter) {
  std::wstring out = win::Widen(filter);
  for (wchar_t& c : out) {
    if (c == L'|') c = L'\0';
  }
  // A filter written without its closing "||" still ends in two NULs (the
  // second is the string's own terminator).
  if (out.empty() || out.back() != L'\0') out.push_back(L'\0');
  return out;
}

std::string ToEditLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

std::string FromEditLines(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

Win32Platform::Win32Platform(HeadlessPlatform& system) : system_(system) {}

Win32Platform::~Win32Platform() {
  while (wait_cursors_ > 0) EndWaitCursor();
}

int Win32Platform::RunModal(CQuorvex_AEDlg& dialog) {
  dialog_ = &dialog;
  const INT_PTR result = DialogBoxParamW(Module(), MAKEINTRESOURCEW(IDD_QUORVEX_AE_DIALOG), nullptr,
                                         &Win32Platform::DialogProc,
                                         reinterpret_cast<LPARAM>(this));
  const DWORD error = GetLastError();
  dialog_ = nullptr;
  window_ = nullptr;
  if (result == -1) {
    // No template (the .rc was not linked in) or no window could be made.
    ReportError("The dialog window could not be created: " + win::ErrorText(error));
    return 0;
  }
  return static_cast<int>(result);
}

void Win32Platform::EndDialog(int result) {
  if (window_ != nullptr) ::EndDialog(window_, result);
}

INT_PTR CALLBACK Win32Platform::DialogProc(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
  Win32Platform* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Win32Platform*>(lparam);
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    self->window_ = window;
  } else {
    self = reinterpret_cast<Win32Platform*>(GetWindowLongPtrW(window, DWLP_USER));
  }
  // Messages before WM_INITDIALOG (WM_SETFONT) and after WM_NCDESTROY get
  // the dialog manager's default handling.
  if (self == nullptr || self->dialog_ == nullptr) return FALSE;
  return self->HandleMessage(message, wparam, lparam);
}

void Win32Platform::InitWindow() {
  SetWindowTextW(window_, win::Widen(kDialogTitle).c_str());
  SendMessageW(window_, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(AppIcon(SM_CXICON, SM_CYICON)));
  SendMessageW(window_, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(AppIcon(SM_CXSMICON, SM_CYSMICON)));

  // The About entry in the window menu, below the system's own.
  if (HMENU menu = GetSystemMenu(window_, FALSE)) {
    wchar_t label[64] = {};
    if (LoadStringW(Module(), IDS_ABOUTBOX, label, 64) > 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, label);
    }
  }
}

INT_PTR Win32Platform::HandleMessage(UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      InitWindow();
      SetTimer(window_, kReapTimerId, kReapPeriodMs, nullptr);
      dialog_->OnInitDialog();
      return TRUE;  // focus to the first control that takes it

    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      const int code = HIWORD(wparam);
      if (id == IDC_GO && code == BN_CLICKED) {
        dialog_->OnGo();
      } else if (id == IDC_INPUT_FILE && code == BN_CLICKED) {
        dialog_->OnInputFile();
      } else if (id == IDCANCEL) {
        // Escape, the close box and Alt+F4.
        ::EndDialog(window_, 0);
      } else if (id != IDOK) {
        // IDOK is Enter with no default button: it starts nothing.
        return FALSE;
      }
      return TRUE;
    }

    case WM_TIMER:
      if (wparam == kReapTimerId) {
        system_.ReapFinishedChildren();
      } else {
        dialog_->OnTimer(static_cast<int>(wparam));
      }
      return TRUE;

    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAbout();
        return TRUE;
      }
      return FALSE;

    case WM_SETCURSOR:
      // Otherwise the next mouse move over a control puts the arrow back
      // while a run is still going on.
      if (wait_cursors_ > 0) {
        SetWaitCursorNow();
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;

    case WM_DESTROY:
      KillTimer(window_, kReapTimerId);
      dialog_->OnDestroy();
      return FALSE;

    default:
      return FALSE;
  }
}

void Win32Platform::ShowAbout() {
  DialogBoxParamW(Module(), MAKEINTRESOURCEW(IDD_ABOUTBOX), window_, &AboutProc, 0);
}

std::string Win32Platform::ControlText(int id) const {
  HWND control = GetDlgItem(window_, id);
  if (control == nullptr) return std::string();
  const int length = GetWindowTextLengthW(control);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int n = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return win::Narrow(text);
}

void Win32Platform::SetControlText(int id, const std::string& text) {
  SetDlgItemTextW(window_, id, win::Widen(text).c_str());
}

void Win32Platform::ReadControls(DialogFields* fields) {
  if (window_ == nullptr) return;
  fields->parFile = ControlText(kIdParFile);
  fields->aeRange = ControlText(kIdAeRange);
  fields->autoClose = IsDlgButtonChecked(window_, kIdAutoClose) == BST_CHECKED;
  fields->status = FromEditLines(ControlText(kIdStatus));
}

void Win32Platform::WriteControls(const DialogFields& fields) {
  if (window_ == nullptr) return;
  SetControlText(kIdParFile, fields.parFile);
  SetControlText(kIdAeRange, fields.aeRange);
  CheckDlgButton(window_, kIdAutoClose, fields.autoClose ? BST_CHECKED : BST_UNCHECKED);
  SetControlText(kIdStatus, ToEditLines(fields.status));
}

void Win32Platform::EnableControl(int id, bool enabled) {
  if (window_ == nullptr) return;
  HWND control = GetDlgItem(window_, id);
  if (control == nullptr) return;
  EnableWindow(control, enabled ? TRUE : FALSE);
}

void Win32Platform::Repaint() {
  if (window_ != nullptr && IsWindowVisible(window_)) {
    RedrawWindow(window_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  }
}

void Win32Platform::StartTimer(int id, int period_ms) {
  if (window_ != nullptr) SetTimer(window_, static_cast<UINT_PTR>(id), static_cast<UINT>(period_ms), nullptr);
}

void Win32Platform::StopTimer(int id) {
  if (window_ != nullptr) KillTimer(window_, static_cast<UINT_PTR>(id));
}

void Win32Platform::BeginWaitCursor() {
  ++wait_cursors_;
  SetWaitCursorNow();
}

void Win32Platform::EndWaitCursor() {
  if (wait_cursors_ == 0) return;
  if (--wait_cursors_ == 0) SetCursor(LoadCursorA(nullptr, IDC_ARROW));
}

int Win32Platform::ScreenWidth() { return GetSystemMetrics(SM_CXSCREEN); }

int Win32Platform::ScreenHeight() { return GetSystemMetrics(SM_CYSCREEN); }

int Win32Platform::ClientWidth() {
  RECT client{};
  if (window_ == nullptr || !GetClientRect(window_, &client)) return 0;
  return client.right - client.left;
}

void Win32Platform::MoveWindow(int x, int y) {
  if (window_ != nullptr) {
    SetWindowPos(window_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

std::string Win32Platform::ChooseFile(const std::string& title, const std::string& filter) {
  const std::wstring wide_title = win::Widen(title);
  const std::wstring wide_filter = ToOpenFileFilter(filter);
  // Room for the longest path the system takes.
  std::vector<wchar_t> path(32768, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = wide_filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = static_cast<DWORD>(path.size());
  dialog.lpstrTitle = wide_title.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                 OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&dialog)) {
    // 0 is the user's cancel; anything else is the chooser failing.
    if (const DWORD code = CommDlgExtendedError(); code != 0) {
      ReportError("The file chooser failed (error " + std::to_string(code) + ")");
    }
    return std::string();
  }
  return win::Narrow(path.data());
}

bool Win32Platform::OpenDocument(const std::string& path, std::string* error) {
  return system_.OpenDocument(path, error);
}

bool Win32Platform::StartProcess(const std::string& executable, const std::string& argument,
                                 StartedProcess* started, std::string* error) {
  return system_.StartProcess(executable, argument, started, error);
}

std::string Win32Platform::ExecutablePath() { return system_.ExecutablePath(); }

void Win32Platform::Wait(int ms) { system_.Wait(ms); }

void Win32Platform::ReportError(const std::string& message) { system_.ReportError(message); }

}  // namespace qae::win32
