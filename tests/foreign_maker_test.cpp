// Making patches of other formats: every pair comes back byte for byte through
// the program's applier and through decoders written from the formats'
// descriptions; IPS keeps to what the format can say.
#include <cstdlib>
#include <random>

#include "engine/formats/aps.h"
#include "engine/formats/ips.h"
#include "engine/formats/vcdiff.h"
#include "engine/patch_applier.h"
#include "engine/patch_maker.h"
#include "engine/user_texts.h"
#include "format_models.h"
#include "test_support.h"

namespace zelk::test {
namespace {

// ROM-like: 4 KiB banks of random bytes or padding.
Bytes Rom(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes rom = Random(size, seed);
    for (std::size_t bank = 0; bank < size; bank += 4096)
        if (rng() % 4 == 0) std::fill(rom.begin() + bank, rom.begin() + std::min(size, bank + 4096), rng() % 2 ? 0xFF : 0);
    return rom;
}

// `edits` clusters of up to 32 changed bytes.
Bytes Edited(Bytes rom, std::size_t edits, std::uint32_t seed) {
    std::mt19937 rng(seed);
    for (std::size_t e = 0; e < edits && !rom.empty(); ++e) {
        const std::size_t at = rng() % rom.size();
        for (std::size_t i = at; i < std::min(rom.size(), at + 1 + rng() % 32); ++i) rom[i] ^= 1 + rng() % 255;
    }
    return rom;
}

// Moved data: new bytes inserted, a stretch cut out, a bank copied elsewhere.
Bytes Moved(const Bytes& rom, std::size_t inserted, std::uint32_t seed) {
    Bytes out = Edited(rom, rom.size() / 8192, seed);
    const Bytes fresh = Random(inserted, seed + 1);
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(out.size() / 3), fresh.begin(), fresh.end());
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(out.size() / 2), out.begin() + static_cast<std::ptrdiff_t>(out.size() / 2 + inserted / 2));
    out.insert(out.end() - static_cast<std::ptrdiff_t>(out.size() / 5), rom.begin() + 100, rom.begin() + 100 + static_cast<std::ptrdiff_t>(rom.size() / 16));
    return out;
}

class ForeignMakerTest : public FileTest {
protected:
    // A .gba name asks for the GBA form of APS, a .lzma name for xdelta's LZMA form.
    Outcome Make(const Bytes& original, const Bytes& changed, const std::string& patch, const std::string& comment = "") {
        host_.messages.clear();
        const PatchFormat* format = patch.ends_with(".gba")    ? &ApsGbaFormat()
                                    : patch.ends_with(".lzma") ? &VcdiffLzmaFormat()
                                                               : nullptr;
        return MakePatch(host_, Write("a.rom", original), Write("b.rom", changed), Path(patch), comment, format);
    }
    // Debian's xdelta3 applies `patch` to a.rom; nothing where it is not installed.
    std::optional<Bytes> Xdelta3(const std::string& patch) {
        static const bool installed = std::system("xdelta3 -V > /dev/null 2>&1") == 0;
        if (!installed) return std::nullopt;
        const std::string command = "xdelta3 -d -f -s '" + Path("a.rom") + "' '" + Path(patch) + "' '" + Path("x3.rom") + "'";
        if (std::system(command.c_str()) != 0) return Bytes{};
        return Read("x3.rom");
    }
};

