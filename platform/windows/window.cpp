//===- platform/windows/window.cpp - The progress window and the error box
//-===//
//
// Holds only Windows code. USER32, GDI32 and COMCTL32 are loaded from the
// system folder, by full path, the first time a window or a box is shown,
// and every function is looked up by name: the image imports nothing from
// them, and a launcher that shows nothing loads nothing for them. Where a
// library or a function is missing, or no window can be made (no display
// under Wine, a service's desktop), nothing is shown and the caller goes on
// as without the option.
//
// Sharp on high-DPI screens: the window's thread asks for per-monitor
// awareness at run time (system awareness where that is not known, or the
// process's on older systems), so the manifest stays as it is for every
// package; sizes are scaled from 96 dots per inch.
//
//===----------------------------------------------------------------------===//
#include <windows.h>
#include <commctrl.h>

#include "platform/platform.h"

namespace {

#define VESKAR_FUNCTION(name) decltype(&::name) name
struct Functions {
  bool loaded, usable;
  VESKAR_FUNCTION(RegisterClassExW);
  VESKAR_FUNCTION(CreateWindowExW);
  VESKAR_FUNCTION(DestroyWindow);
  VESKAR_FUNCTION(DefWindowProcW);
  VESKAR_FUNCTION(GetMessageW);
  VESKAR_FUNCTION(IsDialogMessageW);
  VESKAR_FUNCTION(TranslateMessage);
  VESKAR_FUNCTION(DispatchMessageW);
  VESKAR_FUNCTION(PostMessageW);
  VESKAR_FUNCTION(PostQuitMessage);
  VESKAR_FUNCTION(SendMessageW);
  VESKAR_FUNCTION(SetTimer);
  VESKAR_FUNCTION(KillTimer);
  VESKAR_FUNCTION(LoadImageW);
  VESKAR_FUNCTION(ShowWindow);
  VESKAR_FUNCTION(SetWindowPos);
  VESKAR_FUNCTION(SystemParametersInfoW);
  VESKAR_FUNCTION(AdjustWindowRectEx);
  VESKAR_FUNCTION(MessageBoxW);
  VESKAR_FUNCTION(EnumThreadWindows);
  VESKAR_FUNCTION(GetClassNameW);
  VESKAR_FUNCTION(GetProcessWindowStation);
  VESKAR_FUNCTION(GetUserObjectInformationW);
  VESKAR_FUNCTION(GetDC);
  VESKAR_FUNCTION(ReleaseDC);
  VESKAR_FUNCTION(GetDeviceCaps);
  VESKAR_FUNCTION(CreateFontIndirectW);
  // Optional: newer systems only.
  DPI_AWARENESS_CONTEXT(WINAPI *SetThreadDpiAwarenessContext)
  (DPI_AWARENESS_CONTEXT);
  BOOL(WINAPI *SetProcessDPIAware)(void);
  UINT(WINAPI *GetDpiForWindow)(HWND);
  LPCWSTR(WINAPI *MB_GetString)(UINT);
  BOOL(WINAPI *InitCommonControlsEx)(const INITCOMMONCONTROLSEX *);
};
#undef VESKAR_FUNCTION

// Filled once, by the first thread that shows something; the other
// thread's EndProgressWindow reads PostMessageW only after the window it
// posts to was published, which happens after this is filled.
Functions user;

HMODULE LoadSystemLibrary(const WCHAR *name) {
  WCHAR path[MAX_PATH + 32];
  UINT length = GetSystemDirectoryW(path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return nullptr;
  if (path[length - 1] != L'\\')
    path[length++] = L'\\';
  for (size_t i = 0; name[i] != 0 && length + 1 < sizeof path / sizeof *path;)
    path[length++] = name[i++];
  path[length] = 0;
  return LoadLibraryW(path);
}

template <typename Pointer>
bool Find(HMODULE module, const char *name, Pointer *out) {
  *out = module != nullptr ? reinterpret_cast<Pointer>(reinterpret_cast<void *>(
                                 GetProcAddress(module, name)))
                           : nullptr;
  return *out != nullptr;
}

// True when every function a window or a box needs is at hand.
bool LoadFunctions(void) {
  if (user.loaded)
    return user.usable;
  user.loaded = true;
  HMODULE u = LoadSystemLibrary(L"user32.dll");
  HMODULE g = u != nullptr ? LoadSystemLibrary(L"gdi32.dll") : nullptr;
  bool all =
      Find(u, "RegisterClassExW", &user.RegisterClassExW) &&
      Find(u, "CreateWindowExW", &user.CreateWindowExW) &&
      Find(u, "DestroyWindow", &user.DestroyWindow) &&
      Find(u, "DefWindowProcW", &user.DefWindowProcW) &&
      Find(u, "GetMessageW", &user.GetMessageW) &&
      Find(u, "IsDialogMessageW", &user.IsDialogMessageW) &&
      Find(u, "TranslateMessage", &user.TranslateMessage) &&
      Find(u, "DispatchMessageW", &user.DispatchMessageW) &&
      Find(u, "PostMessageW", &user.PostMessageW) &&
      Find(u, "PostQuitMessage", &user.PostQuitMessage) &&
      Find(u, "SendMessageW", &user.SendMessageW) &&
      Find(u, "SetTimer", &user.SetTimer) &&
      Find(u, "KillTimer", &user.KillTimer) &&
      Find(u, "LoadImageW", &user.LoadImageW) &&
      Find(u, "ShowWindow", &user.ShowWindow) &&
      Find(u, "SetWindowPos", &user.SetWindowPos) &&
      Find(u, "SystemParametersInfoW", &user.SystemParametersInfoW) &&
      Find(u, "AdjustWindowRectEx", &user.AdjustWindowRectEx) &&
      Find(u, "MessageBoxW", &user.MessageBoxW) &&
      Find(u, "EnumThreadWindows", &user.EnumThreadWindows) &&
      Find(u, "GetClassNameW", &user.GetClassNameW) &&
      Find(u, "GetProcessWindowStation", &user.GetProcessWindowStation) &&
      Find(u, "GetUserObjectInformationW", &user.GetUserObjectInformationW) &&
      Find(u, "GetDC", &user.GetDC) && Find(u, "ReleaseDC", &user.ReleaseDC) &&
      Find(g, "GetDeviceCaps", &user.GetDeviceCaps) &&
      Find(g, "CreateFontIndirectW", &user.CreateFontIndirectW);
  Find(u, "SetThreadDpiAwarenessContext", &user.SetThreadDpiAwarenessContext);
  Find(u, "SetProcessDPIAware", &user.SetProcessDPIAware);
  Find(u, "GetDpiForWindow", &user.GetDpiForWindow);
  Find(u, "MB_GetString", &user.MB_GetString);
  user.usable = all;
  return all;
}

// The progress window, on its thread.
struct ProgressWindow {
  ProgressWindowView *view;
  ProgressWindowEnding ending;
  HWND icon, name, bar, cancel;
  HFONT font;
  UINT dpi;
  bool measured; // false: the bar moves without a measure
};
ProgressWindow window;

const UINT kEndMessage = WM_APP + 1;
const UINT_PTR kTimer = 1;
const UINT kTimerMs = 100;
const int kBarRange = 1000;
const int kNameId = 100, kBarId = 101;

int Scale(int size) { return MulDiv(size, (int)window.dpi, 96); }

// The client area at 96 dpi: the icon on the left, the name and the bar
// beside it, Cancel below on the right.
const int kClientWidth = 380, kClientHeight = 116;

void Layout(HWND hwnd) {
  (void)hwnd;
  struct Place {
    HWND control;
    int x, y, width, height;
  } places[] = {
      {window.icon, 16, 16, 32, 32},
      {window.name, 64, 14, 300, 20},
      {window.bar, 64, 42, 300, 18},
      {window.cancel, 274, 76, 90, 26},
  };
  for (const Place &place : places)
    if (place.control != nullptr)
      user.SetWindowPos(place.control, nullptr, Scale(place.x), Scale(place.y),
                        Scale(place.width), Scale(place.height),
                        SWP_NOZORDER | SWP_NOACTIVATE);
}

void ApplyFont(void) {
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  if (!user.SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics,
                                  &metrics, 0))
    return;
  LOGFONTW font = metrics.lfMessageFont;
  // The metrics come for the system's dpi; the window's may differ.
  HDC screen = user.GetDC(nullptr);
  int systemDpi =
      screen != nullptr ? user.GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr)
    user.ReleaseDC(nullptr, screen);
  if (systemDpi > 0)
    font.lfHeight = MulDiv(font.lfHeight, (int)window.dpi, systemDpi);
  HFONT made = user.CreateFontIndirectW(&font);
  if (made == nullptr)
    return;
  HWND controls[] = {window.name, window.cancel};
  for (HWND control : controls)
    if (control != nullptr)
      user.SendMessageW(control, WM_SETFONT, (WPARAM)made, TRUE);
  window.font = made; // the old one stays: the process ends soon
}

