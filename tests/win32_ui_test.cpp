// The native Windows window under Wine, driven by real key presses.
#include <shlobj.h>

#include <cstring>

#include "test_support.h"
#include "ui/form.h"
#include "ui/win32/main_window.h"

namespace zelk::test {
namespace {

struct Rect {
    int left, top, width, height;
    bool operator==(const Rect&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rect& r) {
    return out << "(" << r.left << ", " << r.top << ", " << r.width << ", " << r.height << ")";
}

class Win32WindowTest : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        form_ = std::make_unique<ZelkPatchForm>(host_, GetModuleHandleW(nullptr));
        ShowWindow(form_->Window(), SW_SHOWNORMAL);
        SetForegroundWindow(form_->Window());
        SetFocus(form_->Control("fldOrigRomFile"));
        Pump();
    }
    void TearDown() override {
        form_.reset();
        Pump();
        FileTest::TearDown();
    }
    // Delivers what is queued the way the program's own loop does.
    void Pump() {
        for (int round = 0; round < 5; ++round) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (form_ != nullptr && form_->HandleDialogKeys(message)) continue;
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            Sleep(5);
        }
    }
    // Key presses through the system's input queue, as a keyboard makes them.
    void Press(WORD key, bool shift = false) {
        std::vector<INPUT> inputs;
        const auto add = [&](WORD vk, bool up) {
            INPUT input{};
            input.type = INPUT_KEYBOARD;
            input.ki.wVk = vk;
            input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
            inputs.push_back(input);
        };
        if (shift) add(VK_SHIFT, false);
        add(key, false);
        add(key, true);
        if (shift) add(VK_SHIFT, true);
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
        Pump();
    }
    void Type(std::wstring_view text) {
        for (const wchar_t c : text) {
            INPUT inputs[2]{};
            for (int i = 0; i < 2; ++i) {
                inputs[i].type = INPUT_KEYBOARD;
                inputs[i].ki.wScan = c;
                inputs[i].ki.dwFlags = KEYEVENTF_UNICODE | (i == 1 ? KEYEVENTF_KEYUP : 0);
            }
            SendInput(2, inputs, sizeof(INPUT));
        }
        Pump();
    }
    std::string Focused() const {
        for (const form::Control& control : form::Controls)
            if (form_->Control(control.name) == GetFocus()) return std::string(control.name);
        return "(none)";
    }
    Rect Place(HWND control) const {
        RECT r;
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, form_->Window(), reinterpret_cast<POINT*>(&r), 2);
        return {r.left, r.top, r.right - r.left, r.bottom - r.top};
    }
    void SetText(const char* name, const std::string& text) {
        SetWindowTextW(form_->Control(name), FromUtf8(text).c_str());
    }
    std::string FieldText(const char* name) const {
        std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(form_->Control(name))) + 1, L'\0');
        text.resize(static_cast<std::size_t>(GetWindowTextW(form_->Control(name), text.data(), static_cast<int>(text.size()))));
        return ToUtf8(text);
    }
    // Files dropped from Explorer on the control `name`, as Explorer hands them over.
    void DropOn(const char* name, const std::vector<std::string>& paths) {
        std::wstring list;
        for (const std::string& path : paths) list += FromUtf8(path) + L'\0';
        list += L'\0';
        const HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
        ASSERT_NE(memory, nullptr);
        auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
        drop->pFiles = sizeof(DROPFILES);
        drop->fWide = TRUE;
        std::memcpy(reinterpret_cast<char*>(drop) + sizeof(DROPFILES), list.data(), list.size() * sizeof(wchar_t));
        GlobalUnlock(memory);
        SendMessageW(form_->Control(name), WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);  // DragFinish frees it
        Pump();
    }

    RecordingHost host_;
    std::unique_ptr<ZelkPatchForm> form_;
};

