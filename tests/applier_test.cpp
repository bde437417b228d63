// Applying patches: round trips, the edge cases of the format, and refusing damage.
#include <algorithm>
#include <random>

#include "engine/patch_applier.h"
#include "engine/patch_maker.h"
#include "format_models.h"
#include "host/recording_host.h"
#include "test_support.h"

namespace zelk::test {
namespace {

class ApplierTest : public FileTest {
protected:
    // Hand-built patches that no maker writes (blocks past the end, out of
    // order, bytes the original already holds) would be refused by the fit
    // check: these rows are about how a patch is applied, so they are
    // applied as asked, and their warnings are the host's, not messages.
    Outcome Apply(const Bytes& original, const Bytes& patch) {
        ApplyOptions anyway;
        anyway.ignoreChecksum = true;
        return ApplyPatch(host_, Write("a.rom", original), Write("p.ppp", patch), Path("out.rom"), anyway);
    }
    RecordedMessage Critical(const std::string& text) const { return {text, MessageStyle::Critical}; }
};

// ROM-like pairs: clustered changes over random or padded banks, and tails.
Bytes Changed(const Bytes& original, std::uint32_t seed, std::size_t extra) {
    std::mt19937 rng(seed);
    Bytes changed = original;
    const std::size_t clusters = original.size() / 500 + 1;
    for (std::size_t c = 0; c < clusters && !original.empty(); ++c) {
        const std::size_t at = rng() % original.size();
        const std::size_t length = 1 + rng() % 64;
        for (std::size_t i = at; i < std::min(original.size(), at + length); ++i)
            if (rng() % 4 != 0) changed[i] = static_cast<std::uint8_t>(rng());
    }
    const Bytes tail = Random(extra, seed + 1);
    changed.insert(changed.end(), tail.begin(), tail.end());
    return changed;
}

TEST_F(ApplierTest, RandomPairsRoundTripExactly) {
    for (const std::size_t size : {0u, 1u, 17u, 4096u, 100000u, (3u << 20) + 11}) {
        for (std::uint32_t seed : {1u, 2u, 3u}) {
            Bytes original = Random(size, seed * 31 + static_cast<std::uint32_t>(size));
            std::fill(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(size / 3), 0xFF);
            const Bytes changed = Changed(original, seed, seed == 1 ? 0 : seed * 1000);
            host_.messages.clear();
            ASSERT_EQ(MakePatch(host_, Write("a.rom", original), Write("b.rom", changed), Path("p.ppp"), "c"),
                      Outcome::Done);
            ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path("p.ppp"), Path("out.rom")), Outcome::Done);
            EXPECT_EQ(Read("out.rom"), changed) << "size " << size << " seed " << seed;
            EXPECT_EQ(Messages(), (std::vector{Plain("Done ZelkPatch generation!"), Plain("c"),
                                               Plain("Done applying ZelkPatch! ")}));
        }
    }
}

