// Which original? The analysis against a plain reading of the maker's rules,
// and over seeded pairs: never a false alarm for the right original, never
// a fit for the wrong ones.
#include <functional>
#include <random>

#include "engine/fit_check.h"
#include "engine/patch_maker.h"
#include "engine/user_texts.h"
#include "test_support.h"

namespace zelk::test {
namespace {

using Blocks = std::vector<std::pair<std::int32_t, Bytes>>;

// The rules read literally, one byte at a time, for the file as it is.
Fit ModelVerdict(const Bytes& file, const Blocks& blocks) {
    const std::size_t n = file.size();
    bool broken = false;
    std::size_t total = 0, same = 0, previousEnd = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const std::size_t offset = static_cast<std::size_t>(blocks[b].first);
        const Bytes& data = blocks[b].second;
        const std::size_t end = offset + data.size();
        if (b > 0 && (offset < previousEnd || (offset == previousEnd && offset != n))) broken = true;
        if (end > n && offset != n) broken = true;
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (offset + i < file.size() && file[offset + i] == data[i]) {
                ++same;
                if (offset + i < n) broken = true;
            }
        }
        total += data.size();
        previousEnd = end;
    }
    if (!broken) return Fit::Fits;
    return total > 0 && same == total ? Fit::AlreadyApplied : Fit::DoesNotFit;
}

class FitTest : public FileTest {
protected:
    FitReport Check(const Bytes& file, const Bytes& patch) {
        auto f = host_.OpenInput(Write("file.rom", file));
        auto p = host_.OpenInput(Write("check.ppp", patch));
        const PatchSummary summary = CheckPatch(*p, 4096);
        EXPECT_EQ(summary.status, PatchStatus::Sound);
        return CheckFit(*f, *p, summary, 4096);
    }
};

TEST_F(FitTest, VerdictsAgreeWithThePlainRules) {
    const Bytes original = Random(2048, 11);
    Bytes changed = original;
    for (std::size_t i = 100; i < 2048; i += 150) changed[i] = static_cast<std::uint8_t>(~original[i]);
    const Bytes tail = Random(40, 13);
    changed.insert(changed.end(), tail.begin(), tail.end());
    Blocks blocks;
    for (std::size_t i = 100; i < 2048; i += 150) blocks.push_back({static_cast<std::int32_t>(i), {changed[i]}});
    blocks.push_back({2048, tail});
    Bytes header = Random(512, 12);
    header[100] = changed[100];  // the blocks meet one new byte in the header
    Bytes revision = original;
    revision[700] = changed[700];  // holds one new byte already, not all
    using H = FitReport::Header;
    const struct {
        const char* name;
        Bytes file;
        Blocks blocks;
        Fit verdict;
        H header;
        std::optional<std::uint64_t> madeFrom;
    } rows[] = {
        {"the original", original, blocks, Fit::Fits, H::Same, {}},
        {"the changed file", changed, blocks, Fit::AlreadyApplied, H::Same, {}},
        {"with a header", Concat({header, original}), blocks, Fit::DoesNotFit, H::FileHasOne, {}},
        {"without the header", Bytes(original.begin() + 512, original.end()), blocks, Fit::DoesNotFit,
         H::FileLacksOne, 2048},
        {"another revision", revision, blocks, Fit::DoesNotFit, H::Same, {}},
        {"cut short", Bytes(original.begin(), original.end() - 300), blocks, Fit::DoesNotFit, H::Same, 2048},
        {"longer", Concat({original, Bytes(10, 0)}), blocks, Fit::DoesNotFit, H::Same, {}},
        // A cut inside a patch without a tail: its last block says nothing of the original's length.
        {"cut inside a block, no tail", Bytes(original.begin(), original.begin() + 1000),
         {{100, {changed[100]}}, {995, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}}, Fit::DoesNotFit, H::Same, {}},
        {"no blocks", original, {}, Fit::Fits, H::Same, {}},
        {"blocks that touch", original, {{5, {static_cast<std::uint8_t>(~original[5])}}, {6, {static_cast<std::uint8_t>(~original[6])}}}, Fit::DoesNotFit,
         H::Same, {}},
    };
    for (const auto& row : rows) {
        const FitReport report = Check(row.file, PatchBytes(row.blocks, ""));
        EXPECT_EQ(report.verdict, ModelVerdict(row.file, row.blocks)) << row.name;
        EXPECT_EQ(report.verdict, row.verdict) << row.name << ": " << text::FitEvidence(report);
        EXPECT_EQ(report.header, row.header) << row.name << ": " << text::FitEvidence(report);
        EXPECT_EQ(report.madeFrom, row.madeFrom) << row.name << ": " << text::FitEvidence(report);
    }
}

