// Downloads as they come: patches and ROMs inside .zip and .7z, and several
// patches applied in order, through the command line.
#include <algorithm>
#include <cstring>

#include "cli/cli.h"
#include "test_support.h"

namespace zelk::test {
namespace {

// Every occurrence of the little-endian 32-bit `from` after a zip header's
// signature `signature`, at `offset` into it, set to `to`.
void SetZipField(Bytes& zip, std::string_view signature, std::size_t offset, std::uint32_t to) {
    for (std::size_t at = 0; at + offset + 4 <= zip.size(); ++at)
        if (std::memcmp(zip.data() + at, signature.data(), 4) == 0)
            for (int i = 0; i < 4; ++i) zip[at + offset + i] = static_cast<std::uint8_t>(to >> (8 * i));
}

class ArchiveTest : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        original_ = Random(200000, 7);
        changed_ = original_;
        for (std::size_t i = 1000; i < 1100; ++i) changed_[i] ^= 0x5A;
        changed_.insert(changed_.end(), {1, 2, 3});
        Write("game.sfc", original_);
        Write("hacked.sfc", changed_);
    }
    int Run(const std::vector<std::string>& args) {
        std::FILE* in = std::fopen(Path("stdin").c_str(), "w+b");
        std::FILE* err = std::fopen(Path("stderr").c_str(), "w+b");
        if (in == nullptr || err == nullptr) throw std::runtime_error("test could not open a stream");
        const int status = RunCommandLine(args, host_, in, err);
        std::fclose(in), std::fclose(err);
        return status;
    }
    // The text of every message shown, one after another.
    std::string Said() const {
        std::string said;
        for (const RecordedMessage& m : host_.messages) said += m.text + "\n";
        return said;
    }
    // A patch turning `from` into `to`, made by our own maker, its bytes.
    Bytes Made(const std::string& from, const std::string& to, const std::string& name) {
        EXPECT_EQ(Run({"make", Path(from), Path(to), Path(name)}), 0);
        const Bytes made = Read(name);
        std::filesystem::remove(dir_ / name);
        host_.messages.clear();
        return made;
    }
    Bytes original_, changed_;
};