TEST_F(ApplierTest, CommentIsShownBeforeDoneAndAnEmptyOneNotAtAll) {
    ASSERT_EQ(Apply({1, 2}, PatchBytes({}, "\xCF\xF0\xE8\xE2\xE5\xF2\r\n!")), Outcome::Done);
    EXPECT_EQ(Messages(), (std::vector{Plain("Привет\r\n!"), Plain("Done applying ZelkPatch! ")}));
    EXPECT_EQ(Read("out.rom"), (Bytes{1, 2}));
    host_.messages.clear();
    ASSERT_EQ(Apply({1, 2}, PatchBytes({{1, {9}}}, "")), Outcome::Done);
    EXPECT_EQ(Messages(), std::vector{Plain("Done applying ZelkPatch! ")});
    EXPECT_EQ(Read("out.rom"), (Bytes{1, 9}));
    // A patch whose bytes say it is not for this file is refused before its
    // comment, and nothing is written; the faces may then offer to apply it
    // all the same.
    host_.messages.clear();
    bool refused = false;
    const auto p = Write("p.ppp", PatchBytes({{0, {1, 2}}}, "hi"));
    EXPECT_EQ(ApplyPatch(host_, Write("a.rom", {1, 2}), p, Path("new.rom"), {}, &refused), Outcome::Stopped);
    EXPECT_TRUE(refused);
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].text.rfind(p + " is already applied in " + Path("a.rom") + ": ", 0), 0u) << Messages()[0].text;
    EXPECT_FALSE(Exists("new.rom"));
    // Contradicted only past the first look (4 MiB in): found while the
    // result is written, and refused before it replaces anything.
    Bytes original = Random(5 << 20, 8), changed = original;
    for (std::size_t at = 1 << 20; at < (1 << 20) + 200; at += 2) changed[at] ^= 0x5A;  // evidence enough for a first look
    changed[9 << 19] ^= 0x5A;
    ASSERT_EQ(MakePatch(host_, Write("a.rom", original), Write("b.rom", changed), Path("late.ppp"), "late"), Outcome::Done);
    original[9 << 19] = changed[9 << 19];
    host_.messages.clear();
    EXPECT_EQ(ApplyPatch(host_, Write("a.rom", original), Path("late.ppp"), Path("new.rom")), Outcome::Stopped);
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Messages()[0], Plain("late"));
    EXPECT_EQ(Messages()[1].text.rfind(Path("late.ppp") + " does not fit " + Path("a.rom") + ": ", 0), 0u) << Messages()[1].text;
    EXPECT_FALSE(Exists("new.rom"));
    EXPECT_TRUE(Temporaries().empty());
}

TEST_F(ApplierTest, ImageGrowsWithZeroGapsAndNeverShrinks) {
    ASSERT_EQ(Apply({1, 2}, PatchBytes({{4, {7}}}, "")), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), (Bytes{1, 2, 0, 0, 7}));
    // A gap long enough to be made by growing the file, not by writing zeros.
    ASSERT_EQ(Apply({1, 2}, PatchBytes({{2 << 20, {7}}}, "")), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), Concat({{1, 2}, Bytes((2 << 20) - 2, 0), {7}}));
    // A later, shorter block past the end does not cut the earlier one off.
    ASSERT_EQ(Apply({1, 2}, PatchBytes({{2, {5, 5, 5, 5}}, {3, {6}}, {0, {8}}}, "")), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), (Bytes{8, 2, 5, 6, 5, 5}));
    // Empty original.
    ASSERT_EQ(Apply({}, PatchBytes({{0, {3, 4}}}, "")), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), (Bytes{3, 4}));
}

TEST_F(ApplierTest, OutputReplacesWhatStoodThere) {
    Write("out.rom", Bytes(1000, 0xAB));
    ASSERT_EQ(Apply({1, 2, 3}, PatchBytes({}, "")), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), (Bytes{1, 2, 3}));
    // Output over the original itself.
    ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path("p.ppp"), Path("a.rom")), Outcome::Done);
    ASSERT_EQ(ApplyPatch(host_, Write("a.rom", {1, 2, 3}), Write("p.ppp", PatchBytes({{3, {4}}}, "")), Path("a.rom")),
              Outcome::Done);
    EXPECT_EQ(Read("a.rom"), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "out.rom", "p.ppp"}));
}

TEST_F(ApplierTest, MissingFilesAreNamedAndNothingIsCreated) {
    EXPECT_EQ(ApplyPatch(host_, Path("none.rom"), Path("p.ppp"), Path("out.rom")), Outcome::Stopped);
    EXPECT_EQ(Messages(), std::vector{Critical("нету файла " + Path("none.rom"))});
    host_.messages.clear();
    Write("a.rom", {1});
    EXPECT_EQ(ApplyPatch(host_, Path("a.rom"), Path("p.ppp"), Path("out.rom")), Outcome::Stopped);
    EXPECT_EQ(Messages(), std::vector{Critical("нету файла " + Path("p.ppp"))});
    EXPECT_EQ(Listing(), std::vector<std::string>{"a.rom"});
    // A folder is not a file.
    std::filesystem::create_directory(dir_ / "folder.ppp");
    EXPECT_EQ(ApplyPatch(host_, Path("a.rom"), Path("folder.ppp"), Path("out.rom")), Outcome::Stopped);
}

