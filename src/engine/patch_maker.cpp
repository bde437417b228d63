#include "engine/patch_maker.h"

#include <memory>

#include "engine/archive_input.h"
#include "engine/user_texts.h"

namespace zelk {

namespace {

// The inputs are opened as files of bytes (two .apk files are any files,
// an archive named through is still read from), each held to what the
// format can describe as soon as it is open; the patch is written, and
// replaces its target once the inputs are closed: the target may be one of
// them, and Windows replaces no file that is open.
std::optional<Stop> MakeWith(HostServices& host, const PatchFormat& format, const MakeRequest& request) {
    if (!format.Makes()) return Stop{text::NotMade(format.Name())};
    std::unique_ptr<InputFile> original, changed;
    if (auto stop = OpenSource(host, request.originalPath, Wanted::Rom, request.patchPath, original, AsItIs)) return stop;
    if (auto stop = format.RefuseInputs(request, *original, nullptr)) return stop;
    if (auto stop = OpenSource(host, request.changedPath, Wanted::Rom, request.patchPath, changed, AsItIs)) return stop;
    if (auto stop = format.RefuseInputs(request, *original, changed.get())) return stop;
    auto patch = host.CreateOutput(request.patchPath);
    const std::string note = format.Make(host, request, MakeFiles{*original, *changed, *patch});
    original.reset();
    changed.reset();
    CommitOutput(host, *patch);
    if (!note.empty()) host.ShowMessage(note, MessageStyle::Plain);
    if (!format.KeepsComment() && !request.comment.empty())
        host.ShowMessage(text::CommentNotStored(format.Name()), MessageStyle::Plain);
    return std::nullopt;
}

}  // namespace

Outcome MakePatch(HostServices& host, const std::string& originalPath, const std::string& changedPath,
                  const std::string& patchPath, const std::string& commentText, const PatchFormat* format) {
    // A name that asks for another format than the one written is told.
    std::string note;
    if (format == nullptr) {
        if (const PatchFormat* readOnly = ReadOnlyFormatForName(patchPath)) note = text::OwnInstead(readOnly->Name(), patchPath);
        format = &MakerForName(patchPath);
    } else if (const PatchFormat* named = NamedFormat(patchPath); named != nullptr && !GivenName(*format, patchPath)) {
        note = text::NamedOtherwise(patchPath, named->Name(), format->Name());
    }
    const MakeRequest request{originalPath, changedPath, patchPath, commentText};
    return RunOperation(host, format->MakeDone(), [&] {
        auto stop = MakeWith(host, *format, request);
        if (!stop && !note.empty()) host.ShowMessage(note, MessageStyle::Plain);
        return stop;
    });
}

}  // namespace zelk
