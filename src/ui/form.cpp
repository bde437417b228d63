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

namespace {

// The face's host, its warnings shown as messages: the windows show none
// otherwise, but applying anyway must say what it applied all the same.
class WarningsShown final : public HostServices {
public:
    explicit WarningsShown(HostServices& host) : host_(host) {}
    bool FileExists(const std::string& path) override { return host_.FileExists(path); }
    std::optional<std::string> InputProblem(const std::string& path) override { return host_.InputProblem(path); }
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override { return host_.OpenInput(path); }
    std::unique_ptr<OutputFile> CreateOutput(const std::string& path) override { return host_.CreateOutput(path); }
    std::string TakeLeftBehind() override { return host_.TakeLeftBehind(); }
    std::string ToAnsi(std::string_view utf8) override { return host_.ToAnsi(utf8); }
    std::string FromAnsi(std::string_view bytes) override { return host_.FromAnsi(bytes); }
    BufferSizes Buffers() override { return host_.Buffers(); }
    void ShowMessage(const std::string& text, MessageStyle style) override { host_.ShowMessage(text, style); }
    void ShowStop(const std::string& text, MessageStyle style) override { host_.ShowStop(text, style); }
    void ShowWarning(const std::string& text) override { host_.ShowMessage(text, MessageStyle::Plain); }
    void ShowComment(CommentReader& comment) override { host_.ShowComment(comment); }
    bool Ask(const std::string& question) override { return host_.Ask(question); }
    void EndProgram() override { host_.EndProgram(); }

private:
    HostServices& host_;
};

}  // namespace

Outcome TryApply(HostServices& host, const Fields& fields, bool& refusedForChecksum) {
    refusedForChecksum = false;
    return ApplyPatch(host, fields.origRomFile, fields.outPatchFile, fields.chgRomFile, {}, &refusedForChecksum);
}

Outcome ApplyAnyway(HostServices& host, const Fields& fields) {
    WarningsShown shown(host);
    ApplyOptions options;
    options.ignoreChecksum = true;
    return ApplyPatch(shown, fields.origRomFile, fields.outPatchFile, fields.chgRomFile, options);
}

Outcome PressApplyPatch(HostServices& host, const Fields& fields) {
    bool refused = false;
    const Outcome outcome = TryApply(host, fields, refused);
    if (!refused || !host.Ask(std::string(ApplyAnywayQuestion))) return outcome;
    return ApplyAnyway(host, fields);
}

void PressExit(HostServices& host) { host.EndProgram(); }

}  // namespace zelk::form
