// Patches of other formats: each result held against the formats' own
// descriptions (format_models.h), every refusal leaving nothing written.
#include <cstdio>
#include <cstdlib>
#include <random>

#include <bzlib.h>
#include <md5.h>

#if __has_include(<zlib.h>) && !defined(_WIN32)
#include <zlib.h>
#define ZELK_HAVE_ZLIB 1
#endif

#include "engine/file_hashes.h"
#include "engine/formats/bps.h"
#include "engine/formats/ips.h"
#include "engine/formats/ups.h"
#include "engine/patch_applier.h"
#include "engine/patch_maker.h"
#include "engine/user_texts.h"
#include "format_models.h"
#include "host/crc32.h"
#include "test_support.h"

namespace zelk::test {
namespace {

using model::BpsCommand;
using model::IpsRecord;

TEST(Crc32, EveryImplementationAgreesWithZlibAndTheDefinition) {
    const Bytes data = Random((1 << 20) + 100, 7);
    std::vector<std::pair<const char*, std::uint32_t (*)(std::uint32_t, std::span<const std::uint8_t>)>> ways = {
        {"chosen", Crc32}, {"portable", Crc32Portable}};
#if defined(__x86_64__) || defined(__i386__)
    if (ClmulAvailable()) ways.push_back({"clmul", Crc32Clmul});
#endif
    for (const std::size_t length : {0u, 1u, 7u, 15u, 16u, 63u, 64u, 65u, 127u, 128u, 1000u, 65537u, 1u << 20}) {
        for (const std::size_t offset : {0u, 1u, 13u}) {
            const Bytes piece(data.begin() + offset, data.begin() + static_cast<std::ptrdiff_t>(offset + length));
            std::uint32_t expected = model::Crc(piece);
#ifdef ZELK_HAVE_ZLIB
            ASSERT_EQ(crc32(0, piece.data(), static_cast<uInt>(piece.size())), expected);
#endif
            for (const auto& [name, crc] : ways) {
                EXPECT_EQ(crc(0, piece), expected) << name << " length " << length << " offset " << offset;
                const std::span<const std::uint8_t> all(piece);
                const std::size_t half = length / 3;
                EXPECT_EQ(crc(crc(0, all.first(half)), all.subspan(half)), expected) << name << " in two pieces";
            }
        }
    }
}

class ForeignTest : public FileTest {
protected:
    // Applies `patch` to `original`; the output is out.rom, which holds
    // "old" beforehand so that a refusal can be seen to leave it.
    Outcome Apply(const Bytes& original, const Bytes& patch, const ApplyOptions& options = {}) {
        host_.messages.clear();
        host_.warnings.clear();
        Write("out.rom", Text("old"));
        return ApplyPatch(host_, Write("a.rom", original), Write("p.pat", patch), Path("out.rom"), options);
    }
    void ExpectApplied(const Bytes& expected, const std::vector<RecordedMessage>& before, std::string_view kind,
                       const std::string& row) {
        EXPECT_EQ(Read("out.rom"), expected) << row;
        std::vector<RecordedMessage> messages = before;
        messages.push_back(Plain(text::ForeignDone(kind)));
        EXPECT_EQ(Messages(), messages) << row;
        EXPECT_TRUE(Temporaries().empty()) << row;
    }
    void ExpectRefused(const std::string& text, const std::string& row) {
        EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{text, MessageStyle::Critical}})) << row;
        EXPECT_EQ(Read("out.rom"), Text("old")) << row;
        EXPECT_TRUE(Temporaries().empty()) << row;
    }
    std::string Damaged(const std::string& what) const { return text::DamagedPatch(Path("p.pat"), what); }
};

Bytes Md5(const Bytes& bytes);

// Hashes taken while a check reads the file, whatever order it reads in:
// RFC 1321's and FIPS 180's vectors, and a large file against zlib.
TEST_F(ForeignTest, HashesOfTheCheckedFileAreThoseOfThePublishedVectors) {
    const auto hashed = [&](const Bytes& bytes, std::initializer_list<std::uint64_t> reads) {
        auto file = host_.OpenInput(Write("h.rom", bytes));
        HashingInput input(*file);
        Bytes piece(4096);
        for (const std::uint64_t at : reads) input.ReadAt(at, piece);
        const FileHashes hashes = input.Finish();
        return std::pair{text::Hex(hashes.md5), text::Hex(hashes.sha1)};
    };
    const std::string million(1000000, 'a');
    const struct {
        std::string text, md5, sha1;
    } vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", "c12252ceda8be8994d5fa0290a47231c1d16aae3"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a", "50abf5706a150990a08b2c5ea40fa0e585554732"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {million, "7707d6ae4e027c70eea2a935c2296f21", "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const auto& row : vectors) {
        const auto [md5, sha1] = hashed(Text(row.text), {700000, 5, 0, 999999});
        EXPECT_EQ(md5, row.md5) << row.text.substr(0, 20);
        EXPECT_EQ(sha1, row.sha1) << row.text.substr(0, 20);
    }
    const Bytes large = Random(5 << 20, 8);
    auto file = host_.OpenInput(Write("large.rom", large));
    HashingInput input(*file);
    Bytes piece(100000);
    // The second read overlaps what the first has hashed already.
    for (const std::uint64_t at : {3u << 20, (3u << 20) + 50000, 1u << 20, 0u, (5u << 20) - 10}) input.ReadAt(at, piece);
    const FileHashes hashes = input.Finish();
    EXPECT_EQ(hashes.size, large.size());
    EXPECT_EQ(hashes.crc, model::Crc(large));
#ifdef ZELK_HAVE_ZLIB
    EXPECT_EQ(hashes.crc, crc32(0, large.data(), static_cast<uInt>(large.size())));
#endif
    EXPECT_EQ(text::Hex(hashes.md5), text::Hex(Md5(large)));
}

TEST_F(ForeignTest, IpsRecordsApplyAsTheDescriptionSays) {
    const Bytes small = Random(100, 1);
    const Bytes large = Random(0x454F50, 2);  // reaches past offset 0x454F46
    const Bytes long3 = Random(3 << 20, 3);
    const struct {
        const char* name;
        const Bytes& original;
        Bytes patch;
    } rows[] = {
        {"plain record and run", small, model::Ips({{10, {1, 2, 3}}, {50, {}, 20, 0xAA}})},
        {"truncated", small, model::Ips({{5, {9}}, {60, {7, 7}}}, 40)},
        {"in order across a truncation", small, model::Ips({{5, {9}}, {38, {7, 7, 7, 7}}}, 40)},
        {"out of order across and past a truncation", small,
         model::Ips({{60, {1, 2, 3}}, {5, {9}}, {38, {7, 7, 7, 7}}, {45, {}, 10, 3}, {0xF00000, {1, 2}}}, 40)},
        {"record past the end, zeros between", small, model::Ips({{130, {7, 7}}})},
        {"record across the end", small, model::Ips({{98, {1, 2, 3, 4}}})},
        {"overlapping and descending, later wins", small,
         model::Ips({{50, {1, 2, 3, 4}}, {20, {5}}, {52, {9, 9, 9, 9, 9}}, {0, {}, 3, 1}, {51, {}, 2, 6}})},
        {"records beside offset 0x454F46", large, model::Ips({{0x454F43, {1, 2, 3}}, {0x454F47, {5}}})},
        {"IPS32 at 0x454F46 and past 16 MiB", large, model::Ips({{0x454F46, {4, 4}}, {0x1000002, {8}}}, {}, true)},
        {"long stretches between records", long3, model::Ips({{10, {1}}, {(5 << 19), {2, 2}}, {(3 << 20) - 1, {3}}})},
        {"no records", small, model::Ips({})},
        {"records overlapping by one byte", small, model::Ips({{10, {1, 2}}, {11, {3}}})},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(Apply(row.original, row.patch), Outcome::Done) << row.name;
        const bool wide = row.patch[0] == 'I';
        ExpectApplied(model::ApplyIps(row.original, row.patch), {}, wide ? "IPS32" : "IPS", row.name);
        Verdict verdict;  // a patch that changes nothing is not "already applied"
        ASSERT_EQ(CheckOriginal(host_, Path("a.rom"), Path("p.pat"), verdict), std::nullopt) << row.name;
        EXPECT_EQ(verdict.fit, Fit::Fits) << row.name << ": " << verdict.evidence;
    }

    // EBP: JSON after the mark, shown as the comment.
    const std::string json = R"({"title":"Сказка","author":"us"})";
    const Bytes ebp = Concat({model::Ips({{10, {1, 2, 3}}}), Text(json)});
    ASSERT_EQ(Apply(small, ebp), Outcome::Done);
    ExpectApplied(model::ApplyIps(small, ebp), {Plain(json)}, "EBP", "EBP");

    const Bytes sound = model::Ips({{10, {1, 2, 3}}, {20, {4, 5}}});
    const struct {
        const char* name;
        Bytes patch;
        std::string damage;
    } damaged[] = {
        {"cut inside a record", Bytes(sound.begin(), sound.end() - 5), text::RecordCutShort(1, 13)},
        {"cut four bytes short", Bytes(sound.begin(), sound.end() - 4), text::RecordCutShort(1, 13)},
        {"cut before EOF", Bytes(sound.begin(), sound.end() - 3), text::NoEndMark("EOF")},
        {"two bytes after EOF", Concat({sound, {0, 0}}), text::BytesAfterEndMark(2, "EOF")},
    };
    for (const auto& row : damaged) {
        EXPECT_EQ(Apply(small, row.patch), Outcome::Stopped) << row.name;
        ExpectRefused(Damaged(row.damage), row.name);
    }
}

