#include "ui/form.h"

#include "engine/patch_applier.h"
#include "engine/patch_maker.h"

namespace zelk::form {

std::string ComposeDefaultComment(const std::string& origRomFile, const std::string& chgRomFile) {
    return "Коментарий к патчу сделанному из \r\n" + origRomFile + " и \r\n" + chgRomFile;
}

int CaptionRoom(const Control& control, const std::function<int(int)>& pixels) {
    constexpr int kButtonFrameTwips = 120;
    return pixels(control.width) - (control.kind == ControlKind::Button ? pixels(kButtonFrameTwips) : 0);
}

bool CaptionsFit(const std::function<int(std::string_view)>& textWidth, const std::function<int(int)>& pixels) {
    for (const Control& control : Controls) {
        if (control.kind != ControlKind::Label && control.kind != ControlKind::Button) continue;
        if (textWidth(control.text) > CaptionRoom(control, pixels)) return false;
    }
    return true;
}

double FittedFontPoints(double points, const std::function<bool(double)>& fitsAt) {
    // Sizes a face's own font may take between the steps are kept until the first step.
    while (!fitsAt(points) && points - FontStepPoints >= SmallestFontPoints) points -= FontStepPoints;
    return points;
}

Outcome PressMakePatch(HostServices& host, const Fields& fields) {
    return MakePatch(host, fields.origRomFile, fields.chgRomFile, fields.outPatchFile, fields.patchComment);
}

Outcome PressApplyPatch(HostServices& host, const Fields& fields) {
    return ApplyPatch(host, fields.origRomFile, fields.outPatchFile, fields.chgRomFile);
}

void PressExit(HostServices& host) { host.EndProgram(); }

}  // namespace zelk::form
