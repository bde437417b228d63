// Any pair made into a patch and applied gives the changed file back, and
// the patch is one the maker's rules allow; made into BPS and IPS patches,
// the same pair (or its changed file cut short) comes back through the
// applier and through decoders written from the formats' descriptions (and
// as xdelta patches, plain and with LZMA, through the applier and the plain
// one through RFC 3284's decoding).
#include "../format_models.h"
#include "engine/formats/aps.h"
#include "engine/formats/vcdiff.h"
#include "engine/patch_applier.h"
#include "engine/patch_format.h"
#include "engine/patch_maker.h"
#include "memory_host.h"

using namespace zelk;
using namespace zelk::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Layout: tail length, comment length, then original, changes, tail, comment.
    const std::size_t tail = data[0] % 16;
    const std::size_t commentLength = data[1] % 16;
    const bool cutShort = (data[0] & 0x10) != 0;  // for BPS and IPS only
    // APS's GBA form makes a 64 KiB block at least, with its CRC16s: on one
    // input in four, so that the others keep their pace.
    const bool gbaToo = (data[0] & 0x60) == 0;
    data += 2;
    size -= 2;
    if (tail + commentLength > size) return 0;
    const std::size_t body = (size - tail - commentLength) / 2;
    const Bytes original(data, data + body);
    Bytes changed = original;
    for (std::size_t i = 0; i < body; ++i) changed[i] ^= data[body + i];  // 0 keeps a byte
    changed.insert(changed.end(), data + 2 * body, data + 2 * body + tail);
    const std::string comment(reinterpret_cast<const char*>(data + 2 * body + tail), commentLength);
    // A file that starts as a zip or a 7z is read as one: not a pair of ROMs.
    if (StartsAsArchive(original) || StartsAsArchive(changed)) return 0;

    MemoryHost host;
    host.files["a.rom"] = original;
    host.files["b.rom"] = changed;
    Require(MakePatch(host, "a.rom", "b.rom", "p.ppp", comment) == Outcome::Done);
    Require(ApplyPatch(host, "a.rom", "p.ppp", "out.rom") == Outcome::Done);
    Require(host.files["out.rom"] == changed);

    // Blocks separated by an equal byte, ascending, every one at least 1 long.
    const Bytes& patch = host.files["p.ppp"];
    std::size_t cursor = kHeaderSize;
    const auto commentPos = static_cast<std::size_t>(ReadInt32(patch.data() + kCommentPosOffset));
    std::int64_t previousEnd = -1;
    while (cursor + 8 < commentPos) {
        const std::int32_t offset = ReadInt32(patch.data() + cursor);
        const std::int32_t length = ReadInt32(patch.data() + cursor + 4);
        Require(length >= 1);
        const bool tailBlock = static_cast<std::size_t>(offset) == original.size();
        Require(tailBlock ? offset >= previousEnd : offset > previousEnd);
        previousEnd = offset + length;
        cursor += 8 + static_cast<std::size_t>(length);
    }
    Require(cursor + 1 == commentPos);

    // BPS, IPS, UPS, APS and RUP can also shorten a file, EBP and PPF
    // cannot; UPS, APS (GBA), RUP and PPF turn it back too (a .gba name
    // asks for the GBA form).
    if (cutShort) changed.resize(changed.size() / 2);
    host.files["b.rom"] = changed;
    for (const char* name : {"p.bps", "p.ips", "p.ups", "p.ebp", "p.ppf", "p.aps", "p.gba", "p.rup", "p.xdelta", "p.lzma"}) {
        const PatchFormat* format = name[2] == 'g' ? &ApsGbaFormat() : name[2] == 'l' ? &VcdiffLzmaFormat() : nullptr;
        if (format != nullptr && !gbaToo) continue;
        const bool keepsLength = name[2] == 'e' || name[2] == 'p';
        if (keepsLength && changed.size() < original.size()) {
            Require(MakePatch(host, "a.rom", "b.rom", name, comment, format) == Outcome::Stopped);
            Require(host.files.count(name) == 0);
            continue;
        }
        Require(MakePatch(host, "a.rom", "b.rom", name, comment, format) == Outcome::Done);
        Require(ApplyPatch(host, "a.rom", name, "out.rom") == Outcome::Done);
        Require(host.files["out.rom"] == changed);
        const Bytes& made = host.files[name];
        if (name[2] == 'l') continue;  // the models read no LZMA
        try {
            const Bytes decoded = name[2] == 'x'   ? test::model::ApplyVcdiff(original, made)
                                  : name[2] == 'b' ? test::model::ApplyBps(original, made)
                                  : name[2] == 'u' ? test::model::ApplyUps(original, made)
                                  : name[2] == 'p' ? test::model::ApplyPpf(original, made)
                                  // (a GBA cartridge gets the GBA form of APS)
                                  : name[2] == 'a' && made[4] == '0' ? test::model::ApplyAps(original, made)
                                  : name[2] == 'a' || name[2] == 'g' ? test::model::ApplyApsGba(original, made)
                                  : name[2] == 'r' ? test::model::ApplyRup(original, made)
                                                   : test::model::ApplyIps(original, made);
            Require(decoded == changed);
        } catch (const std::exception&) {
            Require(false);
        }
        const bool back = name[2] == 'u' || name[2] == 'g' || name[2] == 'r' ||
                          (name[2] == 'p' && changed.size() == original.size());
        if (!back || changed == original) continue;
        // As asked: PPF keeps no size, and where its last record may have
        // grown the file, it turns it back only so.
        ApplyOptions anyway;
        anyway.ignoreChecksum = name[2] == 'p';
        Require(ApplyPatch(host, "b.rom", name, "out.rom", anyway) == Outcome::Done);
        Require(host.files["out.rom"] == original);
    }
    return 0;
}
