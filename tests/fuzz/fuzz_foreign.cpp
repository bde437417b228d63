// Arbitrary IPS, IPS32, UPS, BPS, PPF, BDF, APS (both forms) and RUP patches applied to a small original:
// either a message without "Done" and without output, or exactly what the
// formats' descriptions make (the models in format_models.h).
#include <cstring>

#include "../format_models.h"
#include "engine/formats/aps.h"
#include "engine/patch_applier.h"
#include "engine/user_texts.h"
#include "memory_host.h"

using namespace zelk;
using namespace zelk::fuzz;
namespace model = zelk::test::model;

namespace {

// PPF's magic comes with its encoding byte.
const char* const kMagic[] = {"PATCH",    "IPS32", "UPS1",   "BPS1", "PPF10\0", "PPF20\1",
                              "PPF30\2", "BSDIFF40", "APS10", "NINJA2", "APS1"};
const std::size_t kMagicSize[] = {5, 5, 4, 4, 6, 6, 6, 8, 5, 6, 4};
const char* const kName[] = {"IPS", "IPS32", "UPS", "BPS", "PPF", "PPF", "PPF", "BDF", "APS", "RUP", "APS (GBA)"};
constexpr int kBdf = 7, kAps = 8, kRup = 9, kApsGba = 10, kKinds = 11;

void Footer(Bytes& patch, std::uint32_t source, std::uint32_t target) {
    model::PutLe32(patch, source);
    model::PutLe32(patch, target);
    model::PutLe32(patch, model::Crc(patch));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int kind = (data[0] & 15) % kKinds;
    // Most UPS and BPS inputs should get past the checksums: the bit asks
    // for a footer that agrees with the original and the result.
    const bool footer = (kind == 2 || kind == 3) && (data[0] & 16) != 0;
    const std::size_t originalSize = std::min<std::size_t>(data[1], size - 2);
    const Bytes original(data + 2, data + 2 + originalSize);
    if (StartsAsArchive(original)) return 0;  // read as an archive
    Bytes patch(kMagic[kind], kMagic[kind] + kMagicSize[kind]);
    patch.insert(patch.end(), data + 2 + originalSize, data + size);
    // An APS patch states its result's size outright: kept small, as the files here are in memory.
    if (kind == kAps && patch.size() >= 61) {
        const std::size_t at = patch[5] == 1 ? 74 : 57;
        if (at + 4 <= patch.size() && (patch[at + 2] != 0 || patch[at + 3] != 0)) return 0;
    }
    if (kind == kApsGba && patch.size() >= 12 && (patch[10] != 0 || patch[11] != 0)) return 0;
    // "APS10" is the N64 form only with its type and encoding bytes; else it
    // is the GBA form's "APS1" and a size: each form's inputs are its own.
    const std::span<const std::uint8_t> head(patch.data(), std::min(patch.size(), kRecognisedBytes));
    if ((kind == kAps || kind == kApsGba) && ApsFormat().Recognises(head) != (kind == kAps)) return 0;

    MemoryHost host;
    host.files["a.rom"] = original;
    if (footer) {
        // The result as the program makes it, whatever its checksum.
        Bytes trial = patch;
        Footer(trial, model::Crc(original), 0);
        host.files["p.pat"] = trial;
        ApplyPatch(host, "a.rom", "p.pat", "out.rom", {true});
        const auto made = host.files.find("out.rom");
        Footer(patch, model::Crc(original), made == host.files.end() ? 0 : model::Crc(made->second));
        host.files.erase("out.rom");
        host.messages.clear();
    }
    host.files["p.pat"] = patch;
    const Outcome outcome = ApplyPatch(host, "a.rom", "p.pat", "out.rom");
    Require(!host.messages.empty());
    // IPS with JSON after its mark is EBP.
    const std::string& said = host.messages.back().text;
    const bool saidDone = said == text::ForeignDone(kName[kind]) || (kind == 0 && said == text::ForeignDone("EBP"));
    Require(saidDone == (outcome == Outcome::Done));
    Require(host.files["a.rom"] == original && host.files["p.pat"] == patch);
    if (outcome != Outcome::Done) {
        Require(host.files.count("out.rom") == 0);
        return 0;
    }
    // RUP's result was held to the MD5 its patch gives it before it was kept.
    // One made through a view (a header kept, a byte order given back) is
    // not what the models, reading the file as it is, make of it.
    if (kind == kRup || AppliedThroughView(host, "a.rom")) return 0;
    // BDF has no model here (its streams are bzip2): the result has the size it states.
    if (kind == kBdf) {
        std::uint64_t stated = 0;
        for (int i = 7; i >= 0; --i) stated = stated << 8 | patch[24 + static_cast<std::size_t>(i)];
        Require(host.files["out.rom"].size() == stated);
        return 0;
    }
    // Sound by the program's reading: the models read it too, and agree.
    Bytes expected, back;
    if (kind == kApsGba) {
        // Given the file it makes, the patch turns it back: the same patch
        // with its two sizes, and each block's two CRC16s, swapped.
        Bytes swapped = patch;
        std::swap_ranges(swapped.begin() + 4, swapped.begin() + 8, swapped.begin() + 8);
        for (std::size_t at = 12; at + 8 <= swapped.size(); at += 8 + 0x10000)
            std::swap_ranges(swapped.begin() + at + 4, swapped.begin() + at + 6, swapped.begin() + at + 6);
        const Bytes& made = host.files["out.rom"];
        for (const Bytes& reading : {patch, swapped}) {
            try {
                if (model::ApplyApsGba(original, reading) == made) return 0;
            } catch (const std::exception&) {
            }
        }
        Require(false);
    }
    try {
        expected = kind < 2 ? model::ApplyIps(original, patch)
                   : kind == 2 ? model::ApplyUps(original, patch)
                   : kind == 3 ? model::ApplyBps(original, patch)
                   : kind == kAps ? model::ApplyAps(original, patch)
                   : kind == kApsGba ? model::ApplyApsGba(original, patch)
                               : model::ApplyPpf(original, patch);
        // A PPF patch with undo data may turn the file back instead.
        if (kind >= 4 && kind <= 6) back = model::ApplyPpf(original, patch, true);
    } catch (const std::exception&) {
        Require(false);
    }
    Require(host.files["out.rom"] == expected || (kind >= 4 && kind <= 6 && host.files["out.rom"] == back));
    return 0;
}