void ShowProgress(void) {
  if (!window.measured || window.bar == nullptr)
    return;
  LONG64 done = *window.view->done;
  ULONGLONG total = window.view->total;
  int position = done <= 0 ? 0
                 : (ULONGLONG)done >= total
                     ? kBarRange
                     : (int)((ULONGLONG)done * kBarRange / total);
  user.SendMessageW(window.bar, PBM_SETPOS, (WPARAM)position, 0);
}

LRESULT CALLBACK ProgressWindowProc(HWND hwnd, UINT message, WPARAM wParam,
                                    LPARAM lParam) {
  switch (message) {
  case WM_TIMER:
    if (window.view->ended) {
      window.ending = kProgressWindowClosed;
      user.DestroyWindow(hwnd);
    } else {
      ShowProgress();
    }
    return 0;
  case kEndMessage:
    window.ending = kProgressWindowClosed;
    user.DestroyWindow(hwnd);
    return 0;
  case WM_COMMAND:
    if (LOWORD(wParam) == IDCANCEL) {
      window.ending = kProgressWindowCancelled;
      user.DestroyWindow(hwnd);
    }
    return 0;
  case WM_CLOSE:
    window.ending = kProgressWindowCancelled;
    user.DestroyWindow(hwnd);
    return 0;
  case WM_DPICHANGED: {
    window.dpi = HIWORD(wParam);
    const RECT *suggested = (const RECT *)lParam;
    user.SetWindowPos(hwnd, nullptr, suggested->left, suggested->top,
                      suggested->right - suggested->left,
                      suggested->bottom - suggested->top,
                      SWP_NOZORDER | SWP_NOACTIVATE);
    ApplyFont();
    Layout(hwnd);
    return 0;
  }
  case WM_DESTROY:
    user.KillTimer(hwnd, kTimer);
    user.PostQuitMessage(0);
    return 0;
  }
  return user.DefWindowProcW(hwnd, message, wParam, lParam);
}