TEST_F(ArchiveTest, PatchesAndRomsAreReadFromInsideArchives) {
    const Bytes bps = Made("game.sfc", "hacked.sfc", "hack.bps");
    const Bytes readme = Text("Faster Menus v1.1\r\nApply to an unheadered ROM.\r\n");
    const Bytes picture = Concat({Text("\x89PNG\r\n\x1a\n"), Random(300, 1)});
    struct Row {
        const char* what;
        Kind kind;
        std::vector<Member> members;
        std::string original;  // "" for game.sfc; else a member list for a zipped ROM
        std::string patchPath; // relative to the archive, "" for the archive itself
        const char* refused;   // part of the message, or null when it applies
        bool zippedRom = false;
    };
    const std::vector<Row> rows = {
        {"zip, deflated, with a readme and a picture", Kind::ZipDeflated,
         {{"readme.txt", readme}, {"Faster Menus/hack.bps", bps}, {"shot.png", picture}}, "", "", nullptr},
        {"zip, stored", Kind::ZipStored, {{"hack.bps", bps}, {"readme.txt", readme}}, "", "", nullptr},
        {"7z", Kind::SevenZip, {{"readme.txt", readme}, {"English/hack.bps", bps}}, "", "", nullptr},
        {"the ROM in an archive too", Kind::ZipDeflated, {{"hack.bps", bps}}, "", "", nullptr, true},
        {"two candidates", Kind::ZipDeflated, {{"English/hack.bps", bps}, {"Spanish/hack.bps", bps}}, "", "",
         "the archive holds 2 patches:\n  English/hack.bps\n  Spanish/hack.bps\nName the one to use through the "
         "archive, as through a folder: "},
        {"one named through the archive", Kind::SevenZip, {{"English/hack.bps", bps}, {"Spanish/hack.bps", bps}}, "",
         "Spanish/hack.bps", nullptr},
        {"one named in another case", Kind::ZipStored, {{"English/hack.bps", bps}}, "", "english/HACK.BPS", nullptr},
        {"a name the archive lacks", Kind::ZipStored, {{"English/hack.bps", bps}}, "", "French/hack.bps",
         "holds no French/hack.bps; it holds:\n  English/hack.bps"},
        {"no patch at all", Kind::ZipDeflated, {{"readme.txt", readme}}, "", "",
         "the archive holds no patch; it holds:\n  readme.txt"},
        {"encrypted", Kind::ZipEncrypted, {{"hack.bps", bps}}, "", "",
         "hack.bps: it is encrypted (the archive has a password)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        host_.messages.clear();
        std::filesystem::remove(dir_ / "out.sfc");
        Write("hack.zip", MakeArchive(row.kind, row.members));
        std::string original = Path("game.sfc");
        if (row.zippedRom) {
            // A Mac's archiver adds each file's resource fork under __MACOSX/.
            Write("roms.7z", MakeArchive(Kind::SevenZip, {{"readme.nfo", readme},
                                                          {"Game (USA).sfc", original_},
                                                          {"__MACOSX/._Game (USA).sfc", Concat({{0, 5, 0x16, 7}, Random(4000, 2)})}}));
            original = Path("roms.7z");
        }
        const std::string patch = Path("hack.zip") + (row.patchPath.empty() ? "" : "/" + row.patchPath);
        const int status = Run({"apply", original, patch, Path("out.sfc")});
        if (row.refused == nullptr) {
            EXPECT_EQ(status, 0) << Said();
            EXPECT_EQ(Read("out.sfc"), changed_);
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_NE(Said().find(row.refused), std::string::npos) << Said();
            EXPECT_NE(Said().find(Path("hack.zip")), std::string::npos) << Said();
            EXPECT_FALSE(Exists("out.sfc"));
        }
        EXPECT_TRUE(Temporaries().empty());
    }
}

// Making compares files as they are; a patch whose checksums name an archive
// itself (an .apk patched as bytes) applies to it as it is.
TEST_F(ArchiveTest, AnArchiveIsAFileOfBytesWhereThePatchSaysSo) {
    const Bytes app = MakeArchive(Kind::ZipDeflated, {{"classes.dex", Random(5000, 1)}, {"lib/a.so", Random(900, 2)}});
    const Bytes modded = MakeArchive(Kind::ZipDeflated, {{"classes.dex", Random(5000, 3)}, {"lib/a.so", Random(900, 2)}});
    Write("game.apk", app), Write("modded.apk", modded);
    ASSERT_EQ(Run({"make", Path("game.apk"), Path("modded.apk"), Path("mod.bps")}), 0) << Said();
    ASSERT_EQ(Run({"apply", Path("game.apk"), Path("mod.bps"), Path("out.apk")}), 0) << Said();
    EXPECT_EQ(Read("out.apk"), modded);
    // A patch that names no original by checksums leaves the archive an archive.
    ASSERT_EQ(Run({"make", Path("game.apk"), Path("modded.apk"), Path("mod.ips")}), 0) << Said();
    host_.messages.clear();
    EXPECT_EQ(Run({"apply", Path("game.apk"), Path("mod.ips"), Path("out2.apk")}), 1);
    EXPECT_NE(Said().find("the archive holds 2 files that could be the ROM:\n  classes.dex\n  lib/a.so"),
              std::string::npos)
        << Said();
}

TEST_F(ArchiveTest, DamagedArchivesAreRefusedByName) {
    const Bytes bps = Made("game.sfc", "hacked.sfc", "hack.bps");
    Bytes flipped = MakeArchive(Kind::ZipDeflated, {{"hack.bps", bps}});
    flipped[flipped.size() / 3] ^= 0xFF;
    Bytes cut = MakeArchive(Kind::SevenZip, {{"hack.bps", bps}});
    cut.resize(cut.size() / 2);
    // The entry says it holds 100 bytes and inflates to all of the patch.
    Bytes lying = MakeArchive(Kind::ZipDeflated, {{"hack.bps", bps}});
    SetZipField(lying, "PK\x01\x02", 24, 100);
    SetZipField(lying, "PK\x03\x04", 22, 100);
    const Bytes empty = Concat({Text("PK\x05\x06"), Bytes(18, 0)});
    for (const auto& [what, bytes, said] : std::vector<std::tuple<const char*, Bytes, const char*>>{
             {"empty", empty, "the archive holds no patch, nothing at all"},
             {"two files of one name", MakeArchive(Kind::ZipDeflated, {{"hack.bps", bps}, {"hack.bps", bps}}),
              "the archive holds 2 files named hack.bps"},
             {"a byte flipped", flipped, "Cannot read "},
             {"cut short", cut, "the archive is damaged"},
             // libarchive finds it, in its own words, before our own bound does.
             {"inflates past its stated size", lying, "the archive is damaged or not one ZelkPatcher reads (ZIP "
                                                      "uncompressed data is wrong size (read 134, expected 100))"}}) {
        SCOPED_TRACE(what);
        host_.messages.clear();
        Write("hack.zip", bytes);
        EXPECT_EQ(Run({"apply", Path("game.sfc"), Path("hack.zip"), Path("out.sfc")}), 1);
        EXPECT_NE(Said().find(said), std::string::npos) << Said();
        EXPECT_NE(Said().find(Path("hack.zip")), std::string::npos) << Said();
        EXPECT_FALSE(Exists("out.sfc"));
        EXPECT_TRUE(Temporaries().empty());
    }
}

TEST_F(ArchiveTest, SeveralPatchesApplyInOrder) {
    Bytes fixed = changed_;
    fixed[5] ^= 1;
    Bytes restored = fixed;
    restored.resize(150000);
    Write("fixed.sfc", fixed);
    Write("restored.sfc", restored);
    Write("translation.bps", Made("game.sfc", "hacked.sfc", "translation.bps"));
    Write("fixes.ips", Made("hacked.sfc", "fixed.sfc", "fixes.ips"));
    Write("restore.ups", Made("fixed.sfc", "restored.sfc", "restore.ups"));
    Write("fixes.zip", MakeArchive(Kind::ZipDeflated, {{"readme.txt", Text("fixes")}, {"fixes.ips", Read("fixes.ips")}}));
    Write("two.zip", MakeArchive(Kind::ZipDeflated, {{"a/fixes.ips", Read("fixes.ips")}, {"b/fixes.ips", Read("fixes.ips")}}));
    Bytes damaged = Read("fixes.ips");
    damaged.resize(damaged.size() - 4);  // no EOF mark
    Write("damaged.ips", damaged);
    struct Row {
        const char* what;
        std::vector<std::string> patches;
        const char* refused;
    };
    const std::vector<Row> rows = {
        {"three formats in order", {"translation.bps", "fixes.ips", "restore.ups"}, nullptr},
        {"a zipped patch among them", {"translation.bps", "fixes.zip", "restore.ups"}, nullptr},
        {"the wrong order", {"translation.bps", "restore.ups", "fixes.ips"},
         "patch 2 of 3, RESTORE, does not fit the result of patch 1: "},
        {"the middle one damaged", {"translation.bps", "damaged.ips", "restore.ups"}, "patch 2 of 3: "},
        {"the middle one an archive of two", {"translation.bps", "two.zip", "restore.ups"}, "patch 2 of 3: Cannot read "},
        {"one patch twice", {"translation.bps", "translation.bps"}, "patch 2 of 2, TRANSLATION, is already applied in "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        host_.messages.clear();
        std::vector<std::string> args = {"apply", Path("game.sfc")};
        for (const std::string& patch : row.patches) args.push_back(Path(patch));
        args.push_back(Path("out.sfc"));
        const int status = Run(args);
        if (row.refused == nullptr) {
            EXPECT_EQ(status, 0) << Said();
            EXPECT_EQ(Read("out.sfc"), restored);
            EXPECT_EQ(host_.messages.back(), Plain("Done applying 3 patches!"));
            std::vector<std::string> check = {"check", Path("game.sfc")};
            check.insert(check.end(), args.begin() + 2, args.end() - 1);
            host_.messages.clear();
            EXPECT_EQ(Run(check), 0) << Said();
            EXPECT_NE(Said().find("patch 3 of 3: " + Path(row.patches[2]) + " fits the result of patch 2"),
                      std::string::npos)
                << Said();
            std::filesystem::remove(dir_ / "out.sfc");
        } else {
            std::string refused = row.refused;
            if (const auto at = refused.find("RESTORE"); at != std::string::npos)
                refused.replace(at, 7, Path("restore.ups"));
            if (const auto at = refused.find("TRANSLATION"); at != std::string::npos)
                refused.replace(at, 11, Path("translation.bps"));
            EXPECT_EQ(status, 1);
            EXPECT_NE(Said().find(refused), std::string::npos) << Said();
            EXPECT_EQ(Said().find("Done"), std::string::npos) << Said();
            EXPECT_FALSE(Exists("out.sfc"));
            if (refused.find(", is already applied in ") != std::string::npos ||
                refused.find(", does not fit ") != std::string::npos) {  // check stops where apply stops
                std::vector<std::string> check = {"check", Path("game.sfc")};
                check.insert(check.end(), args.begin() + 2, args.end() - 1);
                host_.messages.clear();
                EXPECT_EQ(Run(check), 1) << Said();
                if (row.patches.size() == 3) {
                    EXPECT_NE(Said().find("Patches 3 to 3 were not checked"), std::string::npos) << Said();
                }
            }
        }
        EXPECT_TRUE(Temporaries().empty());
    }
    // Our own format takes no original of 2 GiB or more, first in a chain as alone.
    Write("own.pat", Made("game.sfc", "hacked.sfc", "own.pat"));
    std::filesystem::resize_file(Write("huge.sfc", {}), (std::uintmax_t{1} << 31) + 10);
    host_.messages.clear();
    EXPECT_EQ(Run({"apply", Path("huge.sfc"), Path("own.pat"), Path("fixes.ips"), Path("out.sfc")}), 1);
    EXPECT_NE(Said().find("Too large for a ZelkPatch (2 GiB or more): " + Path("huge.sfc")), std::string::npos) << Said();
    EXPECT_FALSE(Exists("out.sfc"));
    EXPECT_TRUE(Temporaries().empty());
    std::filesystem::remove(dir_ / "huge.sfc");
}

}  // namespace
}  // namespace zelk::test
