#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace zelk {

namespace {

constexpr wchar_t kWindowClass[] = L"ZelkPatchForm";
constexpr int kFirstControlId = 100;  // clear of IDOK and IDCANCEL, which dialog keys send

// Functions of Windows 10 and later, looked up so that older systems still
// run the program (at the system's DPI).
template <typename Function>
Function User32(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

UINT DpiOf(HWND window) {
    static const auto getDpiForWindow = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    if (getDpiForWindow != nullptr && window != nullptr) return getDpiForWindow(window);
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return static_cast<UINT>(dpi);
}

// Twips to pixels at `dpi`: 1440 twips make an inch.
int Scale(int twips, UINT dpi) { return MulDiv(twips, static_cast<int>(dpi), 1440); }

std::wstring TextOf(HWND control) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

// The comment field: the Tab key moves on and Escape does nothing, as in
// the rest of the window; Enter starts a new line. A tab character that
// arrives otherwise (pasted, from an input method) is kept.
LRESULT CALLBACK CommentProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_GETDLGCODE) {
        LRESULT code = DefSubclassProc(field, message, wParam, lParam);
        const auto* key = reinterpret_cast<const MSG*>(lParam);
        if (key != nullptr && key->message == WM_KEYDOWN) {
            code &= ~(DLGC_WANTTAB | DLGC_WANTALLKEYS);
            if (key->wParam == VK_RETURN) code |= DLGC_WANTMESSAGE;
        }
        return code;
    }
    // The edit control drops tab characters inside a window that handles
    // dialog keys; only a typed Tab key is meant to move on.
    if (message == WM_CHAR && wParam == L'\t') {
        SendMessageW(field, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L"\t"));
        return 0;
    }
    return DefSubclassProc(field, message, wParam, lParam);
}

// The path fields take a file dropped from Explorer, the patch field
// several (`role` is the field's).
LRESULT CALLBACK PathProc(HWND field, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR role) {
    if (message == WM_DROPFILES) {
        const auto drop = reinterpret_cast<HDROP>(wParam);
        std::vector<std::string> paths;
        for (UINT i = 0, count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0); i < count; ++i) {
            std::wstring path(DragQueryFileW(drop, i, nullptr, 0) + 1, L'\0');
            path.resize(DragQueryFileW(drop, i, path.data(), static_cast<UINT>(path.size())));
            paths.push_back(ToUtf8(path));
        }
        DragFinish(drop);
        const std::string text = form::DroppedText(static_cast<form::Role>(role), paths);
        if (!text.empty()) SetWindowTextW(field, FromUtf8(text).c_str());
        return 0;
    }
    return DefSubclassProc(field, message, wParam, lParam);
}

}  // namespace

void Win32Messages::ShowMessage(const std::string& text, MessageStyle style) {
    // The edit controls and message boxes show CR LF as a line break.
    static const std::wstring title = FromUtf8(form::MessageTitle);
    MessageBoxW(owner, FromUtf8(text).c_str(), title.c_str(),
                MB_OK | (style == MessageStyle::Critical ? MB_ICONERROR : 0) | (owner ? MB_APPLMODAL : MB_TASKMODAL));
}

bool Win32Messages::Ask(const std::string& question) {
    static const std::wstring title = FromUtf8(form::MessageTitle);
    return MessageBoxW(owner, FromUtf8(question).c_str(), title.c_str(),
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | (owner ? MB_APPLMODAL : MB_TASKMODAL)) == IDYES;
}

void Win32Messages::EndProgram() {
    if (owner != nullptr) DestroyWindow(owner);
    PostQuitMessage(0);
}

// The window class, registered once for every window of the program.
void ZelkPatchForm::RegisterWindowClass(HINSTANCE instance) {
    static const bool registered = [instance] {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
        InitCommonControlsEx(&controls);
        WNDCLASSEXW type{};
        type.cbSize = sizeof type;
        type.lpfnWndProc = WindowProc;
        type.hInstance = instance;
        type.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
        type.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        type.lpszClassName = kWindowClass;
        return RegisterClassExW(&type) != 0;
    }();
    (void)registered;
}