TEST_F(ForeignTest, UpsAppliesBothWaysAndOnlyToItsOwnFiles) {
    const Bytes source = Random(5000, 4);
    Bytes target = source;
    for (std::size_t i = 100; i < 5000; i += 97) target[i] ^= 0x5A;
    const Bytes longer = Concat({target, Random(700, 5)});
    const Bytes shorter(target.begin(), target.begin() + 3000);
    for (const Bytes* changed : std::initializer_list<const Bytes*>{&target, &longer, &shorter}) {
        const Bytes patch = model::Ups(source, *changed);
        ASSERT_EQ(Apply(source, patch), Outcome::Done);
        ExpectApplied(model::ApplyUps(source, patch), {}, "UPS", "forward");
        EXPECT_EQ(Read("out.rom"), *changed);
        ASSERT_EQ(Apply(*changed, patch), Outcome::Done);
        ExpectApplied(source, {Plain(text::TurnedBack(Path("a.rom"), "UPS"))}, "UPS", "back");
    }
    const Bytes patch = model::Ups(source, longer);
    Bytes wrong = source;
    wrong[0] ^= 1;
    EXPECT_EQ(Apply(wrong, patch), Outcome::Stopped);
    ExpectRefused(Path("a.rom") + " is not the file this UPS patch was made for: the patch expects 5000 bytes, CRC-32 " +
                      text::Crc(model::Crc(source)) + "; this file has 5000 bytes, CRC-32 " + text::Crc(model::Crc(wrong)),
                  "wrong input");
    Bytes damaged = patch;
    damaged[20] ^= 0xFF;
    EXPECT_EQ(Apply(source, damaged), Outcome::Stopped);
    ExpectRefused(Damaged(text::PatchCrcWrong(model::Crc(damaged, 0, damaged.size() - 4), model::Crc(patch, 0, patch.size() - 4))),
                  "damaged");
    // Sizes 10 and 10, and a change after a skip of 11.
    EXPECT_EQ(Apply(Bytes(10, 0), model::Checksummed("UPS1", 10, 10, {0x80 | 11, 0})), Outcome::Stopped);
    ExpectRefused(Damaged(text::ChangePastTheEnd(6)), "a skip one past the end");
    EXPECT_EQ(Apply(Bytes(10, 0), model::Checksummed("UPS1", 10, 10, {0x80 | 8, 1, 1, 1, 1, 1, 0})), Outcome::Stopped);
    ExpectRefused(Damaged(text::ChangePastTheEnd(6)), "a run past both files");
    EXPECT_EQ(Apply(Bytes(10, 0), model::Checksummed("UPS1", 10, 10, {0x80, 1, 1})), Outcome::Stopped);
    ExpectRefused(Damaged(text::CutShortAt(6)), "a run never closed");
    // A change two bytes before the end: the last byte comes from the original.
    const Bytes ten = Random(10, 9);
    Bytes tenChanged = ten;
    tenChanged[7] ^= 1;
    ASSERT_EQ(Apply(ten, model::Ups(ten, tenChanged)), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), tenChanged);
}

std::uint32_t Le32At(const Bytes& bytes, std::size_t at) { return model::Reader{bytes, at}.Le32(); }

// A BPS patch from commands; the target is what the description makes of them.
Bytes BpsFor(const Bytes& source, const std::vector<BpsCommand>& commands, const std::string& metadata, Bytes& target) {
    Bytes out;
    std::int64_t sourceCursor = 0, targetCursor = 0;
    for (const BpsCommand& c : commands) {
        for (std::uint64_t i = 0; i < c.length; ++i) {
            switch (c.op) {
                case model::SourceRead: out.push_back(source.at(out.size())); break;
                case model::TargetRead: out.push_back(c.data.at(i)); break;
                case model::SourceCopy:
                    if (i == 0) sourceCursor += c.move;
                    out.push_back(source.at(static_cast<std::size_t>(sourceCursor++)));
                    break;
                case model::TargetCopy:
                    if (i == 0) targetCursor += c.move;
                    out.push_back(out.at(static_cast<std::size_t>(targetCursor++)));
                    break;
            }
        }
    }
    target = out;
    return model::Bps(source, target, commands, metadata);
}

TEST_F(ForeignTest, BpsCommandsApplyAsTheDescriptionSays) {
    const Bytes source = Random(6000, 6);
    const Bytes big = Random(5 << 20, 7);
    const struct {
        const char* name;
        const Bytes& source;
        std::vector<BpsCommand> commands;
        std::string metadata;
    } rows[] = {
        {"each command",
         source,
         {{model::SourceRead, 100},
          {model::TargetRead, 3, 0, {1, 2, 3}},
          {model::SourceCopy, 200, 3000},
          {model::SourceCopy, 50, -1000},
          {model::TargetCopy, 40, 10},
          {model::SourceRead, 7}},
         ""},
        {"a copy that overlaps what it writes", source,
         {{model::TargetRead, 2, 0, {0xAB, 0xCD}}, {model::TargetCopy, 999, 0}, {model::SourceCopy, 10, 5990}}, ""},
        {"metadata shown as the comment", source, {{model::SourceRead, 6000}}, "Пояснения к патчу\nline 2"},
        {"a copy from 5 MiB back", big, {{model::SourceRead, 5 << 20}, {model::TargetCopy, 1 << 20, 0}}, ""},
        // The newest 4 MiB of the result are kept in memory, older bytes read back.
        {"a copy from 4 MiB back", big, {{model::SourceRead, 4 << 20}, {model::TargetCopy, 100, 0}}, ""},
        {"a copy from 4 MiB + 1 back", big, {{model::SourceRead, (4 << 20) + 1}, {model::TargetCopy, 100, 0}}, ""},
    };
    for (const auto& row : rows) {
        Bytes target;
        const Bytes patch = BpsFor(row.source, row.commands, row.metadata, target);
        ASSERT_EQ(Apply(row.source, patch), Outcome::Done) << row.name;
        std::vector<RecordedMessage> comment;
        if (!row.metadata.empty()) comment.push_back(Plain(row.metadata));
        ExpectApplied(model::ApplyBps(row.source, patch), comment, "BPS", row.name);
        EXPECT_EQ(Read("out.rom"), target) << row.name;
    }
}

