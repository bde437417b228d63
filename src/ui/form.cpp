#include "ui/form.h"

#include "engine/patch_applier.h"
#include "engine/patch_maker.h"

namespace zelk::form {

std::string ComposeDefaultComment(const std::string& origRomFile, const std::string& chgRomFile) {
    return "Коментарий к патчу сделанному из \r\n" + origRomFile + " и \r\n" + chgRomFile;
}

bool CaptionsFit(const std::function<int(std::string_view)>& textWidth, const std::function<int(int)>& pixels) {
    // A button needs room for its frame besides the text.
    const int buttonMargin = pixels(120);
    for (const Control& control : Controls) {
        if (control.kind == ControlKind::Label && textWidth(control.text) > pixels(control.width)) return false;
        if (control.kind == ControlKind::Button && textWidth(control.text) + buttonMargin > pixels(control.width))
            return false;
    }
    return true;
}

Outcome PressMakePatch(HostServices& host, const Fields& fields) {
    return MakePatch(host, fields.origRomFile, fields.chgRomFile, fields.outPatchFile, fields.patchComment);
}

Outcome PressApplyPatch(HostServices& host, const Fields& fields) {
    return ApplyPatch(host, fields.origRomFile, fields.outPatchFile, fields.chgRomFile);
}

void PressExit(HostServices& host) { host.EndProgram(); }

}  // namespace zelk::form