// The look of the system's own controls, where it can be had without a
// manifest of the package's: the activation context the shell's library
// carries for the common controls.
void UseSystemControlLook(void) {
  ACTCTXW context = {};
  context.cbSize = sizeof context;
  context.dwFlags =
      ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  WCHAR system[MAX_PATH];
  UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH)
    return;
  context.lpSource = L"shell32.dll";
  context.lpAssemblyDirectory = system;
  context.lpResourceName = MAKEINTRESOURCEW(124);
  HANDLE made = CreateActCtxW(&context);
  ULONG_PTR cookie;
  if (made != INVALID_HANDLE_VALUE)
    ActivateActCtx(made, &cookie); // for this thread, for good
}

} // namespace

ProgressWindowEnding RunProgressWindow(ProgressWindowView *view) {
  if (view->ended || !LoadFunctions())
    return kProgressWindowUnavailable;
  if (user.SetThreadDpiAwarenessContext != nullptr) {
    if (user.SetThreadDpiAwarenessContext(
            DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2) == nullptr)
      user.SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE);
  } else if (user.SetProcessDPIAware != nullptr) {
    user.SetProcessDPIAware();
  }
  UseSystemControlLook();
  HMODULE controls = LoadSystemLibrary(L"comctl32.dll");
  Find(controls, "InitCommonControlsEx", &user.InitCommonControlsEx);
  if (user.InitCommonControlsEx != nullptr) {
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_PROGRESS_CLASS};
    user.InitCommonControlsEx(&classes);
  }

  window = ProgressWindow();
  window.view = view;
  window.ending = kProgressWindowClosed;
  window.measured = view->total != 0;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HDC screen = user.GetDC(nullptr);
  window.dpi =
      screen != nullptr ? (UINT)user.GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr)
    user.ReleaseDC(nullptr, screen);
  if (window.dpi == 0)
    window.dpi = 96;

  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = ProgressWindowProc;
  windowClass.hInstance = instance;
  windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = L"VeskarProgressWindow";
  windowClass.hIcon = (HICON)user.LoadImageW(instance, MAKEINTRESOURCEW(1),
                                             IMAGE_ICON, 0, 0, LR_DEFAULTSIZE);
  windowClass.hIconSm = (HICON)user.LoadImageW(instance, MAKEINTRESOURCEW(1),
                                               IMAGE_ICON, 16, 16, 0);
  if (user.RegisterClassExW(&windowClass) == 0)
    return kProgressWindowUnavailable;

  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  const DWORD exStyle = WS_EX_CONTROLPARENT | WS_EX_APPWINDOW;
  RECT frame = {0, 0, Scale(kClientWidth), Scale(kClientHeight)};
  user.AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  RECT work = {0, 0, 1024, 768};
  user.SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  int width = frame.right - frame.left, height = frame.bottom - frame.top;
  HWND hwnd = user.CreateWindowExW(
      exStyle, windowClass.lpszClassName, view->title, style,
      work.left + (work.right - work.left - width) / 2,
      work.top + (work.bottom - work.top - height) / 2, width, height, nullptr,
      nullptr, instance, nullptr);
  if (hwnd == nullptr)
    return kProgressWindowUnavailable;
  if (user.GetDpiForWindow != nullptr && user.GetDpiForWindow(hwnd) != 0 &&
      user.GetDpiForWindow(hwnd) != window.dpi) {
    // Per-monitor: the monitor the window is on decides.
    window.dpi = user.GetDpiForWindow(hwnd);
    RECT again = {0, 0, Scale(kClientWidth), Scale(kClientHeight)};
    user.AdjustWindowRectEx(&again, style, FALSE, exStyle);
    user.SetWindowPos(hwnd, nullptr, 0, 0, again.right - again.left,
                      again.bottom - again.top,
                      SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  }

  int iconSize = Scale(32);
  HICON icon = (HICON)user.LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                      iconSize, iconSize, 0);
  window.icon =
      user.CreateWindowExW(0, L"STATIC", nullptr,
                           WS_CHILD | WS_VISIBLE | SS_ICON | SS_REALSIZECONTROL,
                           0, 0, 0, 0, hwnd, nullptr, instance, nullptr);
  if (window.icon != nullptr && icon != nullptr)
    user.SendMessageW(window.icon, STM_SETICON, (WPARAM)icon, 0);
  window.name = user.CreateWindowExW(
      0, L"STATIC", view->title,
      WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, 0, 0, 0,
      0, hwnd, (HMENU)(INT_PTR)kNameId, instance, nullptr);
  window.bar = user.CreateWindowExW(
      0, PROGRESS_CLASSW, nullptr,
      WS_CHILD | WS_VISIBLE | (window.measured ? 0 : PBS_MARQUEE), 0, 0, 0, 0,
      hwnd, (HMENU)(INT_PTR)kBarId, instance, nullptr);
  if (window.bar != nullptr) {
    if (window.measured)
      user.SendMessageW(window.bar, PBM_SETRANGE32, 0, kBarRange);
    else
      user.SendMessageW(window.bar, PBM_SETMARQUEE, TRUE, 0);
  }
  const WCHAR *cancelText =
      user.MB_GetString != nullptr ? user.MB_GetString(IDCANCEL - 1) : nullptr;
  window.cancel = user.CreateWindowExW(
      0, L"BUTTON", cancelText != nullptr ? cancelText : L"Cancel",
      WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0, 0, hwnd,
      (HMENU)(INT_PTR)IDCANCEL, instance, nullptr);
  ApplyFont();
  Layout(hwnd);
  ShowProgress();
  user.SetTimer(hwnd, kTimer, kTimerMs, nullptr);

  // Published only now: EndProgressWindow posts to it from the main thread.
  // Either that thread sees the window, or this one sees `ended`.
  InterlockedExchangePointer(&view->window, hwnd);
  if (view->ended) {
    user.DestroyWindow(hwnd);
  } else {
    user.ShowWindow(hwnd, SW_SHOW);
  }

  MSG message;
  while (user.GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.hwnd != nullptr && message.message != kEndMessage &&
        user.IsDialogMessageW(hwnd, &message))
      continue;
    user.TranslateMessage(&message);
    user.DispatchMessageW(&message);
  }
  return view->ended ? kProgressWindowClosed : window.ending;
}