TEST_F(ForeignMakerTest, BpsAndIpsRoundTripEveryKindOfPair) {
    const Bytes rom = Rom(300000, 1);
    const struct {
        const char* name;
        Bytes original, changed;
    } pairs[] = {
        {"edits", rom, Edited(rom, 60, 2)},
        {"moved data", rom, Moved(rom, 5000, 3)},
        {"longer", rom, Concat({Edited(rom, 10, 4), Random(7000, 5), Bytes(3000, 0)})},
        {"shorter", rom, Bytes(rom.begin(), rom.begin() + 250000)},
        {"one byte shorter", rom, Bytes(rom.begin(), rom.end() - 1)},
        {"70,000 changed bytes in a row", rom, [&] {
             Bytes b = rom;
             const Bytes mask = Random(70000, 12);
             for (std::size_t i = 0; i < mask.size(); ++i) b[1000 + i] ^= 1 + mask[i] % 255;
             return b;
         }()},
        {"identical", rom, rom},
        {"empty original", {}, Random(5000, 6)},
        {"empty changed", rom, {}},
    };
    for (const auto& pair : pairs) {
        for (const char* name : {"p.bps", "p.ips", "p.ups", "p.ebp", "p.ppf", "p.aps", "p.gba", "p.rup", "p.xdelta", "p.lzma"}) {
            const char kind = name[2];
            const char* const made = kind == 'b'   ? "BPS"
                                     : kind == 'x' ? "xdelta (VCDIFF)"
                                     : kind == 'l' ? "xdelta (VCDIFF, LZMA)"
                                     : kind == 'i' ? "IPS"
                                     : kind == 'u' ? "UPS"
                                     : kind == 'e' ? "EBP"
                                     : kind == 'p' ? "PPF"
                                     : kind == 'g' ? "APS (GBA)"
                                     : kind == 'r' ? "RUP"
                                                   : "APS";
            if ((kind == 'e' || kind == 'p') && pair.changed.size() < pair.original.size()) {
                EXPECT_EQ(Make(pair.original, pair.changed, name), Outcome::Stopped) << pair.name;
                EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{text::CannotShorten(Path(name), made), MessageStyle::Critical}}));
                continue;
            }
            ASSERT_EQ(Make(pair.original, pair.changed, name), Outcome::Done) << pair.name << " " << name;
            EXPECT_EQ(Messages(), std::vector{Plain(text::ForeignMakeDone(made))}) << pair.name;
            const Bytes patch = Read(name);
            // xdelta: Debian's xdelta3 applies both forms; the model reads the plain one.
            const auto byXdelta3 = kind == 'x' || kind == 'l' ? Xdelta3(name) : std::nullopt;
            if (byXdelta3) {
                EXPECT_EQ(*byXdelta3, pair.changed) << pair.name << " " << name << " by xdelta3";
            }
            if (kind != 'l') {
                const Bytes decoded = kind == 'x'   ? model::ApplyVcdiff(pair.original, patch)
                                      : kind == 'b' ? model::ApplyBps(pair.original, patch)
                                      : kind == 'u' ? model::ApplyUps(pair.original, patch)
                                      : kind == 'p' ? model::ApplyPpf(pair.original, patch)
                                      : kind == 'a' ? model::ApplyAps(pair.original, patch)
                                      : kind == 'g' ? model::ApplyApsGba(pair.original, patch)
                                      : kind == 'r' ? model::ApplyRup(pair.original, patch)
                                                    : model::ApplyIps(pair.original, patch);
                EXPECT_EQ(decoded, pair.changed) << pair.name << " " << name << " by the description";
            }
            host_.messages.clear();
            ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path(name), Path("out.rom")), Outcome::Done) << pair.name;
            EXPECT_EQ(Read("out.rom"), pair.changed) << pair.name << " " << name << " by the applier";
            // UPS, APS (GBA) and RUP, and PPF by its undo data, turn the
            // changed file back (PPF keeps the size: only where it did not grow).
            // PPF keeps no size: where it grew the file, no turn-back is claimed.
            if (kind == 'p' && pair.changed.size() > pair.original.size()) {
                EXPECT_EQ(ApplyPatch(host_, Path("b.rom"), Path(name), Path("back.rom")), Outcome::Stopped) << pair.name;
                EXPECT_FALSE(Exists("back.rom")) << pair.name;
            }
            const bool back = kind == 'u' || kind == 'g' || kind == 'r' ||
                              (kind == 'p' && pair.changed.size() == pair.original.size());
            if (!back || pair.original == pair.changed) continue;
            host_.messages.clear();
            ASSERT_EQ(ApplyPatch(host_, Path("b.rom"), Path(name), Path("out.rom")), Outcome::Done) << pair.name;
            EXPECT_EQ(Read("out.rom"), pair.original) << pair.name << " turned back";
        }
    }
    // EBP: the comment as the JSON's description, shown when applied.
    ASSERT_EQ(Make(rom, Edited(rom, 5, 9), "p.ebp", "Say \"hi\"\\\nnext\x01"), Outcome::Done);
    const std::string json = R"({"patcher":"EBPatcher","author":"","title":"","description":"Say \"hi\"\\\nnext\u0001"})";
    const Bytes ebp = Read("p.ebp");
    EXPECT_EQ(std::string(ebp.end() - static_cast<std::ptrdiff_t>(json.size()), ebp.end()), json);
    host_.messages.clear();
    ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path("p.ebp"), Path("out.rom")), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(json), Plain(text::ForeignDone("EBP"))}));
    Verdict verdict;
    ASSERT_EQ(CheckOriginal(host_, Path("a.rom"), Path("p.ebp"), verdict), std::nullopt);
    EXPECT_TRUE(verdict.evidence.starts_with(text::NoChecksum("EBP"))) << verdict.evidence;
    // PPF: the comment, cut to its 50 bytes, as the description.
    ASSERT_EQ(Make(rom, Edited(rom, 5, 9), "p.ppf", std::string(60, 'x')), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(text::CommentCut("PPF", 50)), Plain(text::ForeignMakeDone("PPF"))}));
    EXPECT_EQ(Read("p.ppf")[55], 'x');
    // APS: an N64 image gets an N64 patch, held to its header.
    Bytes z64 = Rom(0x4000, 12);
    z64[0] = 0x80, z64[1] = 0x37, z64[2] = 0x12, z64[3] = 0x40;
    ASSERT_EQ(Make(z64, Edited(z64, 5, 13), "n.aps"), Outcome::Done);
    const Bytes aps = Read("n.aps");
    EXPECT_EQ(aps[5], 1);
    EXPECT_EQ(model::ApplyAps(z64, aps), Read("b.rom"));
    ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path("n.aps"), Path("out.rom")), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), Read("b.rom"));
    // RUP: the comment as UTF-8, cut before a character, as the description.
    std::string comment = "x";
    for (int i = 0; i < 537; ++i) comment += "я";
    ASSERT_EQ(Make(rom, Edited(rom, 5, 9), "p.rup", comment), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(text::CommentCut("RUP", 1074)), Plain(text::ForeignMakeDone("RUP"))}));
    host_.messages.clear();
    ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path("p.rup"), Path("out.rom")), Outcome::Done);
    EXPECT_EQ(host_.messages.front().text.size(), 1 + 536 * 2u) << "the last я left out whole";
    // APS: a GBA cartridge gets the GBA form, without a comment.
    Bytes gba = Rom(0x30000, 14);
    gba[4] = 0x24, gba[5] = 0xFF, gba[6] = 0xAE, gba[7] = 0x51, gba[0xB2] = 0x96;
    ASSERT_EQ(Make(gba, Edited(gba, 5, 15), "g.aps", "hi"), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(text::CommentNotStored("APS (GBA)")), Plain(text::ForeignMakeDone("APS"))}));
    EXPECT_EQ(model::ApplyApsGba(gba, Read("g.aps")), Read("b.rom"));
    // A name of a format read, not made: our own, said so.
    ASSERT_EQ(Make(rom, Edited(rom, 5, 9), "p.bdf"), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(text::OwnInstead("BDF", Path("p.bdf"))), Plain(text::MakeDone)}));
    const Bytes made = Read("p.bdf");
    EXPECT_EQ(std::string(made.begin(), made.begin() + 10), "Zelk Patch");
    // A format asked for by name that the patch's extension does not give.
    host_.messages.clear();
    ASSERT_EQ(MakePatch(host_, Path("a.rom"), Path("b.rom"), Path("p.bps"), "", &IpsFormat()), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(text::NamedOtherwise(Path("p.bps"), "BPS", "IPS")), Plain(text::ForeignMakeDone("IPS"))}));
    EXPECT_EQ(Read("p.bps")[0], 'P');
    host_.messages.clear();
    ASSERT_EQ(MakePatch(host_, Path("a.rom"), Path("b.rom"), Path("g.aps"), "", &ApsGbaFormat()), Outcome::Done);
    EXPECT_EQ(Messages().size(), 1u) << "an .aps name gives APS's GBA form too";
}

