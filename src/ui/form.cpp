#include "ui/form.h"

#include "engine/patch_applier.h"
#include "engine/patch_chain.h"
#include "engine/patch_maker.h"
#include "engine/rom_catalogue.h"
#include "host/forwarding_host.h"

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

std::vector<std::string> PatchPaths(const std::string& fieldText) {
    std::vector<std::string> paths;
    std::size_t at = fieldText.find_first_not_of(" \t");
    if (at == std::string::npos || fieldText[at] != '"') return {fieldText};
    while (at != std::string::npos) {
        const std::size_t end = fieldText[at] == '"' ? fieldText.find('"', at + 1) : std::string::npos;
        if (end == std::string::npos || end == at + 1) return {fieldText};
        paths.push_back(fieldText.substr(at + 1, end - at - 1));
        at = fieldText.find_first_not_of(" \t", end + 1);
        if (at != std::string::npos && at == end + 1) return {fieldText};  // "a""b": no list
    }
    return paths;
}

std::string PatchFieldText(const std::vector<std::string>& paths) {
    if (paths.size() == 1) return paths.front();
    std::string text;
    for (const std::string& path : paths) text += (text.empty() ? "\"" : " \"") + path + "\"";
    return text;
}

std::string DroppedText(Role role, const std::vector<std::string>& paths) {
    if (paths.empty() || (paths.size() > 1 && role != Role::Patch)) return {};
    return PatchFieldText(paths);
}

Outcome PressMakePatch(HostServices& host, const Fields& fields) {
    return MakePatch(host, fields.origRomFile, fields.chgRomFile, fields.outPatchFile, fields.patchComment);
}

namespace {

// The face's host, its warnings shown as messages: the windows show none
// otherwise, but applying anyway must say what it applied all the same.
class WarningsShown final : public ForwardingHost {
public:
    using ForwardingHost::ForwardingHost;
    void ShowWarning(const std::string& text) override { host_.ShowMessage(text, MessageStyle::Plain); }
};

}  // namespace

Outcome TryApply(HostServices& host, const Fields& fields, bool& refusedForChecksum) {
    refusedForChecksum = false;
    // The DATs in the user's default folder name both ROMs in a refusal;
    // those that cannot be used are told in one message before it, the only
    // time a window reads them.
    ApplyOptions options;
    options.names = UserCatalogueOnDemand(host, {}, [&host](const std::vector<std::string>& lines) {
        std::string said;
        for (const std::string& line : lines) said += (said.empty() ? "" : "\n") + line;
        host.ShowMessage(said, MessageStyle::Plain);
    });
    return ApplyPatches(host, fields.origRomFile, PatchPaths(fields.outPatchFile), fields.chgRomFile, options,
                        &refusedForChecksum);
}

Outcome ApplyAnyway(HostServices& host, const Fields& fields) {
    WarningsShown shown(host);
    ApplyOptions options;
    options.ignoreChecksum = true;
    return ApplyPatches(shown, fields.origRomFile, PatchPaths(fields.outPatchFile), fields.chgRomFile, options);
}

Outcome PressApplyPatch(HostServices& host, const Fields& fields) {
    bool refused = false;
    const Outcome outcome = TryApply(host, fields, refused);
    if (!refused || !host.Ask(std::string(ApplyAnywayQuestion))) return outcome;
    return ApplyAnyway(host, fields);
}

void PressExit(HostServices& host) { host.EndProgram(); }

}  // namespace zelk::form