TEST_F(Win32WindowTest, ControlsSitAtTheirDesignedPixelsAtEveryDpi) {
    struct Layout {
        UINT dpi;
        SIZE client;
        std::vector<std::pair<const char*, Rect>> controls;
    };
    const Layout layouts[] = {
        {96, {457, 208},
         {{"Label1", {8, 8, 137, 17}}, {"fldOrigRomFile", {152, 8, 297, 19}}, {"Label2", {8, 32, 137, 17}},
          {"fldChgRomFile", {152, 32, 297, 19}}, {"Label3", {8, 56, 137, 17}}, {"fldOutPatchFile", {152, 56, 297, 19}},
          {"Command2", {152, 80, 81, 25}}, {"Command3", {248, 80, 81, 25}}, {"btnExit", {352, 80, 81, 25}},
          {"fldPatchComment", {8, 112, 441, 89}}}},
        // 1.5 times, halves rounded up.
        {144, {686, 312},
         {{"Label1", {12, 12, 206, 26}}, {"fldOrigRomFile", {228, 12, 446, 29}}, {"Label2", {12, 48, 206, 26}},
          {"fldChgRomFile", {228, 48, 446, 29}}, {"Label3", {12, 84, 206, 26}}, {"fldOutPatchFile", {228, 84, 446, 29}},
          {"Command2", {228, 120, 122, 38}}, {"Command3", {372, 120, 122, 38}}, {"btnExit", {528, 120, 122, 38}},
          {"fldPatchComment", {12, 168, 662, 134}}}},
    };
    ASSERT_EQ(form_->Dpi(), 96u) << "the test expects Wine's default of 96 DPI";
    EXPECT_EQ(FromUtf8("ZelkPatcher v1.0 beta"), [&] {
        wchar_t caption[64] = {};
        GetWindowTextW(form_->Window(), caption, 64);
        return std::wstring(caption);
    }());
    for (const Layout& layout : layouts) {
        if (layout.dpi != form_->Dpi()) {
            // As Windows says it when the window moves to a monitor with another DPI.
            RECT suggested{0, 0, 100, 100};
            SendMessageW(form_->Window(), WM_DPICHANGED, MAKEWPARAM(layout.dpi, layout.dpi),
                         reinterpret_cast<LPARAM>(&suggested));
        }
        RECT client;
        GetClientRect(form_->Window(), &client);
        EXPECT_EQ(client.right, layout.client.cx) << layout.dpi;
        EXPECT_EQ(client.bottom, layout.client.cy) << layout.dpi;
        for (const auto& [name, rect] : layout.controls) EXPECT_EQ(Place(form_->Control(name)), rect) << name;
        // Every caption fits in the font chosen.
        const HDC dc = GetDC(form_->Window());
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(form_->Control("Label2"), WM_GETFONT, 0, 0)));
        SIZE size{};
        GetTextExtentPoint32W(dc, L"Changed /Output ROM file", 24, &size);
        ReleaseDC(form_->Window(), dc);
        EXPECT_LE(size.cx, layout.controls[2].second.width) << layout.dpi;
    }
}

TEST_F(Win32WindowTest, KeysWalkTheDesignedOrderAndPressNothingElse) {
    ASSERT_EQ(Focused(), "fldOrigRomFile");
    const std::string before = form_->CurrentFields().patchComment;
    for (const char* name : {"fldChgRomFile", "Command2", "fldOutPatchFile", "Command3", "fldPatchComment", "btnExit",
                             "fldOrigRomFile"}) {
        Press(VK_TAB);
        EXPECT_EQ(Focused(), name);
    }
    for (const char* name : {"btnExit", "fldPatchComment", "Command3"}) {
        Press(VK_TAB, true);
        EXPECT_EQ(Focused(), name);
    }
    // Tab left the comment as it was; Enter and Escape in the path fields press nothing.
    EXPECT_EQ(form_->CurrentFields().patchComment, before);
    for (const char* name : {"fldOrigRomFile", "fldChgRomFile", "fldOutPatchFile"}) {
        SetFocus(form_->Control(name));
        Press(VK_RETURN);
        Press(VK_ESCAPE);
    }
    // Escape in the comment neither ends the program nor changes the text.
    SetFocus(form_->Control("fldPatchComment"));
    Press(VK_ESCAPE);
    EXPECT_EQ(form_->CurrentFields().patchComment, before);
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_FALSE(host_.ended);
    EXPECT_TRUE(IsWindowVisible(form_->Window()));
}