TEST_F(ForeignMakerTest, BpsCarriesTheCommentAndDescribesMovedDataCompactly) {
    const Bytes rom = Rom(16 << 20, 7);
    Bytes changed = Edited(rom, 1250, 8);
    const Bytes inserted = Random(16 << 10, 9);
    changed.insert(changed.begin() + (8 << 20), inserted.begin(), inserted.end());
    const Bytes appended = Random(64 << 10, 10);
    changed.insert(changed.end(), appended.begin(), appended.end());
    const std::string comment = "Перевод, v1.2\nby Anna";
    ASSERT_EQ(Make(rom, changed, "big.bps", comment), Outcome::Done);
    host_.messages.clear();
    ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path("big.bps"), Path("out.rom")), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(comment), Plain(text::ForeignDone("BPS"))}));
    EXPECT_EQ(Read("out.rom"), changed);
    // What is really new: about 20 KiB of edits, the insertion and the tail.
    // A positional patch would also hold everything behind the insertion.
    const std::size_t fresh = 1250 * 17 + inserted.size() + appended.size();
    EXPECT_LT(Read("big.bps").size(), fresh * 3 / 2) << "fresh bytes: " << fresh;

    // Behind inserted bytes, edits closer together than a hash is long: only
    // going on along the last copy finds the stretches between them.
    const Bytes small = Random(64 << 10, 11);
    Bytes dense = small;
    const Bytes fresh100 = Random(100, 12);
    dense.insert(dense.begin() + 1000, fresh100.begin(), fresh100.end());
    for (std::size_t i = 5000; i < dense.size(); i += 12) dense[i] ^= 0xFF;
    ASSERT_EQ(Make(small, dense, "dense.bps"), Outcome::Done);
    EXPECT_EQ(model::ApplyBps(small, Read("dense.bps")), dense);
    EXPECT_LT(Read("dense.bps").size(), dense.size() / 2);
}