TEST_F(ApplierTest, NotAPatchIsPlainAndTouchesNothing) {
    Write("out.rom", {5, 5});
    EXPECT_EQ(Apply({1}, Text("just some text, not a patch")), Outcome::Stopped);
    EXPECT_EQ(Messages(), std::vector{Plain("Это не файл зелк-патча...")});
    EXPECT_EQ(Read("out.rom"), (Bytes{5, 5}));
    EXPECT_EQ(Read("p.ppp"), Text("just some text, not a patch"));
    // The patch was closed: it can be replaced and applied at once.
    host_.messages.clear();
    EXPECT_EQ(Apply({1}, PatchBytes({}, "")), Outcome::Done);
}

TEST_F(ApplierTest, DamagedPatchesShowNoCommentAndWriteNothing) {
    Write("out.rom", {5, 5});
    Bytes damaged = PatchBytes({{0, {1}}, {1, {2, 3}}}, "comment");
    damaged[19 + 9 + 4] = 200;  // second block's length now runs into the comment and past the end
    EXPECT_EQ(Apply({1, 2, 3}, damaged), Outcome::Stopped);
    EXPECT_EQ(Messages(), std::vector{Critical("Damaged patch file " + Path("p.ppp") +
                                               ": block 2 at byte 28 runs into the comment")});
    EXPECT_EQ(Read("out.rom"), (Bytes{5, 5}));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "out.rom", "p.ppp"}));
}

// Another program rewrites the patch between the checks and the writing:
// the patch file serves its first bytes to the two reads that check it
// (whole, then against the original), then the rewritten ones.
class RewrittenPatchHost : public RecordingHost {
public:
    RewrittenPatchHost(std::string patchPath, Bytes rewritten, std::uint64_t watched)
        : patchPath_(std::move(patchPath)), rewritten_(std::move(rewritten)), watched_(watched) {}
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
        auto file = RecordingHost::OpenInput(path);
        if (path != patchPath_) return file;
        return std::make_unique<Rewritten>(std::move(file), rewritten_, watched_);
    }

private:
    class Rewritten final : public InputFile {
    public:
        Rewritten(std::unique_ptr<InputFile> file, const Bytes& later, std::uint64_t watched)
            : file_(std::move(file)), later_(later), watched_(watched) {}
        std::uint64_t Size() const override { return file_->Size(); }
        const std::string& Path() const override { return file_->Path(); }
        std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
            const bool covers = offset <= watched_ && watched_ < offset + buffer.size();
            if (covers && ++reads_ >= 3) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), later_.size() - offset));
                std::copy_n(later_.begin() + static_cast<std::ptrdiff_t>(offset), n, buffer.begin());
                return n;
            }
            return file_->ReadAt(offset, buffer);
        }

    private:
        std::unique_ptr<InputFile> file_;
        const Bytes& later_;
        std::uint64_t watched_;
        int reads_ = 0;
    };
    std::string patchPath_;
    Bytes rewritten_;
    std::uint64_t watched_;
};

TEST_F(ApplierTest, APatchRewrittenBetweenReadsIsNeverHalfApplied) {
    const Bytes patch = PatchBytes({{10, {1, 2}}, {20, {3}}}, "");
    constexpr std::size_t second = 19 + 8 + 2;  // the second block's header
    const struct {
        const char* name;
        std::size_t at;
        std::uint8_t value;
    } rows[] = {
        {"moved back into the first block", second, 5},
        {"moved past the result's end", second, 40},
        {"grown past the result's end", second + 4, 100},
    };
    for (const auto& row : rows) {
        Bytes rewritten = patch;
        rewritten[row.at] = row.value;
        RewrittenPatchHost host(Path("p.ppp"), rewritten, second);
        EXPECT_EQ(ApplyPatch(host, Write("a.rom", Bytes(30, 0)), Write("p.ppp", patch), Path("out.rom")), Outcome::Stopped)
            << row.name;
        EXPECT_EQ(host.messages, std::vector{Critical("Cannot read " + Path("p.ppp") + ": the file changed while it was read")})
            << row.name;
        EXPECT_FALSE(Exists("out.rom")) << row.name;
    }
}