TEST_F(Win32WindowTest, MakeAndApplyThroughTheButtonsWithTheComposedComment) {
    const std::string composed =
        "\xCA\xEE\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9 \xEA \xEF\xE0\xF2\xF7\xF3 \xF1\xE4\xE5\xEB\xE0\xED\xED\xEE\xEC\xF3 "
        "\xE8\xE7 \r\nD:\\TEMP\\a\\test.rom \xE8 \r\nD:\\TEMP\\a\\test1.rom";
    SetText("fldOrigRomFile", Write("a.rom", {1, 2, 3, 4}));
    SetText("fldChgRomFile", Write("b.rom", {1, 9, 3, 4, 5}));
    SetText("fldOutPatchFile", Path("p.ppp"));
    SetFocus(form_->Control("Command2"));
    Press(VK_SPACE);
    ASSERT_EQ(host_.messages, std::vector{Plain("Done ZelkPatch generation!")});
    EXPECT_EQ(Read("p.ppp"), PatchBytes({{1, {9}}, {4, {5}}}, composed));

    host_.messages.clear();
    SetText("fldChgRomFile", Path("rebuilt.rom"));
    SetFocus(form_->Control("Command3"));
    Press(VK_SPACE);
    EXPECT_EQ(host_.messages.size(), 2u);
    EXPECT_EQ(host_.messages.back(), Plain("Done applying ZelkPatch! "));
    EXPECT_EQ(Read("rebuilt.rom"), (Bytes{1, 9, 3, 4, 5}));

    SetFocus(form_->Control("btnExit"));
    Press(VK_SPACE);
    EXPECT_TRUE(host_.ended);
}

TEST_F(Win32WindowTest, SeveralPatchesDroppedOrTypedApplyInOrder) {
    const Bytes c = WriteThreeVersions();
    ASSERT_EQ(form::PressMakePatch(host_, {Path("a.rom"), Path("b.rom"), Path("1.bps"), ""}), Outcome::Done);
    ASSERT_EQ(form::PressMakePatch(host_, {Path("b.rom"), Path("c.rom"), Path("2.ips"), ""}), Outcome::Done);
    Write("1.zip", MakeArchive(Kind::ZipDeflated, {{"readme.txt", Text("read me")}, {"hack/1.bps", Read("1.bps")}}));
    host_.messages.clear();
    DropOn("fldOrigRomFile", {Path("1.zip"), Path("2.ips")});
    EXPECT_EQ(FieldText("fldOrigRomFile"), "D:\\TEMP\\a\\test.rom");
    DropOn("fldOutPatchFile", {Path("1.zip"), Path("2.ips")});
    EXPECT_EQ(FieldText("fldOutPatchFile"), form::PatchFieldText({Path("1.zip"), Path("2.ips")}));
    SetText("fldOrigRomFile", Path("a.rom"));
    SetText("fldChgRomFile", Path("out.rom"));
    SetFocus(form_->Control("Command3"));
    Press(VK_SPACE);
    EXPECT_EQ(host_.messages, std::vector{Plain("Done applying 2 patches!")});
    EXPECT_EQ(Read("out.rom"), c);

    // Typed the other way round, the BPS patch meets the IPS patch's result: asked, No, nothing written.
    host_.messages.clear();
    SetText("fldOutPatchFile", "");
    SetText("fldChgRomFile", Path("none.rom"));
    SetFocus(form_->Control("fldOutPatchFile"));
    Type(FromUtf8(form::PatchFieldText({Path("2.ips"), Path("1.zip") + "\\hack\\1.bps"})));
    SetFocus(form_->Control("Command3"));
    Press(VK_SPACE);
    ASSERT_EQ(host_.messages.size(), 2u);
    EXPECT_EQ(host_.messages[0].text.rfind("patch 2 of 2, " + Path("1.zip") + "\\hack\\1.bps, does not fit the result of patch 1", 0), 0u)
        << host_.messages[0].text;
    EXPECT_FALSE(Exists("none.rom"));
}