TEST_F(ForeignTest, BpsIsRefusedOrHeldToItsChecksums) {
    const Bytes source = Random(3000, 8);
    Bytes target;
    const Bytes patch = BpsFor(source, {{model::SourceRead, 1000}, {model::TargetRead, 2, 0, {7, 7}}, {model::SourceCopy, 998, 2}}, "", target);
    const std::string a = Path("a.rom");

    const Bytes header = Random(512, 9);
    ASSERT_EQ(Apply(Concat({header, source}), patch), Outcome::Done);
    ExpectApplied(Concat({header, target}), {Plain(text::HeaderKept(a, "copier", 512))}, "BPS", "headered");

    Bytes wrong = source;
    wrong[500] ^= 1;
    EXPECT_EQ(Apply(wrong, patch), Outcome::Stopped);
    ExpectRefused(text::WrongFile(a, "BPS", 3000, model::Crc(source), 3000, model::Crc(wrong)), "wrong source");
    ASSERT_EQ(Apply(wrong, patch, {true}), Outcome::Done);
    EXPECT_EQ(host_.warnings.size(), 2u);  // the original, and the result
    EXPECT_EQ(Read("out.rom").size(), target.size());
    // Applied all the same to a shorter file, the copies reach past its end.
    EXPECT_EQ(Apply(Bytes(source.begin(), source.begin() + 500), patch, {true}), Outcome::Stopped);
    EXPECT_EQ(Read("out.rom"), Text("old"));
    ASSERT_FALSE(host_.messages.empty());
    EXPECT_EQ(host_.messages.back().text, text::ReadsPastTheFile(a));

    EXPECT_EQ(Apply(target, patch), Outcome::Stopped);
    ExpectRefused(text::AlreadyPatched(a, "BPS", target.size(), model::Crc(target)), "already applied");

    Bytes damaged = patch;
    damaged.back() ^= 1;
    EXPECT_EQ(Apply(source, damaged), Outcome::Stopped);
    ExpectRefused(Damaged(text::PatchCrcWrong(model::Crc(patch, 0, patch.size() - 4), Le32At(damaged, damaged.size() - 4))),
                  "damaged");

    // A target checksum the result does not have: nothing replaces the output.
    Bytes lying = model::Bps(source, Random(target.size(), 10), {{model::SourceRead, 1000}, {model::TargetRead, 2, 0, {7, 7}}, {model::SourceCopy, 998, 2}});
    EXPECT_EQ(Apply(source, lying), Outcome::Stopped);
    ExpectRefused(text::ResultCrcWrong(Path("out.rom"), "BPS", model::Crc(target), Le32At(lying, lying.size() - 8)),
                  "lying target checksum");

    const struct {
        const char* name;
        std::uint64_t sourceSize, targetSize;
        Bytes body;  // after the sizes: the metadata's size, the metadata, the commands
        std::string damage;
    } hostile[] = {
        {"number that overflows", 3000, 10, Concat({{0x80}, Bytes(10, 0x00)}), text::NumberTooLarge(8)},
        {"writes past the result", 3000, 10, {0x80, 0x80 | (10 << 2)}, text::WritesPastResult(8)},
        {"copy before the start", 3000, 10, {0x80, 0x80 | (9 << 2 | 2), 0x83}, text::CursorBeforeStart(8)},
        {"target copy of nothing written", 3000, 10, {0x80, 0x80 | (9 << 2 | 3), 0x80},
         text::ReadsOutside(8, "result as written so far")},
        {"too few bytes", 3000, 10, {0x80, 0x80 | (4 << 2 | 1), 1, 2, 3, 4, 5}, text::MakesTooFew(5, 10)},
        {"a read one byte past the original", 5, 10, {0x80, 0x80 | (5 << 2)}, text::ReadsOutside(7, "original")},
        {"metadata one byte longer than what is left", 3000, 10, {0x84, 'a', 'b', 'c'}, text::MetadataPastTheEnd()},
    };
    for (const auto& row : hostile) {
        const Bytes bytes = model::Checksummed("BPS1", row.sourceSize, row.targetSize, row.body, model::Crc(source));
        EXPECT_EQ(Apply(source, bytes), Outcome::Stopped) << row.name;
        ExpectRefused(Damaged(row.damage), row.name);
    }
}

// A PPF patch of `version` with these records, its block (where it has one)
// taken from `original`, and the old bytes of 3.0 with undo data too.
struct PpfRecord {
    std::uint64_t offset;
    Bytes data;
    int run = 0;  // 1.0: `data[0]` this many times
};
struct PpfLayout {
    int version;
    std::vector<PpfRecord> records;
    std::string description = "";
    std::string diz = "";
    int image = 0;
    bool blockCheck = true, undo = false;
};
Bytes PpfFor(const Bytes& original, const PpfLayout& p) {
    Bytes out = Text("PPF" + std::to_string(p.version) + "0");
    out.push_back(static_cast<std::uint8_t>(p.version - 1));
    const std::string description = p.description + std::string(50 - p.description.size(), ' ');
    out.insert(out.end(), description.begin(), description.end());
    const auto block = [&](std::size_t from) { out.insert(out.end(), original.begin() + from, original.begin() + from + 1024); };
    if (p.version == 2) {
        model::PutLe32(out, static_cast<std::uint32_t>(original.size()));
        block(0x9320);
    }
    if (p.version == 3) {
        out.insert(out.end(), {static_cast<std::uint8_t>(p.image), p.blockCheck, p.undo, 0});
        if (p.blockCheck) block(p.image == 1 ? 0x80A0 : 0x9320);
    }
    for (const PpfRecord& r : p.records) {
        for (int i = 0; i < (p.version == 3 ? 8 : 4); ++i) out.push_back(static_cast<std::uint8_t>(r.offset >> (8 * i)));
        if (r.run > 0) {
            out.insert(out.end(), {0, r.data[0], static_cast<std::uint8_t>(r.run)});
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(r.data.size()));
        out.insert(out.end(), r.data.begin(), r.data.end());
        for (std::size_t i = 0; p.undo && i < r.data.size(); ++i)
            out.push_back(r.offset + i < original.size() ? original[r.offset + i] : 0);
    }
    if (!p.diz.empty()) {
        out = Concat({out, Text("@BEGIN_FILE_ID.DIZ" + p.diz + "@END_FILE_ID.DIZ")});
        if (p.version == 2) model::PutLe32(out, static_cast<std::uint32_t>(p.diz.size()));
        else out.insert(out.end(), {static_cast<std::uint8_t>(p.diz.size()), static_cast<std::uint8_t>(p.diz.size() >> 8)});
    }
    return out;
}