ZelkPatchForm::ZelkPatchForm(HostServices& host, HINSTANCE instance) : host_(host) {
    RegisterWindowClass(instance);
    const std::wstring caption = FromUtf8(form::Caption);
    window_ = CreateWindowExW(0, kWindowClass, caption.c_str(), WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                              CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance, this);
    for (std::size_t i = 0; i < form::Controls.size(); ++i) controls_[i] = CreateControl(i, instance);
    // Tab follows the order of the controls among their siblings.
    HWND previous = HWND_TOP;
    for (const std::string_view name : form::FocusOrder) {
        SetWindowPos(Control(name), previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = Control(name);
    }
    Layout(DpiOf(window_));
    Form_Load();
    SetFocus(Control(form::FocusOrder.front()));
}

// The control at `index` of the form, a child of the window at no size yet.
HWND ZelkPatchForm::CreateControl(std::size_t index, HINSTANCE instance) {
    const form::Control& control = form::Controls[index];
    const wchar_t* type = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD extended = 0;
    switch (control.kind) {
        case form::ControlKind::Label:
            style |= SS_LEFT | SS_NOPREFIX;
            break;
        case form::ControlKind::LineField:
            type = L"EDIT";
            style |= WS_TABSTOP | ES_AUTOHSCROLL;
            extended = WS_EX_CLIENTEDGE | WS_EX_ACCEPTFILES;
            break;
        case form::ControlKind::CommentField:
            type = L"EDIT";
            style |= WS_TABSTOP | ES_MULTILINE | ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_WANTRETURN | WS_HSCROLL |
                     WS_VSCROLL;
            extended = WS_EX_CLIENTEDGE;
            break;
        case form::ControlKind::Button:
            type = L"BUTTON";
            style |= WS_TABSTOP | BS_PUSHBUTTON;
            break;
    }
    const HWND created = CreateWindowExW(extended, type, FromUtf8(control.text).c_str(), style, 0, 0, 0, 0, window_,
                                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + index)),
                                         instance, nullptr);
    if (control.kind == form::ControlKind::LineField)
        SetWindowSubclass(created, PathProc, 0, static_cast<DWORD_PTR>(control.role));
    if (control.kind == form::ControlKind::CommentField) {
        SetWindowSubclass(created, CommentProc, 0, 0);
        SendMessageW(created, EM_SETLIMITTEXT, 0, 0);  // as long as the user likes
    }
    return created;
}

ZelkPatchForm::~ZelkPatchForm() {
    if (IsWindow(window_)) DestroyWindow(window_);
    if (font_ != nullptr) DeleteObject(font_);
}

HWND ZelkPatchForm::Control(std::string_view name) const {
    const std::size_t i = form::IndexOf(name);
    return i < controls_.size() ? controls_[i] : nullptr;
}

void ZelkPatchForm::Layout(UINT dpi) {
    dpi_ = dpi;
    // The frame is what the system draws around the client area now, at
    // whatever DPI it draws it: the client area gets exactly its size.
    RECT outer;
    RECT client;
    GetWindowRect(window_, &outer);
    GetClientRect(window_, &client);
    SetWindowPos(window_, nullptr, 0, 0,
                 Scale(form::ClientWidthTwips, dpi) + (outer.right - outer.left) - client.right,
                 Scale(form::ClientHeightTwips, dpi) + (outer.bottom - outer.top) - client.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    for (std::size_t i = 0; i < form::Controls.size(); ++i) {
        const form::Control& c = form::Controls[i];
        SetWindowPos(controls_[i], nullptr, Scale(c.left, dpi), Scale(c.top, dpi), Scale(c.width, dpi),
                     Scale(c.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
    }
    FitFont();
}

// The system's message font at the window's DPI, fitted to the captions.
void ZelkPatchForm::FitFont() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    static const auto forDpi = User32<BOOL(WINAPI*)(UINT, UINT, void*, UINT, UINT)>("SystemParametersInfoForDpi");
    if (forDpi == nullptr || !forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi_)) {
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi_), DpiOf(nullptr));
    }
    LOGFONTW font = metrics.lfMessageFont;
    // A negative height is the characters' own, the size in points.
    const auto heightAt = [this](double points) { return -static_cast<LONG>(std::lround(points * dpi_ / 72)); };
    const HDC dc = GetDC(window_);
    const auto fitsAt = [&](double points) {
        LOGFONTW trial = font;
        trial.lfHeight = heightAt(points);
        const HFONT measured = CreateFontIndirectW(&trial);
        const HGDIOBJ before = SelectObject(dc, measured);
        const bool fits = form::CaptionsFit(
            [dc](std::string_view text) {
                const std::wstring wide = FromUtf8(text);
                SIZE size{};
                GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
                return static_cast<int>(size.cx);
            },
            [this](int twips) { return Scale(twips, dpi_); });
        SelectObject(dc, before);
        DeleteObject(measured);
        return fits;
    };
    font.lfHeight = heightAt(form::FittedFontPoints(std::abs(font.lfHeight) * 72.0 / dpi_, fitsAt));
    ReleaseDC(window_, dc);
    const HFONT fitted = CreateFontIndirectW(&font);
    for (const HWND control : controls_) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(fitted), TRUE);
    if (font_ != nullptr) DeleteObject(font_);
    font_ = fitted;
}