TEST_F(Win32WindowTest, TheCommentArrivesExactlyAsTyped) {
    const HWND comment = form_->Control("fldPatchComment");
    SetFocus(comment);
    SendMessageW(comment, EM_SETSEL, 0, -1);
    Type(L"a\u00A0b\tя");
    Press(VK_RETURN);  // a new line, as in any editor
    Type(L"c");
    EXPECT_EQ(form_->CurrentFields().patchComment, "a\u00A0b\tя\r\nc");
    SetText("fldOrigRomFile", Write("a.rom", {1}));
    SetText("fldChgRomFile", Write("b.rom", {1}));
    SetText("fldOutPatchFile", Path("p.ppp"));
    SetFocus(form_->Control("Command2"));
    Press(VK_SPACE);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({}, "a\xA0" "b\t\xFF\r\nc"));
}

// What a message box showed, read while it was up, then closed with OK.
struct SeenBox {
    std::wstring title, text;
    bool icon = false;
    HWND owner = nullptr;
};

SeenBox seen;
std::vector<SeenBox> boxes;

BOOL CALLBACK ReadChild(HWND child, LPARAM) {
    wchar_t type[32] = {};
    GetClassNameW(child, type, 32);
    if (std::wstring(type) != L"Static" || !IsWindowVisible(child)) return TRUE;
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        seen.icon = seen.icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
    } else if (GetWindowTextLengthW(child) > 0 && seen.text.empty()) {
        wchar_t words[512] = {};
        GetWindowTextW(child, words, 512);
        seen.text = words;
    }
    return TRUE;
}

// Runs inside each message box's own loop: reads the box, then presses OK.
void CALLBACK ReadBox(HWND, UINT, UINT_PTR, DWORD) {
    const HWND box = FindWindowW(L"#32770", FromUtf8(form::MessageTitle).c_str());
    if (box == nullptr || !IsWindowVisible(box)) return;
    seen = {};
    wchar_t title[512] = {};
    GetWindowTextW(box, title, 512);
    seen.title = title;
    seen.owner = GetWindow(box, GW_OWNER);
    EnumChildWindows(box, ReadChild, 0);
    boxes.push_back(seen);
    SendMessageW(box, WM_COMMAND, IDOK, 0);
}

TEST_F(Win32WindowTest, MessageBoxesComeInOrderOwnedTitledAndIconed) {
    // The window with the real message boxes of the program.
    Win32Host host;
    form_.reset();
    form_ = std::make_unique<ZelkPatchForm>(host, GetModuleHandleW(nullptr));
    host.owner = form_->Window();
    ShowWindow(form_->Window(), SW_SHOWNORMAL);
    SetText("fldOrigRomFile", Write("a.rom", {1, 2}));
    SetText("fldOutPatchFile", Write("p.ppp", PatchBytes({{0, {7}}}, "\xCF\xF0\xE8\xE2\xE5\xF2\r\n!")));
    SetText("fldChgRomFile", Path("out.rom"));
    boxes.clear();
    const UINT_PTR timer = SetTimer(nullptr, 0, 30, ReadBox);
    SetFocus(form_->Control("Command3"));
    Press(VK_SPACE);
    // Focus came back to the button: the same key presses it again.
    SetText("fldOrigRomFile", Path("none.rom"));
    Press(VK_SPACE);
    KillTimer(nullptr, timer);
    ASSERT_EQ(boxes.size(), 3u);
    // The comment first, then "Done"; a failure with the error icon.
    EXPECT_EQ(boxes[0].text, L"Привет\r\n!");
    EXPECT_FALSE(boxes[0].icon);
    EXPECT_EQ(boxes[1].text, L"Done applying ZelkPatch! ");
    EXPECT_FALSE(boxes[1].icon);
    EXPECT_EQ(boxes[2].text, FromUtf8("нету файла " + Path("none.rom")));
    EXPECT_TRUE(boxes[2].icon);
    for (const SeenBox& box : boxes) {
        EXPECT_EQ(box.title, L"ZelkPatcher");
        EXPECT_EQ(box.owner, form_->Window());
    }
    EXPECT_EQ(Read("out.rom"), (Bytes{7, 2}));
}

}  // namespace
}  // namespace zelk::test