TEST_F(ForeignTest, PpfAppliesEachVersionAndTurnsBackWithItsUndoData) {
    const Bytes image = Random(50000, 11);
    const struct {
        const char* name;
        PpfLayout layout;
        std::string comment;
    } rows[] = {
        {"1.0: a record and a run", {1, {{10, {1, 2, 3}}, {50, {0xAA}, 20}}, "Trainer"}, "Trainer"},
        {"2.0: its size, its block and FILE_ID.DIZ", {2, {{0x9320 + 2, {9, 9}}, {49990, {1, 2, 3, 4, 5}}}, "Translation", "by us\nv1"},
         "Translation\n\nby us\nv1"},
        {"3.0 BIN with undo data, out of order and past the end",
         {3, {{40000, {5, 6}}, {100, {7}}, {49999, {8, 8, 8}}}, "", "", 0, true, true}, ""},
        {"3.0 GI, FILE_ID.DIZ only", {3, {{0x80A0, Bytes(255, 4)}}, "", "diz", 1}, "diz"},
        {"3.0 without a block check", {3, {{0, {1}}}, "x", "", 0, false}, "x"},
    };
    for (const auto& row : rows) {
        const Bytes patch = PpfFor(image, row.layout);
        ASSERT_EQ(Apply(image, patch), Outcome::Done) << row.name << ": " << host_.messages.back().text;
        std::vector<RecordedMessage> comment;
        if (!row.comment.empty()) comment.push_back(Plain(row.comment));
        ExpectApplied(model::ApplyPpf(image, patch), comment, "PPF", row.name);
    }

    // Undo data: the patched image turned back, and told apart by check.
    const Bytes undoable = PpfFor(image, {3, {{0x9320 + 1, {1, 2}}, {30000, {3}}, {10, {}, 0}}, "", "", 0, true, true});
    const Bytes patched = model::ApplyPpf(image, undoable);
    ASSERT_EQ(Apply(patched, undoable), Outcome::Done);
    ExpectApplied(image, {Plain(text::TurnedBack(Path("a.rom"), "PPF"))}, "PPF", "turned back");
    EXPECT_EQ(model::ApplyPpf(patched, undoable, true), image);
    Verdict verdict;
    ASSERT_EQ(CheckOriginal(host_, Write("b.rom", patched), Path("p.pat"), verdict), std::nullopt);
    EXPECT_EQ(verdict.fit, Fit::AlreadyApplied);
    ASSERT_EQ(CheckOriginal(host_, Write("b.rom", image), Path("p.pat"), verdict), std::nullopt);
    EXPECT_EQ(verdict.fit, Fit::Fits);

    // The wrong image: by 2.0's size, by the block; applied all the same where asked.
    const Bytes v2 = PpfFor(image, {2, {{5, {1}}}});
    const std::string wrong = Path("a.rom") + " is not the file this PPF patch was made for: ";
    EXPECT_EQ(Apply(Concat({image, {0}}), v2), Outcome::Stopped);
    ExpectRefused(wrong + "the patch expects 50000 bytes, this file has 50001 bytes", "2.0, another size");
    Bytes other = image;
    other[0x9320 + 1000] ^= 1;
    EXPECT_EQ(Apply(other, undoable), Outcome::Stopped);
    ExpectRefused(wrong + "its 1024 bytes at 37664 (0x9320) are not those the patch holds of its original", "3.0, another block");
    ApplyOptions anyway;
    anyway.ignoreChecksum = true;
    EXPECT_EQ(Apply(other, undoable, anyway), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), model::ApplyPpf(other, undoable));

    const Bytes sound = PpfFor(image, {3, {{10, {1, 2, 3}}, {20, {4}}}, "", "", 0, false});
    Bytes encoding = sound;
    encoding[5] = 1;
    Bytes dizLength = PpfFor(image, {3, {{10, {1}}}, "", "diz", 0, false});
    dizLength.back() = 1;
    // The record at 60 holds three new bytes and only two old ones before FILE_ID.DIZ.
    Bytes undoIntoDiz = PpfFor(image, {3, {{10, {1, 2, 3}}}, "", "diz", 0, false, true});
    undoIntoDiz.erase(undoIntoDiz.begin() + 60 + 9 + 5);
    const struct {
        const char* name;
        Bytes patch;
        std::string damage;
    } damaged[] = {
        {"cut inside a record", Bytes(sound.begin(), sound.end() - 1), text::RecordCutShort(1, 72)},
        {"an encoding byte of another version", encoding, "it says version 3.0, and its encoding byte says 2.0"},
        {"FILE_ID.DIZ of another length", dizLength, "its FILE_ID.DIZ does not start where its length says"},
        {"undo data running into FILE_ID.DIZ", undoIntoDiz, text::RecordCutShort(0, 60)},
        {"an offset without its length", Concat({sound, Bytes(8, 0)}), text::RecordCutShort(2, 82)},
        {"an undo setting of 2", [&] { Bytes b = sound; b[58] = 2; return b; }(),
         "its header has a setting it cannot have (image type, block check or undo data)"},
    };
    for (const auto& row : damaged) {
        EXPECT_EQ(Apply(image, row.patch), Outcome::Stopped) << row.name;
        ExpectRefused(Damaged(row.damage), row.name);
    }
}

// An APS patch by hand: N64 (with `rom`'s identity, as .v64 where `swapped`)
// or simple, of `size`, with a record and a run.
Bytes ApsFor(const Bytes* rom, bool swapped, std::uint32_t size) {
    Bytes out = Text("APS10");
    out.insert(out.end(), {static_cast<std::uint8_t>(rom != nullptr), 0});
    const std::string description = std::string("N64 fix").append(43, ' ');
    out.insert(out.end(), description.begin(), description.end());
    if (rom != nullptr) {
        out.push_back(swapped ? 0 : 1);
        out.insert(out.end(), rom->begin() + 0x3C, rom->begin() + 0x3F);
        out.insert(out.end(), rom->begin() + 0x10, rom->begin() + 0x18);
        out.insert(out.end(), 5, 0);
    }
    model::PutLe32(out, size);
    out.insert(out.end(), {0x00, 0x01, 0, 0, 3, 7, 8, 9, 0x00, 0x02, 0, 0, 0, 0xEE, 5});
    return out;
}

TEST_F(ForeignTest, ApsIsHeldToTheN64HeaderItNames) {
    Bytes z64 = Random(0x4000, 31);
    z64[0] = 0x80, z64[1] = 0x37, z64[2] = 0x12, z64[3] = 0x40;
    Bytes v64 = z64;
    for (std::size_t i = 0; i + 1 < v64.size(); i += 2) std::swap(v64[i], v64[i + 1]);
    const struct {
        const char* name;
        const Bytes& file;
        Bytes patch;
    } rows[] = {
        {"N64, .z64", z64, ApsFor(&z64, false, 0x4000)},
        {"N64, .v64", v64, ApsFor(&z64, true, 0x4000)},
        {"simple, longer", z64, ApsFor(nullptr, false, 0x5000)},
        {"simple, shorter", z64, ApsFor(nullptr, false, 0x180)},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(Apply(row.file, row.patch), Outcome::Done) << row.name << ": " << host_.messages.back().text;
        ExpectApplied(model::ApplyAps(row.file, row.patch), {Plain("N64 fix")}, "APS", row.name);
        // Checked: the original fits; the file it made is the patched one.
        for (const auto& [file, fit] : {std::pair{row.file, Fit::Fits}, {model::ApplyAps(row.file, row.patch), Fit::AlreadyApplied}}) {
            Verdict verdict;
            ASSERT_EQ(CheckOriginal(host_, Write("c.rom", file), Write("p.pat", row.patch), verdict), std::nullopt);
            EXPECT_EQ(verdict.fit, fit) << row.name << ": " << verdict.evidence;
        }
    }
    Bytes other = z64;
    other[0x13] ^= 1;  // the CRC
    EXPECT_EQ(Apply(other, ApsFor(&z64, false, 0x4000)), Outcome::Stopped);
    const auto identity = [](const Bytes& rom) {
        char said[64];
        std::snprintf(said, sizeof said, "cart ID %02x%02x, country %02x, CRC ", rom[0x3C], rom[0x3D], rom[0x3E]);
        std::string crc;
        for (std::size_t i = 0x10; i < 0x18; ++i) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", rom[i]);
            crc += two;
        }
        return said + crc;
    };
    ExpectRefused(Path("a.rom") + " is not the file this APS patch was made for: the patch expects " + identity(z64) +
                      " in the N64 header of a .z64 image; this file has " + identity(other),
                  "another CRC");
    // A .v64 file for a .z64 patch: read as .z64, the result written as .v64 again.
    ASSERT_EQ(Apply(v64, ApsFor(&z64, false, 0x4000)), Outcome::Done) << host_.messages.back().text;
    Bytes swappedBack = model::ApplyAps(z64, ApsFor(&z64, false, 0x4000));
    for (std::size_t i = 0; i + 1 < swappedBack.size(); i += 2) std::swap(swappedBack[i], swappedBack[i + 1]);
    EXPECT_EQ(Read("out.rom"), swappedBack);
    EXPECT_EQ(Messages().at(Messages().size() - 2), Plain(text::Reordered(Path("a.rom"), ".v64", ".z64")));
    // A header of zeros is still a header the file must have.
    const Bytes blank(0x4000, 0);
    EXPECT_EQ(Apply(Bytes(0x20, 0), ApsFor(&blank, false, 0x4000)), Outcome::Stopped);
    ExpectRefused(Path("a.rom") + " is not the file this APS patch was made for: the patch expects " + identity(blank) +
                      " in the N64 header of a .z64 image; this file has no N64 header (32 bytes)",
                  "a file too short for an N64 header");
    const Bytes simple = ApsFor(nullptr, false, 0x5000);
    const struct {
        const char* name;
        Bytes patch;
        std::string damage;
    } damaged[] = {
        {"a record a byte short", Bytes(simple.begin(), simple.end() - 8), text::RecordCutShort(0, 61)},
    };
    for (const auto& row : damaged) {
        EXPECT_EQ(Apply(z64, row.patch), Outcome::Stopped) << row.name;
        ExpectRefused(Damaged(row.damage), row.name);
    }
}