void ZelkPatchForm::Form_Load() {
    const form::Fields fields = CurrentFields();
    SetWindowTextW(Control("fldPatchComment"),
                   FromUtf8(form::ComposeDefaultComment(fields.origRomFile, fields.chgRomFile)).c_str());
}

form::Fields ZelkPatchForm::CurrentFields() const {
    const auto text = [this](std::string_view name) { return ToUtf8(TextOf(Control(name))); };
    // The edit control keeps line breaks as CR LF, as the patch stores them.
    return {text("fldOrigRomFile"), text("fldChgRomFile"), text("fldOutPatchFile"), text("fldPatchComment")};
}

bool ZelkPatchForm::HandleDialogKeys(MSG& message) { return IsDialogMessageW(window_, &message) != 0; }

template <typename Press>
void ZelkPatchForm::RunBusy(Press press) {
    const form::Fields fields = CurrentFields();
    busy_ = true;
    const HCURSOR before = SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
    press(host_, fields);
    busy_ = false;
    SetCursor(before);
}

void ZelkPatchForm::Command2_Click() { RunBusy(form::PressMakePatch); }

void ZelkPatchForm::Command3_Click() { RunBusy(form::PressApplyPatch); }

void ZelkPatchForm::btnExit_Click() { form::PressExit(host_); }

LRESULT CALLBACK ZelkPatchForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<ZelkPatchForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<ZelkPatchForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return self != nullptr ? self->Handle(message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT ZelkPatchForm::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                const HWND from = reinterpret_cast<HWND>(lParam);
                if (from == Control("Command2")) Command2_Click();
                if (from == Control("Command3")) Command3_Click();
                if (from == Control("btnExit")) btnExit_Click();
            }
            return 0;  // Enter (IDOK) and Escape (IDCANCEL) press nothing
        // Focus comes back to the control that had it, after a message box
        // as after switching programs: a window is not a dialog and would
        // otherwise keep it itself.
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                const HWND focused = GetFocus();
                if (focused != nullptr && IsChild(window_, focused)) lastFocus_ = focused;
            } else if (lastFocus_ != nullptr) {
                SetFocus(lastFocus_);
                return 0;
            }
            break;
        case WM_SETCURSOR:
            if (busy_) {
                SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
                return TRUE;
            }
            break;
        case WM_DPICHANGED: {
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(window_, nullptr, suggested->left, suggested->top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            Layout(HIWORD(wParam));
            return 0;
        }
        case WM_CLOSE:
            form::PressExit(host_);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

int RunMainWindow(Win32Host& host, HINSTANCE instance, int show) {
    ZelkPatchForm form(host, instance);
    host.owner = form.Window();
    ShowWindow(form.Window(), show);
    SetFocus(form.Control(form::FocusOrder.front()));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (form.HandleDialogKeys(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace zelk
