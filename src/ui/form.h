// What the main window is and does, free of any window system: its controls
// with their designed texts and geometry, the keyboard order, the comment it
// composes at start-up, and which engine call each button makes. Each face
// (Qt, Win32, the web page) builds itself from this and adds only what its
// toolkit needs.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/operation.h"
#include "host/host_services.h"

namespace zelk::form {

inline constexpr std::string_view Caption = "ZelkPatcher v1.0 beta";
// The title of every message box.
inline constexpr std::string_view MessageTitle = "ZelkPatcher";
inline constexpr int TwipsPerPixel = 15;  // at 96 dots per inch
inline constexpr int ClientWidthTwips = 6855;
inline constexpr int ClientHeightTwips = 3120;

enum class ControlKind { Label, LineField, CommentField, Button };

// What a field's text is to the engine's calls. The changed field names the
// changed ROM when making a patch and the output when applying one.
enum class Role { None, Original, Changed, Patch, Comment };

constexpr std::string_view RoleName(Role role) {
    switch (role) {
        case Role::Original: return "original";
        case Role::Changed: return "changed";
        case Role::Patch: return "patch";
        case Role::Comment: return "comment";
        case Role::None: break;
    }
    return "";
}

struct Control {
    std::string_view name;
    ControlKind kind;
    std::string_view text;  // caption or initial text
    int left, top, width, height;  // twips, relative to the client area
    Role role = Role::None;        // a field's
};

inline constexpr std::array<Control, 10> Controls{{
    {"Label1", ControlKind::Label, "Original ROM file", 120, 120, 2055, 255},
    {"fldOrigRomFile", ControlKind::LineField, "D:\\TEMP\\a\\test.rom", 2280, 120, 4455, 285, Role::Original},
    {"Label2", ControlKind::Label, "Changed /Output ROM file", 120, 480, 2055, 255},
    {"fldChgRomFile", ControlKind::LineField, "D:\\TEMP\\a\\test1.rom", 2280, 480, 4455, 285, Role::Changed},
    {"Label3", ControlKind::Label, "Output Patch file", 120, 840, 2055, 255},
    {"fldOutPatchFile", ControlKind::LineField, "D:\\TEMP\\a\\ppp.ppp", 2280, 840, 4455, 285, Role::Patch},
    {"Command2", ControlKind::Button, "Make Patch", 2280, 1200, 1215, 375},
    {"Command3", ControlKind::Button, "Apply Patch", 3720, 1200, 1215, 375},
    {"btnExit", ControlKind::Button, "Exit", 5280, 1200, 1215, 375},
    {"fldPatchComment", ControlKind::CommentField, "Пояснения к патчу", 120, 1680, 6615, 1335, Role::Comment},
}};

// The place of the control called `name` in Controls; Controls.size() if none is.
constexpr std::size_t IndexOf(std::string_view name) {
    std::size_t i = 0;
    while (i < Controls.size() && Controls[i].name != name) ++i;
    return i;
}

// Keyboard focus order; focus starts at the first.
inline constexpr std::array<std::string_view, 7> FocusOrder{
    "fldOrigRomFile", "fldChgRomFile", "Command2", "fldOutPatchFile", "Command3", "fldPatchComment", "btnExit"};

// What each button does: the call `command` (PressMakePatch, PressApplyPatch,
// PressExit), which takes the texts of the fields of these roles, in order.
struct Action {
    std::string_view button;
    std::string_view command;
    std::array<Role, 4> arguments;  // Role::None after the last
};

inline constexpr std::array<Action, 3> Actions{{
    {"Command2", "make", {Role::Original, Role::Changed, Role::Patch, Role::Comment}},
    {"Command3", "apply", {Role::Original, Role::Changed, Role::Patch}},
    {"btnExit", "exit", {}},
}};

// Twips to logical pixels; the designed sizes are whole pixels.
constexpr int Pixels(int twips) { return twips / TwipsPerPixel; }

// The width a label's or button's caption may take, for a face that turns
// twips into its pixels with `pixels`: a button keeps room for its frame.
int CaptionRoom(const Control& control, const std::function<int(int)>& pixels);

// Whether every label's and button's caption fits its room, for a face that
// measures text in pixels with `textWidth`.
bool CaptionsFit(const std::function<int(std::string_view)>& textWidth, const std::function<int(int)>& pixels);

// The form was designed for a narrow system font. Where the face's font is
// wider, the whole form takes a smaller one, half a point at a time, until
// every caption fits or the font reaches the smallest size still read with
// ease; the geometry stays as designed.
inline constexpr double FontStepPoints = 0.5;
inline constexpr double SmallestFontPoints = 6.5;
// The size the form's font takes, from the face's own `points`; `fitsAt`
// says whether the captions fit at a size.
double FittedFontPoints(double points, const std::function<bool(double)>& fitsAt);

// The comment field's text at start-up, from the two ROM paths.
std::string ComposeDefaultComment(const std::string& origRomFile, const std::string& chgRomFile);

// The texts of the four fields as they stand when a button is pressed.
struct Fields {
    std::string origRomFile;
    std::string chgRomFile;
    std::string outPatchFile;
    std::string patchComment;
};

// The patch field may name several patches, applied in order: each in
// double quotes, one after another, as a file dialog that takes several
// files writes them:
//   "C:\hacks\translation.bps" "C:\hacks\fixes.zip"
// Any other text is one path, exactly as typed.
std::vector<std::string> PatchPaths(const std::string& fieldText);
// The field text for `paths`: one path as it is, several each quoted.
std::string PatchFieldText(const std::vector<std::string>& paths);
// What a field of `role` reads once `paths` are dropped on it, in the order
// the drop gives them: the patch field takes several, the others one; an
// empty text where the field takes none of them.
std::string DroppedText(Role role, const std::vector<std::string>& paths);

// Make Patch: the changed field is the changed ROM.
Outcome PressMakePatch(HostServices& host, const Fields& fields);
// Apply Patch: the changed field is the output, the patch field the patch
// (or the patches, in order).
// A patch refused because the original's checksum is not its own asks,
// after the message that names both, whether to apply it anyway.
inline constexpr std::string_view ApplyAnywayQuestion = "Apply anyway?";
Outcome PressApplyPatch(HostServices& host, const Fields& fields);
// Its two halves, for the page, which asks once its worker has finished:
// applying, telling whether the original's checksum refused the patch; and
// applying all the same, each warning shown as a message.
Outcome TryApply(HostServices& host, const Fields& fields, bool& refusedForChecksum);
Outcome ApplyAnyway(HostServices& host, const Fields& fields);
void PressExit(HostServices& host);

}  // namespace zelk::form