// An APS patch of the GBA form by hand: a block for each 64 KiB that differs.
Bytes ApsGbaFor(const Bytes& source, const Bytes& target) {
    Bytes out = Text("APS1");
    model::PutLe32(out, static_cast<std::uint32_t>(source.size()));
    model::PutLe32(out, static_cast<std::uint32_t>(target.size()));
    for (std::size_t at = 0; at < std::max(source.size(), target.size()); at += 0x10000) {
        const auto byte = [&](const Bytes& b, std::size_t i) -> std::uint8_t { return i < b.size() ? b[i] : 0; };
        const std::uint16_t before = model::Crc16(source, at, at + 0x10000), after = model::Crc16(target, at, at + 0x10000);
        if (before == after) continue;
        model::PutLe32(out, static_cast<std::uint32_t>(at));
        out.insert(out.end(), {static_cast<std::uint8_t>(before), static_cast<std::uint8_t>(before >> 8),
                               static_cast<std::uint8_t>(after), static_cast<std::uint8_t>(after >> 8)});
        for (std::size_t i = at; i < at + 0x10000; ++i) out.push_back(byte(source, i) ^ byte(target, i));
    }
    return out;
}

TEST_F(ForeignTest, ApsGbaIsHeldToTheCrc16OfEveryBlockBothWays) {
    const Bytes rom = Random(0x40000, 33);
    Bytes hack = rom;
    hack[0x10005] ^= 1, hack[0x3FFFF] ^= 2;
    const Bytes longer = Concat({hack, Random(0x8001, 34)}), shorter(hack.begin(), hack.begin() + 0x28000);
    EXPECT_EQ(model::Crc16(Text("123456789"), 0, 9), 0x29B1) << "the model's check value";
    for (const Bytes* target : std::initializer_list<const Bytes*>{&hack, &longer, &shorter}) {
        const Bytes patch = ApsGbaFor(rom, *target);
        ASSERT_EQ(Apply(rom, patch), Outcome::Done) << host_.messages.back().text;
        ExpectApplied(model::ApplyApsGba(rom, patch), {}, "APS (GBA)", "forward");
        EXPECT_EQ(Read("out.rom"), *target);
        ASSERT_EQ(Apply(*target, patch), Outcome::Done) << host_.messages.back().text;
        ExpectApplied(rom, {Plain(text::TurnedBack(Path("a.rom"), "APS (GBA)"))}, "APS (GBA)", "turned back");
    }
    const Bytes patch = ApsGbaFor(rom, hack);
    Bytes other = rom;
    other[0x3FFF0] ^= 4;
    const std::string wrong = Path("a.rom") + " is not the file this APS (GBA) patch was made for: the patch expects ";
    const auto hex = [](std::uint16_t crc) {
        char said[8];
        std::snprintf(said, sizeof said, "%04x", crc);
        return std::string(said);
    };
    const std::string crc = hex(model::Crc16(rom, 0x30000, 0x40000)), found = hex(model::Crc16(other, 0x30000, 0x40000));
    Bytes corrupt = patch;
    corrupt.back() ^= 1;  // the last block's XOR
    Bytes overlapping = patch;
    overlapping[12 + 65544] = 0xFF;  // the second block at 0x2FFFF
    overlapping[12 + 65545] = 0xFF;
    overlapping[12 + 65546] = 0x00;
    const struct {
        const char* name;
        const Bytes& file;
        Bytes patch;
        std::string refusal;
    } refused[] = {
        {"a block of another file", other, patch, wrong + "CRC16 " + crc + " for the 64 KiB block at 196608 (0x30000); this file's is " + found},
        {"another size", longer, patch, wrong + "262144 bytes; this file has 294913 bytes"},
        {"a result block that does not hold", rom, corrupt,
         "The result's 64 KiB block at 196608 (0x30000) has CRC16 " +
             hex(model::Crc16(Concat({Bytes(hack.begin() + 0x30000, hack.end() - 1), {static_cast<std::uint8_t>(hack.back() ^ 1)}}), 0, 0x10000)) +
             " where the APS (GBA) patch expects " + hex(model::Crc16(hack, 0x30000, 0x40000)) + "; nothing was replaced"},
        {"cut short", rom, Bytes(patch.begin(), patch.end() - 1), Damaged(text::RecordCutShort(1, 12 + 65544))},
        {"overlapping blocks", rom, overlapping, Damaged("record 2 at byte 65556 overlaps the block before it (at 65535 (0xFFFF))")},
    };
    for (const auto& row : refused) {
        EXPECT_EQ(Apply(row.file, row.patch), Outcome::Stopped) << row.name;
        ExpectRefused(row.refusal, row.name);
    }
    ApplyOptions anyway;
    anyway.ignoreChecksum = true;
    ASSERT_EQ(Apply(other, patch, anyway), Outcome::Done);
    EXPECT_EQ(host_.warnings.size(), 2u) << "the original's block, then the result's";
    // Two blocks of the result that do not hold: one warning for both.
    Bytes twice = corrupt;
    twice[12 + 8] ^= 1;  // the first block's XOR
    ASSERT_EQ(Apply(rom, twice, anyway), Outcome::Done);
    ASSERT_EQ(host_.warnings.size(), 1u);
    EXPECT_TRUE(host_.warnings[0].ends_with("; 2 blocks in all differ; applied all the same, as asked; the result is written"))
        << host_.warnings[0];
    const struct {
        const Bytes& file;
        Fit fit;
    } checks[] = {{rom, Fit::Fits}, {hack, Fit::AlreadyApplied}, {other, Fit::DoesNotFit}};
    for (const auto& row : checks) {
        Verdict verdict;
        ASSERT_EQ(CheckOriginal(host_, Write("c.rom", row.file), Write("p.pat", patch), verdict), std::nullopt);
        EXPECT_EQ(verdict.fit, row.fit) << verdict.evidence;
    }
}

// A RUP patch from `source` to `target` as NINJA 2.0's description lays it
// out: numbers low byte first after their length, the text fields padded
// with zeros, XOR runs over what both share, the longer one's tail.
Bytes Md5(const Bytes& bytes) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, bytes.data(), bytes.size());
    Bytes md5(MD5_DIGEST_LENGTH);
    MD5Final(md5.data(), &context);
    return md5;
}
Bytes RupNumber(std::uint64_t v) {
    Bytes bytes;
    for (; v > 0; v >>= 8) bytes.push_back(static_cast<std::uint8_t>(v));
    bytes.insert(bytes.begin(), static_cast<std::uint8_t>(bytes.size()));
    return bytes;
}
// The longer file's bytes past the shorter's end are stored XORed with 0xFF
// (`asItIs`: as this program's maker once wrote them).
Bytes RupFile(const Bytes& source, const Bytes& target, bool asItIs = false) {
    Bytes out = Concat({{1}, RupNumber(8), Text("game.sfc"), {0}, RupNumber(source.size()), RupNumber(target.size()),
                        Md5(source), Md5(target)});
    const Bytes& longer = source.size() > target.size() ? source : target;
    const std::size_t common = std::min(source.size(), target.size());
    if (source.size() != target.size())
        out = Concat({out, {static_cast<std::uint8_t>(source.size() > target.size() ? 'M' : 'A')},
                      RupNumber(longer.size() - common), [&] {
                          Bytes tail(longer.begin() + static_cast<std::ptrdiff_t>(common), longer.end());
                          for (std::uint8_t& b : tail) b = asItIs ? b : static_cast<std::uint8_t>(b ^ 0xFF);
                          return tail;
                      }()});
    for (std::size_t at = 0; at < common;) {
        if (source[at] == target[at]) {
            ++at;
            continue;
        }
        std::size_t end = at;
        Bytes mask;
        while (end < common && source[end] != target[end]) mask.push_back(source[end] ^ target[end]), ++end;
        out = Concat({out, {2}, RupNumber(at), RupNumber(mask.size()), mask});
        at = end;
    }
    return out;
}
Bytes RupFor(const std::vector<std::pair<Bytes, Bytes>>& files, const std::string& title, bool utf8, bool asItIs = false) {
    Bytes out(2048, 0);
    const std::string magic = "NINJA2";
    std::copy(magic.begin(), magic.end(), out.begin());
    out[6] = utf8;
    std::copy(title.begin(), title.end(), out.begin() + 102);
    out[974] = 'd';
    for (const auto& [source, target] : files) out = Concat({out, RupFile(source, target, asItIs)});
    out.push_back(0);
    return out;
}