TEST_F(ForeignMakerTest, IpsKeepsToWhatTheFormatCanSay) {
    // A change at 0x454F46 starts its record a byte earlier; a long run of
    // one byte is a run record; nothing past 16 MiB.
    Bytes original = Random(0x454F60, 11);
    std::fill(original.begin() + 100, original.begin() + 1100, 0x41);
    Bytes changed = original;
    changed[0x454F46] ^= 0xFF;
    for (std::size_t i = 100; i < 1100; ++i) changed[i] = 0x42;
    ASSERT_EQ(Make(original, changed, "p.ips", "a comment"), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain(text::CommentNotStored("IPS")), Plain(text::ForeignMakeDone("IPS"))}));
    const Bytes patch = Read("p.ips");
    EXPECT_EQ(model::ApplyIps(original, patch), changed);
    EXPECT_EQ(patch.size(), 5 + 8 + (5 + 2) + 3u);  // PATCH, the run, the record from 0x454F45, EOF
    model::Reader records{patch, 5};
    for (std::uint64_t offset; (offset = records.Big(3)) != 0x454F46;) {
        const std::uint64_t size = records.Big(2);
        records.at += size == 0 ? 3 : size;
        EXPECT_NE(offset, 0x454F46u);
    }

    // A run of one byte from 0x454F46 on: its first byte goes with the byte before.
    changed = original;
    std::fill(changed.begin() + 0x454F46, changed.begin() + 0x454F46 + 20, 0x42);
    ASSERT_EQ(Make(original, changed, "run.ips"), Outcome::Done);
    const Bytes run = Read("run.ips");
    EXPECT_EQ(model::ApplyIps(original, run), changed);
    model::Reader runRecords{run, 5};
    for (std::uint64_t offset; (offset = runRecords.Big(3)) != 0x454F46;) {
        const std::uint64_t size = runRecords.Big(2);
        runRecords.at += size == 0 ? 3 : size;
    }
    EXPECT_EQ(runRecords.at, run.size()) << "a record starts at 0x454F46";

    // 64 KiB changed from 0x454F46 on: the record moved a byte earlier still
    // holds less than 64 KiB, which a size field of two bytes cannot say.
    const Bytes longer = Concat({original, Random(0x20000, 12)});
    Bytes wide = longer;
    for (std::size_t i = 0x454F46; i < 0x464F46; ++i) wide[i] ^= 0xFF;
    ASSERT_EQ(Make(longer, wide, "wide.ips"), Outcome::Done);
    EXPECT_EQ(model::ApplyIps(longer, Read("wide.ips")), wide);

    // What IPS cannot address: a change at 16 MiB or past it, a result cut
    // to 16 MiB or more.
    const Bytes past = Bytes((16 << 20) + 10, 0);
    const struct {
        std::uint64_t at;
        Bytes changed;
    } refused[] = {
        {16 << 20, [&] { Bytes b = past; b[16 << 20] = 1; return b; }()},
        {(16 << 20) + 5, [&] { Bytes b = past; b[(16 << 20) + 5] = 1; return b; }()},
        {16 << 20, Bytes(past.begin(), past.begin() + (16 << 20))},
    };
    for (const auto& row : refused) {
        Write("old.ips", Text("old"));
        EXPECT_EQ(Make(past, row.changed, "old.ips"), Outcome::Stopped) << row.at;
        EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{text::IpsCannotAddress(Path("old.ips"), row.at), MessageStyle::Critical}}));
        EXPECT_EQ(Read("old.ips"), Text("old"));
        EXPECT_TRUE(Temporaries().empty());
    }
}

}  // namespace
}  // namespace zelk::test