// Another program cuts the original while it is read: it still says its
// old size, but no read reaches past `limit`.
class ShrinkingHost final : public RecordingHost {
public:
    ShrinkingHost(std::string path, std::uint64_t limit) : path_(std::move(path)), limit_(limit) {}
    std::unique_ptr<InputFile> OpenInput(const std::string& path) override {
        auto file = RecordingHost::OpenInput(path);
        if (path != path_) return file;
        return std::make_unique<Shrunk>(std::move(file), limit_);
    }

private:
    class Shrunk final : public InputFile {
    public:
        Shrunk(std::unique_ptr<InputFile> file, std::uint64_t limit) : file_(std::move(file)), limit_(limit) {}
        std::uint64_t Size() const override { return file_->Size(); }
        const std::string& Path() const override { return file_->Path(); }
        std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
            if (offset >= limit_) return 0;
            return file_->ReadAt(offset, buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit_ - offset))));
        }

    private:
        std::unique_ptr<InputFile> file_;
        std::uint64_t limit_;
    };
    std::string path_;
    std::uint64_t limit_;
};

TEST_F(ApplierTest, AnOriginalThatShrinksWhileReadIsNamed) {
    // Each reads the original its own way: whole windows (IPS), block by
    // block (ZelkPatch), for its checksum first (UPS).
    const Bytes original = Random(3000, 31);
    Bytes changed = original;
    changed[2500] ^= 1;
    const Bytes ips = model::Ips({{2500, {changed[2500]}}});
    const Bytes patches[] = {ips, PatchBytes({{2500, {changed[2500]}}}, ""), model::Ups(original, changed)};
    for (const Bytes& patch : patches) {
        ShrinkingHost host(Path("a.rom"), 2000);
        EXPECT_EQ(ApplyPatch(host, Write("a.rom", original), Write("p.pat", patch), Path("out.rom")), Outcome::Stopped);
        EXPECT_EQ(host.messages, std::vector{Critical("Cannot read " + Path("a.rom") + ": the file shrank while it was read")});
        EXPECT_FALSE(Exists("out.rom"));
        EXPECT_TRUE(Temporaries().empty());
    }
}

TEST_F(ApplierTest, EveryCutOfAValidPatchIsRefusedOrApplied) {
    const Bytes full = PatchBytes({{0, {1, 2, 3}}, {6, {4}}}, "xy");
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        host_.messages.clear();
        std::filesystem::remove(dir_ / "out.rom");
        const Bytes part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
        const Outcome outcome = Apply({9, 9, 9}, part);
        // A cut inside the comment (two bytes) leaves a readable patch.
        const bool readable = cut >= full.size() - 2;
        EXPECT_EQ(outcome == Outcome::Done, readable) << "cut " << cut;
        EXPECT_EQ(Exists("out.rom"), readable) << "cut " << cut;
        ASSERT_FALSE(host_.messages.empty());
        EXPECT_EQ(host_.messages.back().text == "Done applying ZelkPatch! ", readable);
    }
}

