// The main window as a native Windows window, built from the form's
// description: standard controls, message boxes and dialog keys.
#pragma once

#include <windows.h>

#include <array>

#include "host/host_services.h"
#include "host/system_files.h"
#include "host/win32_text.h"
#include "ui/form.h"

namespace zelk {

// Message boxes owned by the window: modal, OK only, the application's
// title, the error icon for critical messages and none for plain ones.
class Win32Messages : public virtual FaceServices {
public:
    void ShowMessage(const std::string& text, MessageStyle style) override;
    bool Ask(const std::string& question) override;
    void EndProgram() override;

    HWND owner = nullptr;
};

// The window's host on Windows: the system's files, the window's message boxes.
class Win32Host final : public HostServices, public SystemFiles, public Win32Messages {};

class ZelkPatchForm {
public:
    // Creates the window, hidden, with its controls and composed comment.
    ZelkPatchForm(HostServices& host, HINSTANCE instance);
    ~ZelkPatchForm();
    ZelkPatchForm(const ZelkPatchForm&) = delete;
    ZelkPatchForm& operator=(const ZelkPatchForm&) = delete;

    HWND Window() const { return window_; }
    // The control with the form's name for it ("fldOrigRomFile", ...).
    HWND Control(std::string_view name) const;
    // The four fields as they stand.
    form::Fields CurrentFields() const;
    UINT Dpi() const { return dpi_; }

    // Tab, Shift+Tab and the other keys that move between controls; true
    // when `message` was one of them.
    bool HandleDialogKeys(MSG& message);

private:
    static void RegisterWindowClass(HINSTANCE instance);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND CreateControl(std::size_t index, HINSTANCE instance);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Layout(UINT dpi);
    void FitFont();
    void Form_Load();
    void Command2_Click();
    void Command3_Click();
    void btnExit_Click();
    template <typename Press>
    void RunBusy(Press press);

    HostServices& host_;
    HWND window_ = nullptr;
    std::array<HWND, form::Controls.size()> controls_{};
    HFONT font_ = nullptr;
    UINT dpi_ = 96;
    bool busy_ = false;
    HWND lastFocus_ = nullptr;  // the control to give focus back to
};

// Shows the window, which owns `host`'s message boxes, and runs its message
// loop until the program ends.
int RunMainWindow(Win32Host& host, HINSTANCE instance, int show);

}  // namespace zelk
