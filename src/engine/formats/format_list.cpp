// The one list of formats. A new format is a module of its own and one line
// here; nothing else in the engine or the faces changes.
#include <algorithm>
#include <cstring>

#include "engine/formats/aps.h"
#include "engine/formats/bdf.h"
#include "engine/formats/bps.h"
#include "engine/formats/format.h"
#include "engine/formats/ips.h"
#include "engine/formats/ppf.h"
#include "engine/formats/rup.h"
#include "engine/formats/ups.h"
#include "engine/formats/vcdiff.h"
#include "engine/file_names.h"
#include "engine/own_format.h"
#include "engine/user_texts.h"

namespace zelk {

const std::vector<const PatchFormat*>& Formats() {
    static const std::vector<const PatchFormat*> list{
        &BpsFormat(),
        &UpsFormat(),
        &IpsFormat(),
        &Ips32Format(),
        &EbpFormat(),  // recognised as IPS, which hands it over
        &VcdiffFormat(),
        &VcdiffLzmaFormat(),  // made when asked for; read as the one before
        &PpfFormat(),
        &BdfFormat(),
        &ApsFormat(),
        &ApsGbaFormat(),  // after the N64 form, whose magic starts the same
        &RupFormat(),
        &OwnFormat(),  // last: it takes whatever no other format recognises
    };
    return list;
}

bool StartsWith(std::span<const std::uint8_t> head, std::string_view magic) {
    return head.size() >= magic.size() && std::memcmp(head.data(), magic.data(), magic.size()) == 0;
}

const PatchFormat& Recognise(InputFile& patch) {
    std::uint8_t head[kRecognisedBytes] = {};
    const std::size_t got = patch.ReadAt(0, head);
    for (const PatchFormat* format : Formats())
        if (format->Recognises({head, got})) return *format;
    return OwnFormat();
}

bool GivenName(const PatchFormat& format, const std::string& patchPath) {
    const auto names = format.Extensions();
    return std::find(names.begin(), names.end(), LowerExtension(patchPath)) != names.end();
}

bool LooksLikePatch(const std::string& name, std::optional<std::span<const std::uint8_t>> head) {
    return std::any_of(Formats().begin(), Formats().end(),
                       [&](const PatchFormat* format) { return head ? format->Marked(*head) : GivenName(*format, name); });
}

const PatchFormat* MakerNamed(std::string_view key) {
    for (const PatchFormat* format : Formats())
        if (format->Makes() && format->Key() == key) return format;
    return nullptr;
}

namespace {

// The format, making or not, whose extension the name has.
const PatchFormat* ClaimedBy(const std::string& patchPath, bool makes) {
    for (const PatchFormat* format : Formats())
        if (format != &OwnFormat() && format->Makes() == makes && GivenName(*format, patchPath)) return format;
    return nullptr;
}

}  // namespace

const PatchFormat& MakerForName(const std::string& patchPath) {
    const PatchFormat* format = ClaimedBy(patchPath, true);
    return format ? *format : OwnFormat();
}

const PatchFormat* ReadOnlyFormatForName(const std::string& patchPath) { return ClaimedBy(patchPath, false); }

const PatchFormat* NamedFormat(const std::string& patchPath) {
    const PatchFormat* format = ClaimedBy(patchPath, true);
    return format != nullptr ? format : ClaimedBy(patchPath, false);
}

std::vector<std::string_view> MakerKeyList() {
    std::vector<std::string_view> keys{OwnFormat().Key()};
    for (const PatchFormat* format : Formats())
        if (format->Makes() && format != &OwnFormat()) keys.push_back(format->Key());
    return keys;
}

std::string MakerKeys() {
    const std::vector<std::string_view> keys = MakerKeyList();
    std::string said;
    for (std::size_t i = 0; i < keys.size(); ++i)
        said += std::string(i == 0 ? "" : i + 1 == keys.size() ? " or " : ", ") + std::string(keys[i]);
    return said;
}

std::string PatchFormat::MakeDone() const { return text::ForeignMakeDone(Name()); }

std::string PatchFormat::Make(HostServices&, const MakeRequest&, const MakeFiles&) const {
    throw FileError(text::NotMade(Name()));
}

}  // namespace zelk
