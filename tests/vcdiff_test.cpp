// xdelta (VCDIFF) patches: windows built by hand as RFC 3284 lays them out,
// for what xdelta3 never writes, and on Linux the patches Debian's xdelta3
// makes with each of its options.
#include <cstdlib>
#include <random>

#include <lzma.h>

#include "engine/patch_applier.h"
#include "engine/user_texts.h"
#include "test_support.h"

namespace zelk::test {
namespace {

Bytes Varint(std::uint64_t v) {
    Bytes out{static_cast<std::uint8_t>(v & 0x7F)};
    while (v >>= 7) out.insert(out.begin(), static_cast<std::uint8_t>(0x80 | (v & 0x7F)));
    return out;
}

std::uint32_t Adler(const Bytes& bytes) {
    std::uint32_t a = 1, b = 0;
    for (const std::uint8_t x : bytes) {
        a = (a + x) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

// One instruction: 'A' adds `data`, 'R' runs data[0], 'C' copies `size`
// bytes from `address` in the window's address space (segment, then the
// window), written in `mode`.
struct Op {
    char type;
    std::uint64_t size;
    Bytes data = {};
    std::uint64_t address = 0;
    std::uint8_t mode = 0;
};
struct WindowSpec {
    std::uint8_t indicator;  // 1: from the original, 2: from the result so far; 4 is added for the checksum
    std::uint64_t segmentLength, segmentPosition;
    std::vector<Op> ops;
    bool checksum = true;
    // Damage: the length the window states beyond what it makes, data it
    // never uses, and bytes of its delta before the sections that none holds.
    std::uint64_t statedBeyond = 0;
    Bytes unusedData = {};
    Bytes unclaimed = {};
};

// The codes the patch's instructions are written with, each with its size
// following it: those of the default table unless the patch brings its own.
struct Codes {
    std::uint8_t add = 1, run = 0;  // a copy in mode m is 19 + 16 * m
    std::size_t near = 4;           // the near cache's size; the same cache's modes follow
};

// The patch, each instruction its own code, and the result it makes of
// `source`. A same-cache mode is given an address that the cache holds (one
// copied from before, at that place in its block).
Bytes Vcdiff(const Bytes& source, const std::vector<WindowSpec>& windows, Bytes& target, Bytes header = {0},
             Codes codes = {}) {
    Bytes out = Concat({{0xD6, 0xC3, 0xC4, 0x00}, header});
    target.clear();
    for (const WindowSpec& w : windows) {
        // A segment may be declared past the file it names: its missing bytes read as zeros.
        const Bytes* file = w.indicator == 1 ? &source : w.indicator == 2 ? &target : nullptr;
        const std::uint64_t segmentSize = file ? w.segmentLength : 0;
        const auto segment = [&](std::uint64_t at) {
            const std::uint64_t from = w.segmentPosition + at;
            return from < file->size() ? (*file)[from] : std::uint8_t{0};
        };
        Bytes made, data, inst, addr;
        std::vector<std::uint64_t> near(codes.near);
        std::size_t next = 0;
        for (const Op& op : w.ops) {
            if (op.type == 'A') {
                inst.push_back(codes.add);
                data.insert(data.end(), op.data.begin(), op.data.end());
                made.insert(made.end(), op.data.begin(), op.data.end());
            } else if (op.type == 'R') {
                inst.push_back(codes.run);
                data.push_back(op.data[0]);
                made.insert(made.end(), op.size, op.data[0]);
            } else {
                inst.push_back(static_cast<std::uint8_t>(19 + 16 * op.mode));
                const std::uint64_t here = segmentSize + made.size();
                const std::uint64_t a = op.address;
                if (op.mode == 0) addr = Concat({addr, Varint(a)});
                else if (op.mode == 1) addr = Concat({addr, Varint(here - a)});
                else if (op.mode < 2 + codes.near) addr = Concat({addr, Varint(a - near[op.mode - 2])});
                else addr.push_back(static_cast<std::uint8_t>(a % 256));
                if (!near.empty()) near[next] = a;
                if (!near.empty()) next = (next + 1) % near.size();
                for (std::uint64_t i = 0; i < op.size; ++i) {
                    const std::uint64_t at = a + i;
                    const std::uint64_t back = at - segmentSize;
                    made.push_back(at < segmentSize ? segment(at) : back < made.size() ? made[back] : 0);
                }
            }
            inst = Concat({inst, Varint(op.size)});  // every code here has its size follow it
        }
        out.push_back(static_cast<std::uint8_t>(w.indicator | (w.checksum ? 4 : 0)));
        if (w.indicator != 0) out = Concat({out, Varint(w.segmentLength), Varint(w.segmentPosition)});
        data = Concat({data, w.unusedData});
        Bytes delta = Concat({Varint(made.size() + w.statedBeyond), {0}, Varint(data.size()), Varint(inst.size()),
                              Varint(addr.size())});
        if (w.checksum) {
            const std::uint32_t sum = Adler(made);
            delta = Concat({delta, {static_cast<std::uint8_t>(sum >> 24), static_cast<std::uint8_t>(sum >> 16),
                                    static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)}});
        }
        delta = Concat({delta, w.unclaimed, data, inst, addr});
        out = Concat({out, Varint(delta.size()), delta});
        target.insert(target.end(), made.begin(), made.end());
    }
    return out;
}

// The default code table as a string: the types, sizes and modes of the
// first and second instructions of each code, array after array.
Bytes DefaultTableString() {
    Bytes t(6 * 256, 0);
    const auto set = [&t](std::size_t code, int half, std::uint8_t type, std::uint8_t size, std::uint8_t mode) {
        t[half * 256 + code] = type;
        t[512 + half * 256 + code] = size;
        t[1024 + half * 256 + code] = mode;
    };
    std::size_t code = 0;
    set(code++, 0, 2, 0, 0);
    for (std::uint8_t size = 0; size <= 17; ++size) set(code++, 0, 1, size, 0);
    for (std::uint8_t mode = 0; mode < 9; ++mode) {
        set(code++, 0, 3, 0, mode);
        for (std::uint8_t size = 4; size <= 18; ++size) set(code++, 0, 3, size, mode);
    }
    for (std::uint8_t mode = 0; mode < 9; ++mode)
        for (std::uint8_t add = 1; add <= 4; ++add)
            for (std::uint8_t copy = 4; copy <= (mode < 6 ? 6 : 4); ++copy) {
                set(code, 0, 1, add, 0);
                set(code++, 1, 3, copy, mode);
            }
    for (std::uint8_t mode = 0; mode < 9; ++mode) {
        set(code, 0, 3, 4, mode);
        set(code++, 1, 1, 1, 0);
    }
    return t;
}

// A header bringing the default table with its first two codes swapped
// (ADD before RUN), a near cache of one and a same cache of one block.
Bytes SwappedTableHeader() {
    Bytes table;
    const Bytes delta = Vcdiff(DefaultTableString(), {{1, 1536, 0, {{'A', 2, {1, 2}}, {'C', 1534, {}, 2, 0}}}}, table);
    const Bytes data = Concat({{1, 1}, Bytes(delta.begin() + 5, delta.end())});
    return Concat({{2}, Varint(data.size()), data});
}

// One window adding `count` bytes, its data section compressed as xdelta3's
// LZMA writes it (the inflated size, then .xz without a check) and holding
// `held` bytes, with `after` following the .xz data.
// One window adding `count` bytes whose data section `data` is compressed
// with xdelta3's compressor `id`.
Bytes Compressed(std::uint8_t id, const Bytes& data, std::uint64_t count) {
    const Bytes inst = Concat({{1}, Varint(count)});
    const Bytes delta = Concat({Varint(count), {1}, Varint(data.size()), Varint(inst.size()), {0}, data, inst});
    return Concat({{0xD6, 0xC3, 0xC4, 0x00, 1, id, 0}, Varint(delta.size()), delta});
}

Bytes LzmaAdding(std::uint64_t count, std::size_t held, const Bytes& after = {}) {
    const Bytes plain = Random(held, 12);
    Bytes xz(held + 1024);
    std::size_t size = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_NONE, nullptr, plain.data(), plain.size(), xz.data(), &size,
                                      xz.size()),
              LZMA_OK);
    xz.resize(size);
    return Compressed(2, Concat({Varint(count), xz, after}), count);
}

// One window adding one byte, its data section compressed with FGK: eight
// bits name the first byte a fresh tree sees, whatever they are.
Bytes FgkAddingOne(const Bytes& after = {}) { return Compressed(16, Concat({{1, 0x2A}, after}), 1); }

// A header bringing the default table with code 19 (a copy, its size
// following) in mode 4, past the caches of a near cache of one and a same
// cache of one block.
Bytes ModePastTheCachesHeader() {
    Bytes table;
    const Bytes delta =
        Vcdiff(DefaultTableString(), {{1, 1536, 0, {{'C', 1043, {}, 0, 0}, {'A', 1, {4}}, {'C', 492, {}, 1044, 0}}}}, table);
    const Bytes data = Concat({{1, 1}, Bytes(delta.begin() + 5, delta.end())});
    return Concat({{2}, Varint(data.size()), data});
}

class VcdiffTest : public FileTest {
protected:
    Outcome Apply(const Bytes& original, const Bytes& patch) {
        host_.messages.clear();
        Write("out.rom", Text("old"));
        return ApplyPatch(host_, Write("a.rom", original), Write("p.xd", patch), Path("out.rom"));
    }
    void ExpectRefused(const std::string& row) {
        ASSERT_FALSE(host_.messages.empty()) << row;
        EXPECT_EQ(host_.messages.back().style, MessageStyle::Critical) << row;
        EXPECT_EQ(Read("out.rom"), Text("old")) << row;
        EXPECT_TRUE(Temporaries().empty()) << row;
    }
};

TEST_F(VcdiffTest, HandBuiltWindowsApplyAsTheRfcSays) {
    const Bytes source = Random(2000, 1);
    const struct {
        const char* name;
        std::vector<WindowSpec> windows;
        Bytes header = {0};
        Codes codes = {};
    } rows[] = {
        {"every address mode",
         {{1, 1000, 500,
           {{'A', 10, Random(10, 2)},
            {'C', 20, {}, 100, 0},
            {'C', 30, {}, 1000 + 5, 1},   // from this window, overlapping what it writes
            {'C', 8, {}, 300, 0},
            {'C', 9, {}, 310, 2},         // near an address before
            {'C', 7, {}, 600, 0},
            {'C', 6, {}, 320, 4},         // near another
            {'C', 5, {}, 100, 6},         // the same address as before, in each block of the cache
            {'C', 5, {}, 300, 7},
            {'C', 5, {}, 600, 8},
            {'R', 40, {0xEE}}}}}},
        {"a copy from the segment into the window", {{1, 50, 0, {{'A', 3, {1, 2, 3}}, {'C', 20, {}, 45, 0}}}}},
        {"copies from the result so far",
         {{1, 2000, 0, {{'C', 1500, {}, 0, 0}}}, {2, 300, 1000, {{'C', 300, {}, 0, 0}, {'C', 100, {}, 250, 0}}}}},
        {"windows without a source, one without a checksum",
         {{0, 0, 0, {{'R', 1000, {7}}}, false}, {0, 0, 0, {{'A', 2, {8, 9}}, {'C', 50, {}, 0, 1}}}}},
        {"a code table of its own, with caches of other sizes",
         {{1, 1000, 0,
           {{'A', 5, Random(5, 9)},
            {'R', 20, {3}},
            {'C', 30, {}, 200, 0},
            {'C', 10, {}, 230, 2},   // near the one address the near cache holds
            {'C', 10, {}, 200, 3},   // the same cache's only block
            {'C', 40, {}, 1000 + 5, 1}}}},
         SwappedTableHeader(),
         {0, 1, 1}},
    };
    for (const auto& row : rows) {
        Bytes target;
        const Bytes patch = Vcdiff(source, row.windows, target, row.header, row.codes);
        ASSERT_EQ(Apply(source, patch), Outcome::Done) << row.name << ": " << host_.messages.back().text;
        EXPECT_EQ(Read("out.rom"), target) << row.name;
        EXPECT_EQ(Messages(), std::vector{Plain(text::ForeignDone("xdelta (VCDIFF)"))}) << row.name;
    }
}

TEST_F(VcdiffTest, DamageAndTheWrongOriginalAreRefusedWithNothingWritten) {
    const Bytes source = Random(3000, 3);
    Bytes target;
    const Bytes sound = Vcdiff(source, {{1, 3000, 0, {{'A', 4, {1, 2, 3, 4}}, {'C', 2996, {}, 4, 0}}}}, target);
    Bytes wrong = source;
    wrong[100] ^= 1;
    ASSERT_EQ(Apply(wrong, sound), Outcome::Stopped);
    ExpectRefused("wrong original");
    EXPECT_NE(host_.messages.back().text.find(Path("a.rom") + " is not the file this xdelta patch was made for"),
              std::string::npos)
        << host_.messages.back().text;

    ASSERT_EQ(Apply(source, LzmaAdding(20, 20)), Outcome::Done) << host_.messages.back().text;
    ASSERT_EQ(Apply(source, FgkAddingOne()), Outcome::Done) << host_.messages.back().text;
    // A window's indicator set to `indicator`; the first window's is at byte 5.
    const auto indicated = [](Bytes patch, std::size_t at, std::uint8_t indicator) {
        patch[at] = indicator;
        return patch;
    };
    const WindowSpec whole = {1, 100, 0, {{'C', 100, {}, 0, 0}}, false};
    const std::size_t second = Vcdiff(source, {whole}, target).size();
    const Bytes twoWindows = Vcdiff(source, {whole, {2, 50, 0, {{'C', 50, {}, 0, 0}}, false}}, target);
    const struct {
        const char* name;
        Bytes patch;
        const char* says = "";
    } damaged[] = {
        {"a window a byte short", Bytes(sound.begin(), sound.end() - 1), "is cut short"},
        {"a copy in a mode past the caches",
         Vcdiff(source, {{1, 100, 0, {{'C', 5, {}, 0, 0}}, false}}, target, ModePastTheCachesHeader(), {1, 0, 1}),
         "has a mode it cannot have"},
        {"an indicator it cannot have", indicated(sound, 5, 5 | 8), "has an indicator it cannot have"},
        {"a window copying from both files", indicated(twoWindows, second, 3), "copies from both files"},
        {"a copy reaching before the window's start",
         Vcdiff(source, {{1, 100, 0, {{'A', 2, {1, 2}}, {'C', 5, {}, ~std::uint64_t{0}, 1}}, false}}, target),
         "reaches before its start"},
        {"an LZMA section holding less than it states", LzmaAdding(21, 20)},
        {"an LZMA section with bytes after its stream", LzmaAdding(20, 20, {0})},
        {"an FGK section with bytes after its last code", FgkAddingOne({0})},
        {"a window cut short", Bytes(sound.begin(), sound.end() - 3)},
        {"a number that overflows", Concat({{0xD6, 0xC3, 0xC4, 0x00, 0, 0}, Bytes(12, 0xFF)})},
        {"an address outside its segment", Vcdiff(source, {{1, 10, 0, {{'C', 5, {}, 10, 0}}}}, target)},
        {"an unknown secondary compressor", Concat({{0xD6, 0xC3, 0xC4, 0x00, 1, 7}, Bytes(sound.begin() + 5, sound.end())})},
        {"a code table of no length", Concat({{0xD6, 0xC3, 0xC4, 0x00, 2, 0}, Bytes(sound.begin() + 5, sound.end())})},
        // Without checksums, where nothing else would notice.
        {"a result segment past the result so far",
         Vcdiff(source, {{0, 0, 0, {{'A', 8, Random(8, 11)}}, false}, {2, 12, 0, {{'C', 12, {}, 0, 0}}, false}}, target)},
        {"a copy from where it writes", Vcdiff(source, {{1, 100, 0, {{'A', 2, {1, 2}}, {'C', 9, {}, 102, 0}}, false}}, target)},
        {"a window that makes less than it states", Vcdiff(source, {{1, 100, 0, {{'C', 50, {}, 0, 0}}, false, 1}}, target)},
        {"delta bytes no section holds", Vcdiff(source, {{1, 100, 0, {{'C', 50, {}, 0, 0}}, false, 0, {}, {9}}}, target)},
        {"data the window never uses", Vcdiff(source, {{1, 100, 0, {{'C', 50, {}, 0, 0}}, false, 0, {9}}}, target)},
        {"a source segment past the original's end",
         Vcdiff(source, {{1, std::uint64_t{1} << 32, 0, {{'C', 100, {}, 0, 0}}, false}}, target)},
    };
    for (const auto& row : damaged) {
        EXPECT_EQ(Apply(source, row.patch), Outcome::Stopped) << row.name;
        ExpectRefused(row.name);
        EXPECT_NE(host_.messages.back().text.find(row.says), std::string::npos) << row.name << ": " << host_.messages.back().text;
    }
    // A copy that runs past its window: the window's length is a byte short.
    Bytes longCopy = Vcdiff(source, {{1, 3000, 0, {{'C', 10, {}, 0, 0}}, false}}, target);
    longCopy[10] -= 1;  // magic, header, indicator, two bytes of 3000, 0, the delta's length: the target's
    EXPECT_EQ(Apply(source, longCopy), Outcome::Stopped);
    ExpectRefused("a copy past the window");
}

#ifndef _WIN32
// Debian's xdelta3 makes the patches: its default (LZMA), each of its
// options that changes what it writes, and what this version refuses.
TEST_F(VcdiffTest, XdeltaPatchesApplyByteForByte) {
    if (std::system("xdelta3 -V > /dev/null 2>&1") != 0) GTEST_SKIP() << "xdelta3 is not installed";
    std::mt19937 rng(5);
    const Bytes rom = Random(1 << 20, 4);
    Bytes edited = rom;
    for (int i = 0; i < 300; ++i) edited[rng() % edited.size()] ^= 0x5A;
    Bytes moved = rom;
    const Bytes fresh = Random(70000, 6);
    moved.insert(moved.begin() + 300000, fresh.begin(), fresh.end());
    // Ten bytes changed in one 16 KiB window and Huffman-friendly ones in
    // later windows: under -S fgk -W 16384 the ten are stored as they are,
    // and FGK's coder still learnt from them.
    Bytes tenStored = rom;
    for (int i = 0; i < 10; ++i) tenStored[2 * 16384 + 100 + i] ^= 0x5A;
    for (std::size_t w = 4; w < 60; ++w)
        for (std::size_t i = 0; i < 300; ++i) tenStored[w * 16384 + 200 + i] = static_cast<std::uint8_t>('A' + (rng() & 1));
    const struct {
        const char* name;
        Bytes changed;
    } pairs[] = {
        {"edits", edited},
        {"ten bytes stored in one window", tenStored},
        {"moved data", moved},
        {"longer", Concat({edited, Random(100000, 7)})},
        {"shorter", Bytes(edited.begin(), edited.begin() + 700000)},
    };
    const char* const options[] = {"",   "-S none", "-S djw", "-S fgk", "-A", "-n", "-B 524288 -W 16384",
                                   "-S djw -B 524288 -W 16384", "-S fgk -B 524288 -W 16384", "-9"};
    const auto a = Write("a.rom", rom);
    for (const auto& pair : pairs) {
        const auto b = Write("b.rom", pair.changed);
        for (const char* option : options) {
            const std::string row = std::string(pair.name) + ", xdelta3 " + option;
            const std::string command =
                std::string("xdelta3 -e -f ") + option + " -s '" + a + "' '" + b + "' '" + Path("p.xd") + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << row;
            host_.messages.clear();
            ASSERT_EQ(ApplyPatch(host_, a, Path("p.xd"), Path("out.rom")), Outcome::Done)
                << row << ": " << host_.messages.back().text;
            EXPECT_EQ(Read("out.rom"), pair.changed) << row;
            Verdict verdict;
            EXPECT_EQ(CheckOriginal(host_, a, Path("p.xd"), verdict), std::nullopt) << row;
            EXPECT_EQ(verdict.fit, Fit::Fits) << row;
            if (std::string(option) == "-n") {
                EXPECT_EQ(verdict.evidence, text::NoChecksum("xdelta") + ": it was made without them (xdelta3 -n).") << row;
            }
        }
    }
    // Another ROM of the same size: the first window's checksum stops it.
    const auto w = Write("w.rom", Random(1 << 20, 8));
    ASSERT_EQ(std::system(("xdelta3 -e -f -s '" + a + "' '" + Path("b.rom") + "' '" + Path("p.xd") + "'").c_str()), 0);
    Write("out.rom", Text("old"));
    host_.messages.clear();
    EXPECT_EQ(ApplyPatch(host_, w, Path("p.xd"), Path("out.rom")), Outcome::Stopped);
    ASSERT_FALSE(host_.messages.empty());
    EXPECT_NE(host_.messages.back().text.find("made from a file called a.rom (unless"), std::string::npos)
        << host_.messages.back().text;
    EXPECT_EQ(Read("out.rom"), Text("old"));
    EXPECT_TRUE(Temporaries().empty());
    Verdict verdict;
    EXPECT_EQ(CheckOriginal(host_, w, Path("p.xd"), verdict), std::nullopt);
    EXPECT_EQ(verdict.fit, Fit::DoesNotFit);
    // Damaged in its compressed sections, or cut short: refused, nothing written.
    for (const char* option : {"", "-S djw", "-S fgk"}) {
        ASSERT_EQ(std::system(("xdelta3 -e -f " + std::string(option) + " -s '" + a + "' '" + Path("b.rom") + "' '" +
                               Path("p.xd") + "'")
                                  .c_str()),
                  0);
        const Bytes made = Read("p.xd");
        for (const std::size_t at : {made.size() / 2, made.size() - 1, made.size()}) {
            Bytes damaged = made;
            if (at < made.size()) damaged[at] ^= 0x55;
            else damaged.pop_back();  // cut short
            Write("d.xd", damaged);
            host_.messages.clear();
            EXPECT_EQ(ApplyPatch(host_, a, Path("d.xd"), Path("out.rom")), Outcome::Stopped) << option << at;
            EXPECT_EQ(Read("out.rom"), Text("old")) << option << at;
            EXPECT_TRUE(Temporaries().empty()) << option << at;
        }
    }
}
#endif

}  // namespace
}  // namespace zelk::test
