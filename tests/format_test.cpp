// The patch layout, the checks on a patch read back, and the run finder.
#include <random>

#include "engine/diff_scanner.h"
#include "engine/patch_format.h"
#include "engine/patch_maker.h"
#include "test_support.h"

namespace zelk::test {
namespace {

using FormatTest = FileTest;

TEST_F(FormatTest, WorkedExampleIsExactlyItsFiftyOneBytes) {
    const auto original = Write("a.rom", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    const auto changed = Write("b.rom", {0x00, 0xAA, 0x22, 0x33, 0xBB, 0xCC, 0x66, 0x77, 0x88, 0x99});
    ASSERT_EQ(MakePatch(host_, original, changed, Path("p.ppp"), "abc"), Outcome::Done);
    const Bytes expected = Concat({Text("Zelk Patch v1.0"), {0x31, 0, 0, 0},
                                   {1, 0, 0, 0, 1, 0, 0, 0, 0xAA},
                                   {4, 0, 0, 0, 2, 0, 0, 0, 0xBB, 0xCC},
                                   {8, 0, 0, 0, 2, 0, 0, 0, 0x88, 0x99},
                                   {0x61, 0x62, 0x63}});
    ASSERT_EQ(expected.size(), 51u);
    EXPECT_EQ(Read("p.ppp"), expected);
    EXPECT_EQ(Messages(), std::vector{Plain("Done ZelkPatch generation!")});
}

TEST(LineBreaks, BareLineFeedsBecomeCrLfAndPairsStay) {
    EXPECT_EQ(ToCrLf("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(ToCrLf("\n\n"), "\r\n\r\n");
    EXPECT_EQ(ToCrLf("lone\rcr"), "lone\rcr");
    EXPECT_EQ(ToCrLf(""), "");
}

class CheckPatchTest : public FileTest {
protected:
    PatchSummary Check(const Bytes& bytes) {
        auto file = host_.OpenInput(Write("check.ppp", bytes));
        return CheckPatch(*file, 7);
    }
    void ExpectDamaged(const Bytes& bytes, const std::string& where) {
        const PatchSummary summary = Check(bytes);
        EXPECT_EQ(summary.status, PatchStatus::Damaged);
        EXPECT_NE(summary.damage.find(where), std::string::npos) << summary.damage;
    }
};

TEST_F(CheckPatchTest, SoundPatchesAreSummed) {
    const PatchSummary s = Check(PatchBytes({{5, {1, 2, 3}}, {2, {9}}, {100, {7, 7}}}, "hi"));
    EXPECT_EQ(s.status, PatchStatus::Sound);
    EXPECT_EQ(s.blockCount, 3u);
    EXPECT_EQ(s.coveredBytes, 6u);
    EXPECT_EQ(s.maxEnd, 102u);
    EXPECT_EQ(s.CommentLength(), 2u);
    // Fewer than eight bytes before the comment are not a block.
    Bytes loose = Concat({Text(PatchMagic), Int32(19 + 7 + 1), Bytes(7, 0xEE), Text("c")});
    EXPECT_EQ(Check(loose).status, PatchStatus::Sound);
    EXPECT_EQ(Check(loose).blockCount, 0u);
}

TEST_F(CheckPatchTest, WrongOrShortMagicIsNotAPatch) {
    EXPECT_EQ(Check({}).status, PatchStatus::NotAPatch);
    EXPECT_EQ(Check(Text("Zelk Patch v1.")).status, PatchStatus::NotAPatch);
    EXPECT_EQ(Check(Text("zelk Patch v1.0\x14\0\0\0")).status, PatchStatus::NotAPatch);
    EXPECT_EQ(Check(Text("Zelk Patch v1.1\x14\0\0\0")).status, PatchStatus::NotAPatch);
}

TEST_F(CheckPatchTest, EveryKindOfDamageIsFoundWithItsPlace) {
    const Bytes magic = Text(PatchMagic);
    ExpectDamaged(Concat({magic, {20, 0}}), "header is cut short");
    ExpectDamaged(Concat({magic, Int32(0)}), "comment position 0");
    ExpectDamaged(Concat({magic, Int32(-5)}), "comment position -5");
    ExpectDamaged(Concat({magic, Int32(22), {'x'}}), "comment position 22 lies outside the file (20 bytes)");
    // Inside the header, the comment would show the header itself.
    ExpectDamaged(Concat({magic, Int32(1), Text("xyz")}), "comment position 1 lies inside the header");
    ExpectDamaged(Concat({magic, Int32(19), Text("xyz")}), "comment position 19 lies inside the header");
    const auto block = [&](std::int32_t offset, std::int32_t length, const Bytes& data) {
        const Bytes body = Concat({Int32(offset), Int32(length), data});
        return Concat({magic, Int32(static_cast<std::int32_t>(19 + body.size() + 1)), body});
    };
    ExpectDamaged(block(-1, 1, {0}), "block 1 at byte 19 has a negative offset (-1)");
    ExpectDamaged(block(0, 0, {}), "block 1 at byte 19 has length 0");
    ExpectDamaged(block(0, -3, {}), "has length -3");
    ExpectDamaged(block(0x7FFFFFFF, 1, {0}), "ends past the 32-bit limit");
    EXPECT_EQ(Check(block(0x7FFFFFFE, 1, {0})).maxEnd, 0x7FFFFFFFu);  // the last byte there is
    ExpectDamaged(block(0x7FFFFFF0, 0x7FFFFFF0, {0}), "ends past the 32-bit limit");
    ExpectDamaged(block(0, 5, {1, 2}), "runs past the end of the file");
    // Data that reaches into the comment.
    Bytes into = Concat({magic, Int32(19 + 8 + 2 + 1), Int32(0), Int32(4), {1, 2}, Text("comment")});
    ExpectDamaged(into, "block 1 at byte 19 runs into the comment");
    // The second block is the broken one.
    Bytes second = Concat({magic, Int32(19 + 9 + 8 + 1), Int32(0), Int32(1), {1}, Int32(3), Int32(0)});
    ExpectDamaged(second, "block 2 at byte 28 has length 0");
}

TEST_F(CheckPatchTest, HugeClaimsInASmallFileAllocateNothing) {
    // 2 GiB of block data claimed by a 100-byte file: the check must look
    // at the numbers, not try to read or hold them.
    Bytes claim = Concat({Text(PatchMagic), Int32(101), Int32(0), Int32(0x7FFFFFFE)});
    claim.resize(100, 0x5A);
    ExpectDamaged(claim, "runs past the end of the file");
}

TEST_F(CheckPatchTest, ValidPatchCutAtEveryLengthNeverPassesAsSound) {
    const Bytes full = PatchBytes({{0, {1, 2, 3}}, {10, {4}}, {20, {5, 6}}}, "");
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        const PatchSummary s = Check(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
        EXPECT_NE(s.status, PatchStatus::Sound) << "cut at " << cut;
    }
    EXPECT_EQ(Check(full).status, PatchStatus::Sound);
}

// Records runs as (offset, bytes) to compare against a plain byte loop.
struct RunRecorder : DiffSink {
    std::vector<std::pair<std::uint64_t, Bytes>> runs;
    bool open = false;
    void RunBegin(std::uint64_t offset) override {
        EXPECT_FALSE(open);
        open = true;
        runs.push_back({offset, {}});
    }
    void RunBytes(std::span<const std::uint8_t> bytes) override {
        EXPECT_TRUE(open);
        EXPECT_FALSE(bytes.empty());
        runs.back().second.insert(runs.back().second.end(), bytes.begin(), bytes.end());
    }
    void RunEnd() override {
        EXPECT_TRUE(open);
        open = false;
    }
};

std::vector<std::pair<std::uint64_t, Bytes>> NaiveRuns(const Bytes& a, const Bytes& b) {
    std::vector<std::pair<std::uint64_t, Bytes>> runs;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        if (i == 0 || a[i - 1] == b[i - 1]) runs.push_back({i, {}});
        runs.back().second.push_back(b[i]);
    }
    return runs;
}

TEST(DiffScanner, RunsDoNotDependOnHowTheStreamsAreCut) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        const std::size_t size = rng() % 3000;
        const Bytes a = Random(size, seed);
        Bytes b = a;
        // Sparse clusters, single bytes, long runs, differences at both ends.
        const int density = static_cast<int>(rng() % 4);
        for (std::size_t i = 0; i < size; ++i) {
            const bool flip = density == 0 ? rng() % 97 == 0 : density == 1 ? rng() % 3 == 0 : density == 2 ? (i / 70) % 2 == 1 : rng() % 2 == 0;
            if (flip) b[i] = static_cast<std::uint8_t>(a[i] ^ (1 + rng() % 255));
        }
        RunRecorder recorder;
        DiffScanner scanner(recorder);
        for (std::size_t at = 0; at < size;) {
            const std::size_t piece = std::min<std::size_t>(size - at, rng() % 200);
            scanner.Feed({a.data() + at, piece}, {b.data() + at, piece});
            at += piece;
        }
        scanner.Finish();
        EXPECT_FALSE(recorder.open);
        EXPECT_EQ(recorder.runs, NaiveRuns(a, b)) << "seed " << seed;
    }
}

TEST(DiffScanner, FindersStopAtEveryPositionOfAWideStep) {
    // Each position of the 64-byte and 16-byte steps and the word tails.
    for (std::size_t size : {1u, 7u, 8u, 15u, 16u, 63u, 64u, 65u, 130u}) {
        for (std::size_t at = 0; at < size; ++at) {
            Bytes a(size, 0x42);
            Bytes b = a;
            b[at] = 0x43;
            EXPECT_EQ(FirstDifference(a.data(), b.data(), 0, size), at);
            Bytes c(size, 0x01);
            Bytes d(size, 0x02);
            d[at] = 0x01;
            EXPECT_EQ(FirstEqual(c.data(), d.data(), 0, size), at);
        }
        Bytes same(size, 7);
        EXPECT_EQ(FirstDifference(same.data(), same.data(), 0, size), size);
    }
    // A byte pair differing by borrow patterns (0x01 above an equal byte).
    const Bytes x = {0x10, 0x11, 0x01, 0x00, 0x55, 0x66, 0x77, 0x88, 0x99};
    const Bytes y = {0x11, 0x10, 0x00, 0x00, 0x55, 0x66, 0x77, 0x88, 0x98};
    EXPECT_EQ(FirstEqual(x.data(), y.data(), 0, x.size()), 3u);
}

}  // namespace
}  // namespace zelk::test