// What the evidence says, and what it must not claim.
TEST_F(FitTest, TheEvidenceSaysWhatTheFileShows) {
    const Bytes original = Random(2048, 21);
    const Bytes header = Random(512, 22);
    const Bytes headered = Concat({header, original});
    // 20-byte blocks, no tail, whose bytes differ from the file's at every
    // alignment (as is, without 512 bytes, with 512 more): they fit both.
    Blocks noTail;
    for (std::size_t o = 100; o + 20 < 1500; o += 200) {
        Bytes data;
        for (std::size_t i = o; i < o + 20; ++i) {
            std::uint8_t v = 0;
            while (v == original[i] || v == headered[i] || v == original[i + 512]) ++v;
            data.push_back(v);
        }
        noTail.push_back({static_cast<std::int32_t>(o), data});
    }
    // The same blocks holding the original's bytes inverted, and one byte
    // each that breaks the alignments with a header: only the file as it is
    // can fit them.
    Blocks plain = noTail;
    for (auto& [offset, data] : plain)
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(~original[offset + i]);
    plain[0].second[0] = original[100 + 512];
    plain[3].second[0] = original[700 - 512];
    ASSERT_NE(original[100 + 512], original[100]);
    ASSERT_NE(original[700 - 512], original[700]);
    Bytes firstNew = original, middleNew = original, fourNew = original;
    firstNew[300] = plain[1].second[0];
    middleNew[305] = plain[1].second[5];
    for (std::size_t b = 0; b < 4; ++b) fourNew[plain[b].first + 3] = plain[b].second[3];
    const Bytes small = Random(300, 23);
    Bytes smallChanged = small;
    smallChanged[10] ^= 1;
    smallChanged[50] ^= 1;
    const struct {
        const char* name;
        Bytes file;
        Blocks blocks;
        Fit verdict;
        std::function<bool(const FitReport&)> holds;
        const char* says;       // ends the evidence when set
        const char* saysNot;
    } rows[] = {
        {"its own original, no tail", original, noTail, Fit::Fits, [](auto& r) { return !r.headerMark; }, nullptr,
         "lengths agree"},
        {"a header in front, no tail", headered, noTail, Fit::Fits,
         [](auto& r) { return r.headerMark && r.fitsWithoutHeader; }, "the patch fits it with or without one.", nullptr},
        {"a small changed file", smallChanged, {{10, {smallChanged[10]}}, {50, {smallChanged[50]}}}, Fit::AlreadyApplied,
         [](auto&) { return true; }, nullptr, nullptr},
        {"a block's first byte new", firstNew, plain, Fit::DoesNotFit, [](auto& r) { return !r.onlyInsideBlocks; },
         nullptr, "merges"},
        {"a byte inside a block new", middleNew, plain, Fit::DoesNotFit, [](auto& r) { return r.onlyInsideBlocks; },
         "may still be the right file.", nullptr},
        {"four blocks broken", fourNew, plain, Fit::DoesNotFit,
         [](auto& r) { return r.breaks == std::vector<std::uint64_t>{103, 303, 503}; }, nullptr, nullptr},
    };
    for (const auto& row : rows) {
        const FitReport report = Check(row.file, PatchBytes(row.blocks, ""));
        const std::string evidence = text::FitEvidence(report);
        EXPECT_EQ(report.verdict, row.verdict) << row.name << ": " << evidence;
        EXPECT_TRUE(row.holds(report)) << row.name << ": " << evidence;
        if (row.says) {
            EXPECT_TRUE(evidence.ends_with(row.says)) << row.name << ": " << evidence;
        }
        if (row.saysNot) {
            EXPECT_EQ(evidence.find(row.saysNot), std::string::npos) << row.name << ": " << evidence;
        }
    }
}

// Seeded ROM-like pairs, each made into a patch by this program's maker:
// the original always fits; the changed file is found already patched; a
// header too many or too few, another revision (its content shifted), a
// cut original and a longer one never fit. A longer file is told only
// while its extra bytes end inside the patch's tail: beyond that, nothing
// in the patch can tell it from an original.
TEST_F(FitTest, TheRightOriginalAlwaysFitsAndWrongOnesNever) {
    for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        std::mt19937 rng(seed);
        const std::size_t size = 4096 + rng() % 60000;
        Bytes original = Random(size, seed);
        // Banks of padding, as ROMs have.
        for (std::size_t at = rng() % size; at + 300 < size && rng() % 3 != 0; at = rng() % size)
            std::fill_n(original.begin() + static_cast<std::ptrdiff_t>(at), 300, rng() % 2 ? 0xFF : 0x00);
        Bytes changed = original;
        for (int cluster = 0; cluster < 40; ++cluster) {
            const std::size_t at = rng() % size;
            const std::size_t length = 1 + rng() % 200;
            for (std::size_t i = at; i < std::min(size, at + length); ++i)
                if (rng() % 5 != 0) changed[i] = static_cast<std::uint8_t>(rng());
        }
        const Bytes tail = Random(2 + rng() % 700, seed + 100);
        changed.insert(changed.end(), tail.begin(), tail.end());
        host_.messages.clear();
        ASSERT_EQ(MakePatch(host_, Write("a.rom", original), Write("b.rom", changed), Path("p.ppp"), ""), Outcome::Done);
        const Bytes patch = Read("p.ppp");

        EXPECT_EQ(Check(original, patch).verdict, Fit::Fits) << "seed " << seed;
        EXPECT_EQ(Check(changed, patch).verdict, Fit::AlreadyApplied) << "seed " << seed;
        const std::size_t shift = 1 + rng() % 64;
        Bytes revision = Concat({Random(shift, seed + 200), original});
        revision.resize(size);
        const struct {
            const char* name;
            Bytes file;
        } wrong[] = {
            {"with a header", Concat({Random(512, seed + 300), original})},
            {"without the header", Bytes(original.begin() + 512, original.end())},
            {"another revision", revision},
            {"cut short", Bytes(original.begin(), original.end() - 1 - rng() % 512)},
            {"longer", Concat({original, Random(1 + rng() % (tail.size() - 1), seed + 400)})},
        };
        for (const auto& file : wrong) {
            const FitReport report = Check(file.file, patch);
            EXPECT_EQ(report.verdict, Fit::DoesNotFit) << file.name << ", seed " << seed << ": " << text::FitEvidence(report);
        }
    }
}

}  // namespace
}  // namespace zelk::test
