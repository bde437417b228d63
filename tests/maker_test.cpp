// Patches made from hand-built pairs, byte for byte.
#include "engine/patch_format.h"
#include "engine/patch_maker.h"
#include "engine/user_texts.h"
#include "test_support.h"

namespace zelk::test {
namespace {

class MakerTest : public FileTest {
protected:
    // Makes a patch from the two byte strings and returns its bytes.
    Bytes Make(const Bytes& original, const Bytes& changed, const std::string& comment = "") {
        EXPECT_EQ(MakePatch(host_, Write("a.rom", original), Write("b.rom", changed), Path("p.ppp"), comment),
                  Outcome::Done);
        return Read("p.ppp");
    }
};

TEST_F(MakerTest, RunsBecomeBlocksSplitByOneEqualByte) {
    EXPECT_EQ(Make({1, 2, 3}, {9, 2, 3}), PatchBytes({{0, {9}}}, ""));
    EXPECT_EQ(Make({0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 1, 0, 1, 0}), PatchBytes({{3, {1}}, {5, {1}}}, ""));
    // Last byte differs and the changed file is longer: the run's block is
    // written after the scan and the tail block follows it directly.
    EXPECT_EQ(Make({1, 2, 3}, {1, 2, 4, 5, 6}), PatchBytes({{2, {4}}, {3, {5, 6}}}, ""));
    EXPECT_EQ(Make({1, 2, 3}, {1, 2, 3, 5}), PatchBytes({{3, {5}}}, ""));
    EXPECT_EQ(Make({1, 2, 3, 4}, {5, 6, 7, 8}), PatchBytes({{0, {5, 6, 7, 8}}}, ""));
}

TEST_F(MakerTest, IdenticalFilesGiveHeaderAndComment) {
    const Bytes patch = Make({1, 2, 3}, {1, 2, 3}, "note");
    EXPECT_EQ(patch, Concat({Text(PatchMagic), Int32(20), Text("note")}));
    EXPECT_EQ(Messages(), std::vector{Plain("Done ZelkPatch generation!")});
}

TEST_F(MakerTest, EmptyCommentEndsTheFileAfterTheLastBlock) {
    const Bytes patch = Make({1, 2}, {1, 3});
    EXPECT_EQ(patch.size(), 19u + 9u);
    EXPECT_EQ(patch[15], patch.size() + 1);
}

TEST_F(MakerTest, EmptyFiles) {
    EXPECT_EQ(Make({}, {4, 5}), PatchBytes({{0, {4, 5}}}, ""));
    EXPECT_EQ(Make({}, {}, "c"), PatchBytes({}, "c"));
}

TEST_F(MakerTest, CommentIsStoredInTheCodePageWithCrLf) {
    const Bytes patch = Make({1}, {1}, "Привет\nмир\r\n?");
    EXPECT_EQ(patch, Concat({Text(PatchMagic), Int32(20),
                             {0xCF, 0xF0, 0xE8, 0xE2, 0xE5, 0xF2, '\r', '\n', 0xEC, 0xE8, 0xF0, '\r', '\n', '?'}}));
    // Characters the code page lacks read as "?", and the user is told which, once each.
    host_.messages.clear();
    EXPECT_EQ(Make({1}, {1}, "日本日 ж?"), Concat({Text(PatchMagic), Int32(20), {'?', '?', '?', ' ', 0xE6, '?'}}));
    EXPECT_EQ(Messages(), (std::vector{Plain(text::LostCharacters("日, 本")), Plain(text::MakeDone)}));
}

TEST_F(MakerTest, RemakingOverALongerPatchLeavesOnlyTheNewOne) {
    Write("p.ppp", Bytes(5000, 0xEE));
    EXPECT_EQ(Make({1, 2}, {1, 2}, "new"), PatchBytes({}, "new"));
}

TEST_F(MakerTest, PatchPathMayBeAnInput) {
    const auto original = Write("a.rom", {1, 2, 3});
    const auto changed = Write("b.rom", {1, 7, 3, 4});
    ASSERT_EQ(MakePatch(host_, original, changed, changed, "x"), Outcome::Done);
    EXPECT_EQ(Read("b.rom"), PatchBytes({{1, {7}}, {3, {4}}}, "x"));
    ASSERT_EQ(MakePatch(host_, original, original, original, ""), Outcome::Done);
    EXPECT_EQ(Read("a.rom"), PatchBytes({}, ""));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.rom", "b.rom"}));
}

TEST_F(MakerTest, BlocksLongerThanTheBuffersComeOutWhole) {
    // Runs that cross the reading pieces and the output buffer.
    const std::size_t size = (5u << 20) + 123;
    const Bytes original(size, 0);
    Bytes changed = original;
    for (std::size_t i = (2u << 20) - 3; i < (2u << 20) + 5; ++i) changed[i] = 1;
    for (std::size_t i = 100; i < (4u << 20) + 7 && i < (2u << 20) - 10; ++i) changed[i] = 2;
    for (std::size_t i = (4u << 20) - 1; i < size; ++i) changed[i] = 3;
    changed.push_back(4);
    const Bytes expected = PatchBytes({{100, Bytes((2u << 20) - 110, 2)},
                                       {(2 << 20) - 3, Bytes(8, 1)},
                                       {(4 << 20) - 1, Bytes(size - (4u << 20) + 1, 3)},
                                       {static_cast<std::int32_t>(size), {4}}},
                                      "");
    for (const BufferSizes sizes : {BufferSizesFor(0), BufferSizes{4093, 65537}, BufferSizes{(1u << 20) + 1, 3}}) {
        host_.buffers = sizes;
        EXPECT_EQ(Make(original, changed), expected) << sizes.scan << " " << sizes.stream;
    }
}

}  // namespace
}  // namespace zelk::test