TEST_F(ForeignTest, RupAppliesTheFileWhoseMd5MatchesAndTurnsBack) {
    const Bytes a = Random(20000, 41), b = Random(9000, 42);
    Bytes a2 = a;
    for (std::size_t i = 0; i < a2.size(); i += 333) a2[i] ^= 0x42;
    const Bytes longer = Concat({a2, Random(700, 43)}), shorter(a2.begin(), a2.begin() + 15000);
    Bytes b2 = b;
    b2[5] ^= 1;
    // Each size change both ways, its tail flipped as RUP patchers write it
    // or as it is, as this program's maker once wrote it.
    for (const auto& [target, asItIs] : std::initializer_list<std::pair<const Bytes*, bool>>{
             {&a2, false}, {&longer, false}, {&shorter, false}, {&longer, true}, {&shorter, true}}) {
        const Bytes patch = RupFor({{b, b2}, {a, *target}}, "Сказка", true, asItIs);
        ASSERT_EQ(Apply(a, patch), Outcome::Done) << host_.messages.back().text;
        ExpectApplied(*target, {Plain("Сказка\n\nd")}, "RUP", "the second file");
        ASSERT_EQ(Apply(*target, patch), Outcome::Done);
        ExpectApplied(a, {Plain("Сказка\n\nd"), Plain(text::TurnedBack(Path("a.rom"), "RUP"))}, "RUP", "turned back");
    }
    const Bytes patch = RupFor({{a, a2}}, "t", false);
    Bytes other = a;
    other[0] ^= 1;
    EXPECT_EQ(Apply(other, patch), Outcome::Stopped);
    EXPECT_EQ(Read("out.rom"), Text("old"));
    ASSERT_FALSE(host_.messages.empty());
    EXPECT_NE(host_.messages.back().text.find("is not a file this RUP patch was made for"), std::string::npos);
    Verdict verdict;
    ASSERT_EQ(CheckOriginal(host_, Write("b.rom", a2), Path("p.pat"), verdict), std::nullopt);
    EXPECT_EQ(verdict.fit, Fit::AlreadyApplied);
    EXPECT_EQ(Apply(a, Bytes(patch.begin(), patch.end() - 1)), Outcome::Stopped);
    ExpectRefused(Damaged("it ends without its end command: it is cut short"), "cut short");
    // Damage the MD5s alone can see, and what follows the end command.
    Bytes flipped = patch;
    flipped[flipped.size() - 2] ^= 1;  // the last XOR byte, before the end command
    EXPECT_EQ(Apply(a, flipped), Outcome::Stopped);
    EXPECT_EQ(Read("out.rom"), Text("old"));
    ASSERT_FALSE(host_.messages.empty());
    EXPECT_NE(host_.messages.back().text.find("The result of the RUP patch " + Path("p.pat") + " has MD5 "),
              std::string::npos)
        << host_.messages.back().text;
    // Asked to apply all the same, the result's MD5 is a warning, even for the
    // file the patch names.
    ApplyOptions anyway;
    anyway.ignoreChecksum = true;
    host_.warnings.clear();
    EXPECT_EQ(Apply(a, flipped, anyway), Outcome::Done);
    ASSERT_EQ(host_.warnings.size(), 1u);
    EXPECT_NE(host_.warnings[0].find("has MD5 "), std::string::npos) << host_.warnings[0];
    EXPECT_EQ(Apply(a, Concat({patch, {0}})), Outcome::Stopped);
    ExpectRefused(Damaged(text::CountOf(1) + " follow its end command"), "a byte after the end command");
    // A lengthening patch whose tail is a byte short, or marked as shortening.
    const Bytes lengthening = RupFor({{a, longer}}, "t", false);
    ASSERT_EQ(lengthening[2098], 'A');
    Bytes shortTail = lengthening;
    shortTail[2100] -= 1;  // 700 as {2, 0xBC, 0x02} at 2099
    shortTail.erase(shortTail.begin() + 2102);
    EXPECT_EQ(Apply(a, shortTail), Outcome::Stopped);
    ExpectRefused(Damaged("the file at byte 2048 holds the wrong number of bytes past the shorter's end"), "a tail a byte short");
    Bytes marked = lengthening;
    marked[2098] = 'M';
    EXPECT_EQ(Apply(a, marked), Outcome::Stopped);
    ExpectRefused(Damaged("the file at byte 2048 lacks the mark of its longer file's bytes"), "the other mark");
    Bytes encoding = patch;
    encoding[6] = 2;
    EXPECT_EQ(Apply(a, encoding), Outcome::Stopped);
    ExpectRefused(Damaged("its text encoding (2) is neither the code page nor UTF-8"), "a text encoding of 2");
    Bytes ninth = patch;  // the file name's length, 8, written in nine bytes, the last of them set
    ASSERT_EQ(ninth[2049], 1);
    ninth.erase(ninth.begin() + 2049, ninth.begin() + 2051);
    const Bytes nine = {9, 8, 0, 0, 0, 0, 0, 0, 0, 1};
    ninth.insert(ninth.begin() + 2049, nine.begin(), nine.end());
    EXPECT_EQ(Apply(a, ninth), Outcome::Stopped);
    ExpectRefused(Damaged(text::NumberTooLarge(2048)), "a number's ninth byte set");
}

