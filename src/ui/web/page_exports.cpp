// The page's engine, compiled for the browser's Web Worker: the calls its
// script makes, on the browser's files (web_files.cpp), with messages for
// the page, which shows them in order.
#include <emscripten.h>

#include <stdexcept>

#include "engine/archive_input.h"
#include "engine/archive_output.h"
#include "engine/formats/format.h"
#include "engine/known_original.h"
#include "engine/patch_applier.h"
#include "engine/patch_chain.h"
#include "engine/rom_catalogue.h"
#include "engine/user_texts.h"
#include "host/host_services.h"
#include "host/web_files.h"
#include "ui/form.h"

EM_JS(void, js_show_message, (const char* text, int critical),
      { self.zelk.message(UTF8ToString(text), critical != 0); });
EM_JS(int, js_ask, (const char* question), { return self.zelk.ask(UTF8ToString(question)) ? 1 : 0; });

namespace zelk {
namespace {

// The page's dialogs; a page has no program to end.
class WebMessages : public virtual FaceServices {
public:
    void ShowMessage(const std::string& text, MessageStyle style) override {
        js_show_message(text.c_str(), style == MessageStyle::Critical ? 1 : 0);
    }
    void EndProgram() override {}
    // The worker cannot wait for the user: the page asks once the run is
    // over, and on Yes runs it again with the answer given.
    bool Ask(const std::string& question) override { return js_ask(question.c_str()) != 0; }
};

class WebHost final : public HostServices, public WebFiles, public WebMessages {};

WebHost host;
std::string composed;
std::string checked;
std::string tagged;
std::string choices;
std::string hashed;

}  // namespace
}  // namespace zelk

extern "C" {

EMSCRIPTEN_KEEPALIVE int zelk_make(const char* original, const char* changed, const char* patch, const char* comment) {
    return zelk::form::PressMakePatch(zelk::host, {original, changed, patch, comment}) == zelk::Outcome::Done ? 0 : 1;
}

// The page's field roles: the patch field names the patch, the changed field
// the output. 2: refused for the original's checksum, which the page then
// asks about, and on Yes calls again `anyway`.
EMSCRIPTEN_KEEPALIVE int zelk_apply(const char* original, const char* output, const char* patch, int anyway) {
    using namespace zelk;
    const form::Fields fields{original, output, patch, ""};
    if (anyway) return form::ApplyAnyway(host, fields) == Outcome::Done ? 0 : 1;
    bool refused = false;
    if (form::TryApply(host, fields, refused) == Outcome::Done) return 0;
    return refused ? 2 : 1;
}

// Whether the patch fits the original, in a sentence or two for the page's
// status line (the page asks once both are chosen).
EMSCRIPTEN_KEEPALIVE const char* zelk_check(const char* original, const char* patch) {
    using namespace zelk;
    checked.clear();
    try {
        bool fits = false;
        // The DATs the user keeps in this browser name both ROMs; one that
        // cannot be used is told after the verdict.
        std::vector<std::string> skipped;
        const RomCatalogue names = UserCatalogue(host, {}, skipped);
        if (const auto stop = CheckAny(host, original, form::PatchPaths(patch), ". ", checked, fits, &names))
            checked = stop->text;
        for (const std::string& line : skipped) checked += "\n" + line;
    } catch (const std::exception& failure) {
        checked = FailureText(failure);
    }
    return checked.c_str();
}

// How often the operation reads its inputs through before it is done, as
// the patch's format says, for the page's progress: making, each input;
// applying, the original before anything is written (0 or 1).
EMSCRIPTEN_KEEPALIVE int zelk_passes(const char* patch, int making) {
    using namespace zelk;
    if (making) return static_cast<int>(MakerForName(patch).MakePasses());
    try {
        if (!host.FileExists(patch)) return 0;
        const auto file = host.OpenInput(patch);
        return Recognise(*file).ReadsOriginalFirst() ? 1 : 0;
    } catch (const std::exception&) {
        return 0;  // a patch that cannot be read is the operation's to report
    }
}

// A path field's text with `tag` before each path it names (the patch
// field may name several), so that the worker can tell whose files they are.
EMSCRIPTEN_KEEPALIVE const char* zelk_tag_paths(const char* text, const char* tag) {
    std::vector<std::string> paths = zelk::form::PatchPaths(text);
    for (std::string& path : paths) path.insert(0, tag);
    zelk::tagged = zelk::form::PatchFieldText(paths);
    return zelk::tagged.c_str();
}

// The files to choose from in the archive chosen for a field (`patch`: the
// patch field), one a line; nothing where it is no archive or holds one.
EMSCRIPTEN_KEEPALIVE const char* zelk_choices(const char* path, int patch) {
    using namespace zelk;
    choices.clear();
    try {
        for (const std::string& name : ArchiveChoices(host, path, patch ? Wanted::Patch : Wanted::Rom))
            choices += (choices.empty() ? "" : "\n") + name;
    } catch (const std::exception&) {
        choices.clear();  // a damaged archive is the operation's to report
    }
    return choices.c_str();
}

// A hack's page: the patches the page lists, in order, applied to the ROM
// chosen once it is one of the originals `known` names (a line each, as
// ReadKnownOriginals reads them). 2: refused as none of them, which the
// page then asks about, and on Yes calls again `anyway`.
EMSCRIPTEN_KEEPALIVE int zelk_hack_apply(const char* rom, const char* output, const char* patches, const char* known,
                                         int anyway) {
    using namespace zelk;
    std::vector<KnownOriginal> originals;
    try {
        originals = ReadKnownOriginals(known);
    } catch (const std::invalid_argument& wrong) {
        host.ShowStop(std::string("hack.json: ") + wrong.what(), MessageStyle::Critical);
        return 1;
    }
    // Applied anyway: to the file as it is, each warning said, as the form does.
    if (anyway) return form::ApplyAnyway(host, {rom, output, patches, ""}) == Outcome::Done ? 0 : 1;
    bool refused = false;
    if (ApplyToKnownOriginal(host, rom, originals, form::PatchPaths(patches), output, &refused) ==
        Outcome::Done)
        return 0;
    return refused ? 2 : 1;
}

// The size and hashes of a ROM (or the ROM in a zip), a line each: size,
// CRC-32, MD5, SHA-1; or a line saying why not, after "!".
EMSCRIPTEN_KEEPALIVE const char* zelk_hashes(const char* rom) {
    using namespace zelk;
    hashed.clear();
    try {
        FileHashes hashes;
        if (const auto stop = HashRom(host, rom, hashes)) {
            hashed = "!" + stop->text;
        } else {
            hashed = std::to_string(hashes.size) + "\n" + text::Crc(hashes.crc) + "\n" + text::Hex(hashes.md5) + "\n" +
                     text::Hex(hashes.sha1);
        }
    } catch (const std::exception& failure) {
        hashed = "!" + FailureText(failure);
    }
    return hashed.c_str();
}

// A zip at `output` of the files `members` names, a line each: the name in
// the zip, a tab, the file's path.
EMSCRIPTEN_KEEPALIVE int zelk_zip(const char* output, const char* members) {
    using namespace zelk;
    std::vector<ZipMember> list;
    for (const std::string& line : text::Split(members, '\n')) {
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) list.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    return RunOperation(host, {}, [&] { return WriteZip(host, output, list); }, false) == Outcome::Done ? 0 : 1;
}

EMSCRIPTEN_KEEPALIVE const char* zelk_default_comment(const char* original, const char* changed) {
    zelk::composed = zelk::form::ComposeDefaultComment(original, changed);
    return zelk::composed.c_str();
}

}
