#include "ui/form.h"

#include "engine/patch_applier.h"
#include "engine/patch_maker.h"

namespace zelk::form {

std::string ComposeDefaultComment(const std::string& origRomFile, const std::string& chgRomFile) {
    return "Коментарий к патчу сделанному из \r\n" + origRomFile + " и \r\n" + chgRomFile;
}

Outcome PressMakePatch(HostServices& host, const Fields& fields) {
    return MakePatch(host, fields.origRomFile, fields.chgRomFile, fields.outPatchFile, fields.patchComment);
}

Outcome PressApplyPatch(HostServices& host, const Fields& fields) {
    return ApplyPatch(host, fields.origRomFile, fields.outPatchFile, fields.chgRomFile);
}

void PressExit(HostServices& host) { host.EndProgram(); }

}  // namespace zelk::form