#ifndef _WIN32
// BDF: patches Debian's bsdiff makes, applied here and by its bspatch alike;
// damage in a stream, or a patch cut short, leaves the output as it was.
// A ROM image behind each kind of header, or in another N64 byte order,
// found by the patch's checksums: applied to the image, the header kept and
// the byte order given back; a header the file lacks is named, never guessed.
TEST_F(ForeignTest, HeadersAndN64ByteOrdersAreSeenThroughBothWays) {
    const auto order = [](Bytes image, int from, int to) {  // 0 .z64, 1 .v64, 2 .n64
        const auto swapped = [](Bytes b, int kind) {
            for (std::size_t i = 0; i + 4 <= b.size(); i += 4) {
                if (kind == 1) std::swap(b[i], b[i + 1]), std::swap(b[i + 2], b[i + 3]);
                if (kind == 2) std::reverse(b.begin() + static_cast<std::ptrdiff_t>(i), b.begin() + static_cast<std::ptrdiff_t>(i + 4));
            }
            return b;
        };
        return swapped(swapped(image, from), to);  // through .z64
    };
    Bytes z64 = Random(0x8000, 51);
    z64[0] = 0x80, z64[1] = 0x37, z64[2] = 0x12, z64[3] = 0x40;
    Bytes hack = z64;
    hack[0x1234] ^= 0x55, hack[0x7FFF] ^= 1;
    const Bytes image = Random(0x6000, 52), changed = Concat({Bytes(image.begin(), image.end() - 3), {1, 2, 3, 4}});
    const Bytes ines = Concat({Text("NES\x1a"), Bytes(12, 1)}), fds = Concat({Text("FDS\x1a"), Bytes(12, 2)});
    const Bytes lynx = Concat({Text("LYNX"), Bytes(60, 3)}), copier = Bytes(512, 4);
    const Bytes disk = Concat({Text("\x01*NINTENDO-HVC*"), image});
    const std::string a = Path("a.rom");
    // Copies from odd places of a file larger than one read: reads that end inside a word.
    Bytes bigZ64 = Random(0x300000, 54), bigHack;
    std::copy(z64.begin(), z64.begin() + 4, bigZ64.begin());
    const Bytes oddCopies = BpsFor(bigZ64, {{model::SourceCopy, 0x180001, 0x80003}, {model::SourceRead, 0x17FFFF}}, "", bigHack);
    // Our own format, by its blocks' bytes: each differs from the original's
    // (4 KiB of them, which a file in another byte order contradicts).
    Bytes ownHack = z64;
    for (std::size_t i = 0x1000; i < 0x2000; ++i) ownHack[i] ^= 0xA5;
    // And xdelta, by the Adler-32 of its first window.
    const auto made = [&](const Bytes& from, const Bytes& to, const std::string& name) {
        MakePatch(host_, Write("o.rom", from), Write("c.rom", to), Path(name), "");
        return Read(name);
    };
    const auto own = [&](const Bytes& from, const Bytes& to) { return made(from, to, "own.ppp"); };
    const struct {
        const char* name;
        Bytes file, patch, result;
        std::string note;
    } rows[] = {
        {"iNES", Concat({ines, image}), model::Ups(image, changed), Concat({ines, changed}), text::HeaderKept(a, "iNES", 16)},
        {"FDS", Concat({fds, disk}), model::Ups(disk, changed), Concat({fds, changed}), text::HeaderKept(a, "FDS", 16)},
        {"Lynx", Concat({lynx, image}), model::Ups(image, changed), Concat({lynx, changed}), text::HeaderKept(a, "Lynx", 64)},
        {"copier", Concat({copier, image}), model::Ups(image, changed), Concat({copier, changed}), text::HeaderKept(a, "copier", 512)},
        {"RUP, iNES", Concat({ines, image}), RupFor({{image, changed}}, "t", true), Concat({ines, changed}), text::HeaderKept(a, "iNES", 16)},
        {"APS (GBA), copier", Concat({copier, image}), ApsGbaFor(image, changed), Concat({copier, changed}), text::HeaderKept(a, "copier", 512)},
        {".v64 for .z64", order(z64, 0, 1), model::Ups(z64, hack), order(hack, 0, 1), text::Reordered(a, ".v64", ".z64")},
        {".n64 for .z64", order(z64, 0, 2), model::Ups(z64, hack), order(hack, 0, 2), text::Reordered(a, ".n64", ".z64")},
        {".z64 for .v64", z64, model::Ups(order(z64, 0, 1), order(hack, 0, 1)), hack, text::Reordered(a, ".z64", ".v64")},
        {".n64 for .v64", order(z64, 0, 2), model::Ups(order(z64, 0, 1), order(hack, 0, 1)), order(hack, 0, 2),
         text::Reordered(a, ".n64", ".v64")},
        {"RUP, .v64 for .z64", order(z64, 0, 1), RupFor({{z64, hack}}, "t", true), order(hack, 0, 1), text::Reordered(a, ".v64", ".z64")},
        {"BPS copying from odd places, .v64 for .z64", order(bigZ64, 0, 1), oddCopies, order(bigHack, 0, 1),
         text::Reordered(a, ".v64", ".z64")},
        {"xdelta, iNES", Concat({ines, image}), made(image, changed, "x.xdelta"), Concat({ines, changed}),
         text::HeaderKept(a, "iNES", 16)},
        {"PPF by its undo data, Lynx", Concat({lynx, image}), made(image, changed, "x.ppf"), Concat({lynx, changed}),
         text::HeaderKept(a, "Lynx", 64)},
        {"xdelta, .v64 for .z64", order(z64, 0, 1), made(z64, hack, "x.xdelta"), order(hack, 0, 1),
         text::Reordered(a, ".v64", ".z64")},
        {"ZelkPatch, iNES", Concat({ines, image}), own(image, changed), Concat({ines, changed}), text::HeaderKept(a, "iNES", 16)},
        {"ZelkPatch, Lynx", Concat({lynx, image}), own(image, changed), Concat({lynx, changed}), text::HeaderKept(a, "Lynx", 64)},
        {"ZelkPatch, copier", Concat({copier, image}), own(image, changed), Concat({copier, changed}),
         text::HeaderKept(a, "copier", 512)},
        {"ZelkPatch, .v64 for .z64", order(z64, 0, 1), own(z64, ownHack), order(ownHack, 0, 1),
         text::Reordered(a, ".v64", ".z64")},
        {"ZelkPatch, .n64 for .v64", order(z64, 0, 2), own(order(z64, 0, 1), order(ownHack, 0, 1)), order(ownHack, 0, 2),
         text::Reordered(a, ".n64", ".v64")},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(Apply(row.file, row.patch), Outcome::Done) << row.name << ": " << host_.messages.back().text;
        EXPECT_EQ(Read("out.rom"), row.result) << row.name;
        ASSERT_GE(host_.messages.size(), 2u) << row.name;
        EXPECT_EQ(host_.messages[host_.messages.size() - 2].text, row.note) << row.name;
        Verdict verdict;
        ASSERT_EQ(CheckOriginal(host_, a, Path("p.pat"), verdict), std::nullopt);
        EXPECT_EQ(verdict.fit, Fit::Fits) << row.name << ": " << verdict.evidence;
    }
    // IPS has no checksum, but a SNES ROM's own, which a hack rewrites,
    // tells where the image starts: at +512 and at -512; a file whose pair
    // agrees both ways keeps today's reading.
    Bytes snes = Random(0x10000, 53);
    snes[0x7FDC] = 0xCB, snes[0x7FDD] = 0xED, snes[0x7FDE] = 0x34, snes[0x7FDF] = 0x12;
    const Bytes pair = {0xDE, 0xBC, 0x21, 0x43};
    Bytes snesHack = snes;
    std::copy(pair.begin(), pair.end(), snesHack.begin() + 0x7FDC);
    snesHack[0x100] = 0x55;
    const auto ips = [&](std::uint32_t base) { return model::Ips({{base + 0x100, {0x55}}, {base + 0x7FDC, pair}}); };
    const Bytes across = model::Ips({{500, Random(20, 55)}, {512 + 0x100, {0x55}}, {512 + 0x7FDC, pair}});
    const Bytes acrossHeadered = model::ApplyIps(Concat({copier, snes}), across);
    Bytes both = Concat({copier, snes});
    std::copy(snes.begin() + 0x7FDC, snes.begin() + 0x7FE0, both.begin() + 0x7FDC);
    const struct {
        const char* name;
        Bytes file, patch, result;
        std::string note;
    } ipsRows[] = {
        {"IPS for a headered ROM, none here", snes, ips(512), snesHack, text::HeaderAssumed(a)},
        {"a record across the header's end, none here", snes, across, Bytes(acrossHeadered.begin() + 512, acrossHeadered.end()),
         text::HeaderAssumed(a)},
        {"IPS for a headerless ROM, one here", Concat({copier, snes}), ips(0), Concat({copier, snesHack}),
         text::HeaderKept(a, "copier", 512)},
        {"a file whose checksum agrees both ways", both, ips(512), model::ApplyIps(both, ips(512)), ""},
    };
    for (const auto& row : ipsRows) {
        ASSERT_EQ(Apply(row.file, row.patch), Outcome::Done) << row.name << ": " << host_.messages.back().text;
        EXPECT_EQ(Read("out.rom"), row.result) << row.name;
        std::vector<RecordedMessage> said{Plain(text::ForeignDone("IPS"))};
        if (!row.note.empty()) said.insert(said.begin(), Plain(row.note));
        EXPECT_EQ(Messages(), said) << row.name;
    }
    // Where nothing tells (no SNES checksum): applied as it is, and what the
    // file shows is named, by apply and check alike.
    const struct {
        const char* name;
        Bytes file;
        std::string seen, remedy;
    } blind[] = {
        {"iNES", Concat({ines, image}), a + " starts with a 16-byte iNES header", "remove the header first."},
        {".v64", order(z64, 0, 1), a + " is an N64 image in the .v64 byte order", "convert the file to .z64 first."},
        {"copier mark", Concat({copier, image}), a + "'s size, 25088 bytes, is 512 more than a multiple of 1 KiB",
         "remove the file's first 512 bytes first."},
    };
    for (const auto& row : blind) {
        const Bytes ips = model::Ips({{0x100, {0x55}}});
        ASSERT_EQ(Apply(row.file, ips), Outcome::Done) << row.name;
        EXPECT_EQ(Read("out.rom"), model::ApplyIps(row.file, ips)) << row.name;
        ASSERT_EQ(Messages().size(), 2u) << row.name;
        EXPECT_TRUE(Messages()[0].text.starts_with(row.seen) && Messages()[0].text.ends_with(row.remedy))
            << Messages()[0].text;
        Verdict verdict;
        ASSERT_EQ(CheckOriginal(host_, a, Path("p.pat"), verdict), std::nullopt);
        EXPECT_NE(verdict.evidence.find(row.seen), std::string::npos) << verdict.evidence;
    }
    // The patch's original had the header: refused, the header named.
    const struct {
        const char* name;
        Bytes header, file;
        std::string lacked;
    } lacking[] = {
        {"iNES", ines, image, "16-byte iNES header"},
        {"FDS", fds, disk, "16-byte FDS header"},
        {"Lynx", lynx, image, "64-byte Lynx header"},
        {"copier", copier, image, "512-byte copier header"},
    };
    for (const auto& row : lacking) {
        const Bytes source = Concat({row.header, row.file});
        EXPECT_EQ(Apply(row.file, model::Ups(source, Concat({source, {9}}))), Outcome::Stopped) << row.name;
        ExpectRefused(text::WrongFile(a, "UPS", source.size(), model::Crc(source), row.file.size(), model::Crc(row.file)) +
                          " It is " + std::to_string(row.header.size()) +
                          " bytes shorter than the patch's original: that file likely had a " + row.lacked +
                          ", which this one lacks. A header's bytes cannot be guessed: look for the image with its header.",
                      row.name);
    }
}