void EndProgressWindow(ProgressWindowView *view) {
  InterlockedExchange(&view->ended, 1);
  HWND hwnd =
      (HWND)InterlockedCompareExchangePointer(&view->window, nullptr, nullptr);
  if (hwnd != nullptr)
    user.PostMessageW(hwnd, kEndMessage, 0, 0);
}

namespace {

// The box's own bounded wait: MessageBoxTimeoutW is not documented, and
// Wine's ignores its time-out. A timer of the box's thread, which the box's
// message loop runs, closes it.
BOOL CALLBACK CloseBox(HWND hwnd, LPARAM) {
  WCHAR name[16];
  if (user.GetClassNameW(hwnd, name, 16) > 0 && lstrcmpW(name, L"#32770") == 0)
    user.PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
  return TRUE;
}

void CALLBACK BoxTimeUp(HWND, UINT, UINT_PTR, DWORD) {
  user.EnumThreadWindows(GetCurrentThreadId(), CloseBox, 0);
}

} // namespace

BOOL DesktopIsInteractive(void) {
  if (!LoadFunctions())
    return FALSE;
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  HWINSTA station = user.GetProcessWindowStation();
  return station != nullptr &&
         user.GetUserObjectInformationW(station, UOI_FLAGS, &flags,
                                        sizeof flags, &needed) &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

BOOL ShowErrorBox(const WCHAR *title, const WCHAR *text, DWORD timeoutMs) {
  if (!LoadFunctions())
    return FALSE;
  if (user.SetThreadDpiAwarenessContext != nullptr)
    user.SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE);
  else if (user.SetProcessDPIAware != nullptr)
    user.SetProcessDPIAware();
  UINT_PTR timer = user.SetTimer(nullptr, 0, timeoutMs, BoxTimeUp);
  int answer =
      user.MessageBoxW(nullptr, text, title,
                       MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
  if (timer != 0)
    user.KillTimer(nullptr, timer);
  return answer != 0;
}