// What is made and applied does not depend on the buffer sizes: runs and
// blocks cross the buffers' edges at every size the program may choose.
TEST_F(ApplierTest, EveryBufferSizeGivesTheSameBytes) {
    const Bytes original = Random(20011, 5);
    const Bytes changed = Changed(original, 6, 3001);
    MakePatch(host_, Write("a.rom", original), Write("b.rom", changed), Path("p.ppp"), "c");
    const Bytes expected = Read("p.ppp");
    for (const BufferSizes sizes : {BufferSizes{1, 1}, BufferSizes{7, 13}, BufferSizes{4093, 65537},
                                    BufferSizesFor(256 << 10), BufferSizesFor(2 << 20), BufferSizes{1 << 20, 4 << 20}}) {
        host_.buffers = sizes;
        host_.messages.clear();
        std::filesystem::remove(dir_ / "p.ppp");
        ASSERT_EQ(MakePatch(host_, Path("a.rom"), Path("b.rom"), Path("p.ppp"), "c"), Outcome::Done);
        EXPECT_EQ(Read("p.ppp"), expected) << sizes.scan << " " << sizes.stream;
        ASSERT_EQ(ApplyPatch(host_, Path("a.rom"), Path("p.ppp"), Path("out.rom")), Outcome::Done);
        EXPECT_EQ(Read("out.rom"), changed) << sizes.scan << " " << sizes.stream;
    }
}

}  // namespace
}  // namespace zelk::test

namespace zelk::test {
namespace {

// The image as the simple in-memory procedure builds it: grow-only.
Bytes ApplyInMemory(Bytes image, const std::vector<std::pair<std::int32_t, Bytes>>& blocks) {
    for (const auto& [offset, data] : blocks) {
        if (offset + data.size() > image.size()) image.resize(offset + data.size(), 0);
        std::copy(data.begin(), data.end(), image.begin() + offset);
    }
    return image;
}

TEST_F(ApplierTest, BlocksAcrossBufferEdgesInAnyOrderMatchTheSimpleProcedure) {
    // Out of order in one middle pair only: the fast in-order pass must not
    // be chosen from the last pair alone.
    const std::vector<std::pair<std::int32_t, Bytes>> middleOnly = {{5, {1, 2}}, {0, {3}}, {10, {4, 5, 6}}};
    // Ascending offsets that overlap are a valid patch, not an ordered one.
    const std::vector<std::pair<std::int32_t, Bytes>> overlapping = {{0, {1, 2, 3}}, {1, {9}}};
    for (const auto& blocks : {middleOnly, overlapping}) {
        ASSERT_EQ(Apply(Random(12, 1), PatchBytes(blocks, "")), Outcome::Done);
        EXPECT_EQ(Read("out.rom"), ApplyInMemory(Random(12, 1), blocks));
    }

    constexpr std::int32_t MiB = 1 << 20;
    const Bytes original = Random(9 * MiB + 5, 77);
    std::vector<std::pair<std::int32_t, Bytes>> blocks = {
        {0, Random(3, 1)},                      // at the very start
        {4 * MiB - 2, Random(5, 2)},            // across the first read-buffer edge
        {4 * MiB + 100, Random(MiB, 3)},        // a long block after a short gap
        {8 * MiB - 1, Random(2, 4)},            // after a gap shorter than a kernel copy
        {9 * MiB + 5, Random(7, 5)},            // the tail, right at the original's end
        {9 * MiB + 40, Random(4 * MiB + 3, 6)}, // past the end, leaving zeros, longer than a buffer
    };
    for (const bool shuffled : {false, true}) {
        if (shuffled) {
            std::mt19937 rng(3);
            std::shuffle(blocks.begin(), blocks.end(), rng);
            blocks.push_back({4 * MiB - 10, Random(30, 7)});  // overlapping an earlier one
        }
        const Bytes expected = ApplyInMemory(original, blocks);
        for (const BufferSizes sizes : {BufferSizesFor(0), BufferSizes{1, 4093}, BufferSizes{1, 3 * MiB + 1}}) {
            host_.buffers = sizes;
            host_.messages.clear();
            ASSERT_EQ(Apply(original, PatchBytes(blocks, "")), Outcome::Done);
            EXPECT_EQ(Read("out.rom"), expected) << (shuffled ? "shuffled " : "in order ") << sizes.stream;
        }
    }
}

}  // namespace
}  // namespace zelk::test