TEST_F(ForeignTest, BdfPatchesOfBsdiffApplyAsBspatchApplies) {
    if (std::system("command -v bsdiff > /dev/null && command -v bspatch > /dev/null") != 0)
        GTEST_SKIP() << "bsdiff is not installed";
    const Bytes rom = Random(300000, 21);
    Bytes edited = rom;
    for (std::size_t i = 0; i < edited.size(); i += 4099) edited[i] ^= 0x33;
    Bytes moved = edited;
    const Bytes fresh = Random(20000, 22);
    moved.insert(moved.begin() + 100000, fresh.begin(), fresh.end());
    const Bytes pairs[] = {edited, moved, Concat({edited, Random(5000, 23)}), Bytes(edited.begin(), edited.begin() + 200000)};
    const std::string a = Write("a.rom", rom);
    for (const Bytes& changed : pairs) {
        const std::string b = Write("b.rom", changed);
        ASSERT_EQ(std::system(("bsdiff '" + a + "' '" + b + "' '" + Path("p.pat") + "'").c_str()), 0);
        const Bytes patch = Read("p.pat");
        ASSERT_EQ(Apply(rom, patch), Outcome::Done) << changed.size() << ": " << host_.messages.back().text;
        ExpectApplied(changed, {}, "BDF", std::to_string(changed.size()));
        ASSERT_EQ(std::system(("bspatch '" + a + "' '" + Path("bs.rom") + "' '" + Path("p.pat") + "'").c_str()), 0);
        EXPECT_EQ(Read("bs.rom"), Read("out.rom"));
        Verdict verdict;
        ASSERT_EQ(CheckOriginal(host_, a, Path("p.pat"), verdict), std::nullopt);
        EXPECT_EQ(verdict.fit, Fit::Fits);
        EXPECT_EQ(verdict.evidence, text::NoChecksum("BDF") + ".");
    }
    const Bytes patch = Read("p.pat");
    Bytes damaged = patch;
    damaged[40] ^= 0x55;  // inside the control stream
    EXPECT_EQ(Apply(rom, damaged), Outcome::Stopped);
    ExpectRefused(Damaged("its control stream at byte 32 cannot be decompressed"), "damaged");
    EXPECT_EQ(Apply(rom, Bytes(patch.begin(), patch.end() - 10)), Outcome::Stopped);
    ExpectRefused(Damaged("its extra stream at byte " +
                          std::to_string(32 + model::Reader{patch, 8}.Le32() + model::Reader{patch, 16}.Le32()) +
                          " is cut short"),
                  "cut short");

    // By hand: one control of (add, copy, seek) making five bytes.
    const auto bdf = [](std::uint64_t add, std::uint64_t copy, const Bytes& afterControl, const Bytes& moreControl = {}) {
        const auto bz2 = [](const Bytes& plain) {
            Bytes out(plain.size() + 1000);
            auto size = static_cast<unsigned>(out.size());
            Bytes in = plain;
            EXPECT_EQ(BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size, reinterpret_cast<char*>(in.data()),
                                               static_cast<unsigned>(in.size()), 9, 0, 0),
                      BZ_OK);
            out.resize(size);
            return out;
        };
        const auto le64 = [](std::uint64_t v) {
            Bytes out;
            for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
            return out;
        };
        const Bytes control = Concat({bz2(Concat({le64(add), le64(copy), le64(0), moreControl})), afterControl});
        const Bytes diff = bz2(Bytes(add, 1)), extra = bz2(Bytes(copy, 9));
        return Concat({Text("BSDIFF40"), le64(control.size()), le64(diff.size()), le64(5), control, diff, extra});
    };
    ASSERT_EQ(Apply(rom, bdf(4, 1, {})), Outcome::Done);
    ExpectApplied({static_cast<std::uint8_t>(rom[0] + 1), static_cast<std::uint8_t>(rom[1] + 1),
                   static_cast<std::uint8_t>(rom[2] + 1), static_cast<std::uint8_t>(rom[3] + 1), 9},
                  {}, "BDF", "by hand");
    EXPECT_EQ(Apply(rom, bdf(4, 2, {})), Outcome::Stopped);
    ExpectRefused(Damaged("its control stream at byte 32 says to write past the result's 5 bytes"), "add and copy past the result");
    // bspatch reads a stream's bytes only as far as it ends; here the stated
    // lengths are the patch's own word, and bytes they hold unused are damage.
    EXPECT_EQ(Apply(rom, bdf(4, 1, {0})), Outcome::Stopped);
    ExpectRefused(Damaged("its control stream at byte 32 is followed by bytes it does not use"), "bytes after a stream");
    EXPECT_EQ(Apply(rom, bdf(4, 1, {}, Bytes(24, 0))), Outcome::Stopped);
    ExpectRefused(Damaged("its control stream at byte 32 holds more than the result needs"), "a control too many");
    Bytes longDiff = bdf(4, 1, {});
    longDiff[16] += static_cast<std::uint8_t>(longDiff.size());  // the diff stream's length, past the file's end
    EXPECT_EQ(Apply(rom, longDiff), Outcome::Stopped);
    ExpectRefused(Damaged("its streams run past the end of the file"), "a diff stream past the end");
    // Past the original's end the differences are the bytes themselves.
    ASSERT_EQ(Apply({1, 2, 3}, bdf(4, 1, {})), Outcome::Done);
    ExpectApplied({2, 3, 4, 1, 9}, {}, "BDF", "past the original's end");
}
#endif

}  // namespace
}  // namespace zelk::test
