// The command line: arguments, exit status, and what it prints.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "cli/cli.h"
#include "engine/formats/bps.h"
#include "engine/formats/format.h"
#include "engine/formats/ips.h"
#include "engine/formats/ups.h"
#include "engine/user_texts.h"
#include "format_models.h"
#include "test_support.h"

namespace zelk::test {
namespace {

// The standard streams are files in the test's own folder: tmpfile() may
// fail (it did under 32-bit Wine with two tests at once), and every open is
// checked.
class CliTest : public FileTest {
protected:
    int Run(std::vector<std::string> args, const std::string& input = "") {
        Write("stdin.txt", Text(input));
        const Stream in(Path("stdin.txt"), "rb");
        const Stream err(Path("stderr.txt"), "w+b");
        const std::size_t before = host_.messages.size();
        const int status = RunCommandLine(args, host_, in.file, err.file);
        // What standard output would show: the plain messages, a line each.
        out_.clear();
        for (std::size_t i = before; i < host_.messages.size(); ++i)
            if (host_.messages[i].style == MessageStyle::Plain) out_ += host_.messages[i].text + "\n";
        err_ = err.Text();
        return status;
    }
    struct Stream {
        Stream(const std::string& path, const char* mode) : file(std::fopen(path.c_str(), mode)) {
            if (file == nullptr) throw std::runtime_error("test could not open " + path);
        }
        ~Stream() { std::fclose(file); }
        std::string Text() const {
            std::string text;
            std::rewind(file);
            for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
            return text;
        }
        std::FILE* file;
    };
    std::string out_, err_;
};

TEST_F(CliTest, MakeApplyAndInfo) {
    const auto a = Write("a.rom", {1, 2, 3, 4});
    const auto b = Write("b.rom", {1, 9, 3, 4, 5});
    EXPECT_EQ(Run({"make", a, b, Path("p.ppp"), "--comment=one\ntwo"}), 0);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({{1, {9}}, {4, {5}}}, "one\r\ntwo"));
    host_.messages.clear();
    EXPECT_EQ(Run({"apply", a, Path("p.ppp"), Path("c.rom")}), 0);
    EXPECT_EQ(Read("c.rom"), Read("b.rom"));
    EXPECT_EQ(Messages(), (std::vector{Plain("one\r\ntwo"), Plain("Done applying ZelkPatch! ")}));
    host_.messages.clear();
    EXPECT_EQ(Run({"info", Path("p.ppp")}), 0);
    ASSERT_EQ(host_.messages.size(), 3u);
    EXPECT_EQ(host_.messages[0].text, "Format: ZelkPatch\nComment:");
    EXPECT_EQ(host_.messages[1].text, "one\r\ntwo");
    EXPECT_NE(host_.messages[2].text.find("Blocks: 2"), std::string::npos);
    EXPECT_NE(host_.messages[2].text.find("offset          4 (0x00000004)  length          1"), std::string::npos);
    EXPECT_NE(host_.messages[2].text.find("Bytes covered: 2"), std::string::npos);
}

TEST_F(CliTest, CommentComesFromAFileOrIsEmpty) {
    const auto a = Write("a.rom", {1});
    Write("note.txt", Text("Привет\nмир"));
    const Bytes expected = PatchBytes({}, "\xCF\xF0\xE8\xE2\xE5\xF2\r\n\xEC\xE8\xF0");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"make", a, a, Path("p.ppp"), "--comment-file", Path("note.txt")},
             {"make", "-C", Path("note.txt"), a, a, Path("p.ppp")},
             {"make", a, "--comment-file=-", a, Path("p.ppp")},
             {"make", a, a, Path("p.ppp"), "-C-"},
             {"make", "-c", "Привет\nмир", a, a, Path("p.ppp")}}) {
        std::filesystem::remove(dir_ / "p.ppp");
        EXPECT_EQ(Run(args, "Привет\nмир"), 0) << err_;
        EXPECT_EQ(Read("p.ppp"), expected);
    }
    EXPECT_EQ(Run({"make", a, a, Path("p.ppp")}), 0);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({}, ""));
    host_.messages.clear();
    EXPECT_EQ(Run({"make", a, a, Path("q.ppp"), "--comment-file", Path("none.txt")}), 1);
    EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{"нету файла " + Path("none.txt"), MessageStyle::Critical}}));
    EXPECT_FALSE(Exists("q.ppp"));
#ifndef _WIN32
    // Standard input that cannot be read (a folder in its place) is no empty comment.
    std::FILE* folder = std::fopen(dir_.c_str(), "rb");
    ASSERT_NE(folder, nullptr);
    const Stream err(Path("stderr.txt"), "w+b");
    host_.messages.clear();
    EXPECT_EQ(RunCommandLine({"make", "-C", "-", a, a, Path("q.ppp")}, host_, folder, err.file), 1);
    std::fclose(folder);
    EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{"Cannot read standard input: Is a directory", MessageStyle::Critical}}));
    EXPECT_FALSE(Exists("q.ppp"));
#endif
}

TEST_F(CliTest, FailuresExitWithOneAndUsageWithTwo) {
    const auto a = Write("a.rom", {1});
    EXPECT_EQ(Run({"apply", a, Write("p.ppp", Text("nope")), Path("o.rom")}), 1);
    // The designed words, then the file named on a line of its own; given
    // the wrong way round, the paths are said to look swapped.
    EXPECT_EQ(Messages(), std::vector{Plain("Это не файл зелк-патча...\n" + text::NoPatchAtAll(Path("p.ppp")))});
    const auto real = Write("real.ips", model::Ips({{0, {2}}}));
    // An output that is where a patch is read from (the patch itself, the
    // archive holding it, a link to it) is refused: the patch would be lost.
    const Bytes ips = Read("real.ips");
    Write("z.zip", MakeArchive(Kind::ZipDeflated, {{"h/p.ips", ips}}));
    std::vector<std::pair<std::string, std::string>> rows = {{real, real}, {Path("z.zip") + "/h/p.ips", Path("z.zip")}};
#ifndef _WIN32
    std::filesystem::create_symlink(real, Path("link.ips"));
    rows.insert(rows.end(), {{Path("link.ips"), real}, {real, Path("link.ips")}});
#endif
    for (const auto& [patch, output] : rows) {
        host_.messages.clear();
        EXPECT_EQ(Run({"apply", a, patch, output}), 1) << patch;
        const std::vector<RecordedMessage> refused = {{text::OutputIsPatch(output, patch), MessageStyle::Critical}};
        EXPECT_EQ(Messages(), refused) << patch;
        EXPECT_EQ(Read("real.ips"), ips);
    }
    for (const char* command : {"apply", "check"}) {
        host_.messages.clear();
        std::vector<std::string> args = {command, real, Path("p.ppp")};
        if (args[0] == "apply") args.push_back(Path("o.rom"));
        EXPECT_EQ(Run(args), args[0] == "apply" ? 1 : 2);
        EXPECT_EQ(Messages(), std::vector{Plain("Это не файл зелк-патча...\n" + text::NoPatchAtAll(Path("p.ppp")) +
                                                text::LookSwapped(real))});
    }
    EXPECT_EQ(Run({"info", Path("p.ppp")}), 1);
    EXPECT_EQ(Run({"info", Path("none.ppp")}), 1);
    EXPECT_EQ(Run({"make", a, Path("none.rom"), Path("x.ppp")}), 1);

    // What is wrong, then one line that says where help is.
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong{
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--force"}, "unknown option '--force'"},
        {{"make", a, a}, "make needs ORIGINAL, CHANGED and PATCH (2 paths given)"},
        {{"make", a, a, Path("x"), "--comment"}, "option '--comment' needs a value"},
        {{"make", a, a, Path("x"), "-c"}, "option '-c' needs a value"},
        {{"make", a, a, Path("x"), "-c", "1", "--comment-file", a}, "give one comment only"},
        {{"make", a, a, Path("x"), "--comment-file="}, "--comment-file needs a file"},
        {{"make", a, a, Path("x"), "--format=xz"}, "unknown format 'xz' (zelk, bps, ups, ips, ebp, xdelta, xdelta-lzma, ppf, aps, aps-gba or rup)"},
        {{"apply", "", a, Path("x")}, "ORIGINAL is empty: name a file"},
        {{"apply", a, a, Path("x"), "--format=bps"}, "unknown option '--format=bps'"},
        {{"make", a, a, "-"}, "PATCH cannot be '-'"},
        {{"apply", a, "-", Path("x")}, "PATCH cannot be '-'"},
        {{"apply", a, a, "-"}, "OUTPUT cannot be '-'"},
        {{"apply", a, a}, "apply needs ORIGINAL, PATCH and OUTPUT (2 paths given)"},
        {{"apply", a, a, a, "--overwrite"}, "unknown option '--overwrite'"},
        {{"apply", "-x", a, a, a}, "unknown option '-x'"},
        {{"info", "--comment=x", a}, "unknown option '--comment=x'"},
        {{"info"}, "info needs PATCH (0 paths given)"},
    };
    for (const auto& [args, problem] : wrong) {
        EXPECT_EQ(Run(args), 2) << problem;
        const std::string hint = args.empty() || args[0].rfind('-', 0) == 0 || args[0] == "frobnicate"
                                     ? "zelkpatch --help"
                                     : "zelkpatch " + args[0] + " --help";
        EXPECT_EQ(err_.rfind("zelkpatch: " + problem, 0), 0u) << err_;
        EXPECT_EQ(err_.substr(err_.find('\n') + 1), "Try '" + hint + "' for more information.\n") << err_;
        EXPECT_TRUE(out_.empty());
    }
    EXPECT_FALSE(Exists("x"));
    EXPECT_FALSE(Exists("o.rom"));
    EXPECT_TRUE(Temporaries().empty());
}

// check: 0 only when the patch fits, 1 when it does not, 2 when it could
// not be checked; apply refuses where it does not fit, writing nothing, and
// with --ignore-checksum writes the result after one warning.
TEST_F(CliTest, CheckTellsTheRightOriginalAndApplyRefusesAWrongOne) {
    const auto a = Write("a.rom", Random(3000, 1));
    Bytes changed = Read("a.rom");
    for (std::size_t i = 10; i < 3000; i += 7) changed[i] = static_cast<std::uint8_t>(~changed[i]);
    const auto b = Write("b.rom", Concat({changed, Text("tail")}));
    ASSERT_EQ(Run({"make", a, b, Path("p.ppp")}), 0);
    const auto headered = Write("h.rom", Concat({Random(512, 2), Read("a.rom")}));
    Bytes other = Read("a.rom");
    other[10] = changed[10];  // one byte the patch writes already in place
    const auto wrong = Write("w.rom", other);
    Write("bad.ppp", Text("Zelk Patch v1.0\x7f\0\0\0"));
    const struct {
        std::string original, patch;
        int status;
        std::string first;  // the verdict's line
    } rows[] = {
        {a, Path("p.ppp"), 0, Path("p.ppp") + " fits " + a},
        {b, Path("p.ppp"), 1, Path("p.ppp") + " is already applied in " + b},
        {headered, Path("p.ppp"), 0, Path("p.ppp") + " fits " + headered},  // behind its header
        {wrong, Path("p.ppp"), 1, Path("p.ppp") + " does not fit " + wrong},
        {a, Path("bad.ppp"), 2, ""},
        {a, Path("none.ppp"), 2, ""},
    };
    for (const auto& row : rows) {
        host_.messages.clear();
        EXPECT_EQ(Run({"check", row.original, row.patch}), row.status) << row.first;
        ASSERT_FALSE(host_.messages.empty());
        if (!row.first.empty()) {
            EXPECT_EQ(host_.messages[0].text.substr(0, host_.messages[0].text.find('\n')), row.first);
            EXPECT_EQ(host_.messages.size(), 1u);
            EXPECT_EQ(host_.messages[0].style, MessageStyle::Plain);  // a verdict, not a failure
        } else {
            EXPECT_EQ(host_.messages[0].style, MessageStyle::Critical);
        }
        host_.messages.clear();
        host_.warnings.clear();
        std::filesystem::remove(Path("out.rom"));
        EXPECT_EQ(Run({"apply", row.original, row.patch, Path("out.rom")}), row.status == 0 ? 0 : 1) << row.first;
        EXPECT_EQ(Exists("out.rom"), row.status == 0) << row.first;
        EXPECT_TRUE(host_.warnings.empty()) << row.first;
        if (row.status != 1) continue;
        EXPECT_EQ(host_.messages.back().text.rfind(row.first + ": ", 0), 0u) << host_.messages.back().text;
        EXPECT_EQ(Run({"apply", "--ignore-checksum", row.original, row.patch, Path("out.rom")}), 0) << row.first;
        ASSERT_EQ(host_.warnings.size(), 1u) << row.first;
        EXPECT_EQ(host_.warnings[0].rfind(row.first + ": ", 0), 0u) << host_.warnings[0];
        EXPECT_TRUE(host_.warnings[0].ends_with("; applied all the same, as asked")) << host_.warnings[0];
    }
    // The file behind its copier header was patched, the header kept.
    host_.messages.clear();
    ASSERT_EQ(Run({"apply", headered, Path("p.ppp"), Path("out.rom")}), 0);
    EXPECT_EQ(host_.messages.front().text, text::HeaderKept(headered, "copier", 512));
    EXPECT_EQ(Read("out.rom"), Concat({Random(512, 2), Read("b.rom")}));
    // A ROM alone: its size and hashes (no system's header in random bytes).
    EXPECT_EQ(Run({"check", a}), 0);
    EXPECT_EQ(out_.rfind("Size:   3000 bytes\nCRC-32: ", 0), 0u) << out_;
    EXPECT_EQ(out_.find("System:"), std::string::npos) << out_;
}

// check and info for the formats ROM hacks are published in.
TEST_F(CliTest, CheckAndInfoReadIpsUpsAndBps) {
    const Bytes source = Random(3000, 3);
    Bytes target = source;
    target[7] ^= 0xFF;
    const auto a = Write("a.rom", source), b = Write("b.rom", target);
    const auto h = Write("h.rom", Concat({Random(512, 4), source}));
    const auto w = Write("w.rom", Random(3000, 5));
    const std::string s = text::SizeAndCrc(3000, model::Crc(source)), t = text::SizeAndCrc(3000, model::Crc(target));
    const Bytes bps = model::Bps(source, target, {{model::SourceRead, 7}, {model::TargetRead, 1, 0, {target[7]}},
                                                  {model::SourceRead, 2992}}, "made by hand");
    const Bytes ups = model::Ups(source, target);
    Bytes damaged = bps;
    damaged[9] ^= 1;
    Bytes wrongBehindHeader = source;
    wrongBehindHeader[100] ^= 1;
    const auto hw = Write("hw.rom", Concat({Random(512, 6), wrongBehindHeader}));
    const Bytes longer = Concat({target, Text("tail")});
    const Bytes cutIps = model::Ips({{10, {1, 2, 3}}, {20, {4, 5}}});
    const auto patch = [&](const char* name, const Bytes& bytes) { return Write(name, bytes); };
    const auto damage = [&](const char* name, const std::string& what) { return text::DamagedPatch(Path(name), what); };
    const struct {
        std::string original, patch;
        int status;
        std::string verdict;  // the first line of check, after the patch's path
        std::string info;     // the first message of info
        int infoStatus = 0;
    } rows[] = {
        {a, patch("p.bps", bps), 0, " fits " + a, "Format: BPS\nComment:"},
        {h, Path("p.bps"), 0, " fits " + h, ""},
        {b, patch("p.ups", ups), 1, " is already applied in " + b,
         "Format: UPS\nSource: " + s + "\nTarget: " + t + "\nPatch CRC-32: " +
             text::Crc(model::Crc(ups, 0, ups.size() - 4))},
        {w, Path("p.ups"), 1, " does not fit " + w, ""},
        {a, patch("p.ips", model::Ips({{7, {target[7]}}, {100, {}, 5, 0}}, 2000)), 0, " fits " + a,
         "Format: IPS\nRecords: 2 (1 run of one byte)\nBytes written: 6\nFarthest record end: 105\nTruncated to: 2000 bytes"},
        {b, patch("q.ips", model::Ips({{7, {target[7]}}})), 1, " is already applied in " + b, ""},
        {a, patch("d.bps", damaged), 2, "", ""},
        {hw, Path("p.bps"), 1, " does not fit " + hw, ""},
        {a, patch("l.bps", model::Bps(source, longer, {{model::SourceRead, 7}, {model::TargetRead, 1, 0, {target[7]}},
                                                            {model::SourceRead, 2992}, {model::TargetRead, 4, 0, Text("tail")}})),
         0, " fits " + a,
         "Format: BPS\nComment: (none)\nSource: " + s + "\nTarget: " + text::SizeAndCrc(3004, model::Crc(longer)) +
             "\nPatch CRC-32: " + text::Crc(model::Crc(Read("l.bps"), 0, Read("l.bps").size() - 4))},
        {b, patch("t.ips", model::Ips({{7, {target[7]}}}, 2000)), 0, " fits " + b, ""},
        {a, patch("e.bps", model::Checksummed("BPS1", 5, 10, {0x80, 0x80 | (5 << 2)})), 2, "",
         damage("e.bps", text::ReadsOutside(7, "original")), 1},
        {a, patch("e.ups", model::Checksummed("UPS1", 10, 10, {0x80 | 11, 0})), 2, "",
         damage("e.ups", text::ChangePastTheEnd(6)), 1},
        {a, patch("e.ips", Bytes(cutIps.begin(), cutIps.end() - 4)), 2, "", damage("e.ips", text::RecordCutShort(1, 13)), 1},
    };
    // The format asked for wins over the name.
    EXPECT_EQ(Run({"make", "-f", "bps", a, b, Path("made.ppp")}), 0);
    EXPECT_EQ(model::ApplyBps(source, Read("made.ppp")), target);
    for (const auto& row : rows) {
        host_.messages.clear();
        EXPECT_EQ(Run({"check", row.original, row.patch}), row.status) << row.patch << row.verdict;
        ASSERT_FALSE(host_.messages.empty());
        const std::string first = host_.messages[0].text.substr(0, host_.messages[0].text.find('\n'));
        if (!row.verdict.empty()) {
            EXPECT_EQ(first, row.patch + row.verdict);
        }
        if (row.info.empty()) continue;
        host_.messages.clear();
        EXPECT_EQ(Run({"info", row.patch}), row.infoStatus) << row.patch;
        ASSERT_FALSE(host_.messages.empty());
        EXPECT_EQ(host_.messages[0].text, row.info);
        // The comment, then what the patch states.
        if (row.info.starts_with("Format: BPS") && row.info.ends_with("\nComment:")) {
            EXPECT_EQ(host_.messages.at(1).text, "made by hand");
            EXPECT_EQ(host_.messages.at(2).text, "Source: " + s + "\nTarget: " + t + "\nPatch CRC-32: " +
                                                     text::Crc(model::Crc(bps, 0, bps.size() - 4)));
        }
    }
    // Applied all the same, as asked: the wrong original and the result's
    // checksum each warned of.
    host_.warnings.clear();
    EXPECT_EQ(Run({"apply", "--ignore-checksum", w, Path("p.bps"), Path("out.rom")}), 0);
    ASSERT_EQ(host_.warnings.size(), 2u);
    EXPECT_EQ(host_.warnings[0],
              text::AppliedAllTheSame(text::WrongFile(w, "BPS", 3000, model::Crc(source), 3000, model::Crc(Read("w.rom")))));
    // The result's: written after all, and said so, not "nothing was written".
    EXPECT_TRUE(host_.warnings[1].starts_with("The result's CRC-32 is ")) << host_.warnings[1];
    EXPECT_TRUE(host_.warnings[1].ends_with(" patch expects " + text::Crc(model::Crc(target)) +
                                            "; applied all the same, as asked; the result is written"))
        << host_.warnings[1];
    EXPECT_EQ(Read("out.rom").size(), target.size());
    // --force is the same.
    host_.warnings.clear();
    EXPECT_EQ(Run({"apply", "--force", w, Path("p.bps"), Path("out.rom")}), 0);
    EXPECT_EQ(host_.warnings.size(), 2u);
}

TEST_F(CliTest, HelpVersionAndPathsAfterDoubleDash) {
    for (const auto& [args, first] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--help"}, "Usage: zelkpatch make [OPTION]... ORIGINAL CHANGED PATCH\n"},
             {{"-h"}, "Usage: zelkpatch make [OPTION]... ORIGINAL CHANGED PATCH\n"},
             {{"make", "--help"}, "Usage: zelkpatch make [OPTION]... ORIGINAL CHANGED PATCH\n"},
             {{"apply", "x", "-h"}, "Usage: zelkpatch apply [OPTION]... ORIGINAL PATCH [PATCH]... OUTPUT\n"},
             {{"info", "--help"}, "Usage: zelkpatch info [OPTION]... PATCH\n"},
             {{"check", "--help"}, "Usage: zelkpatch check [OPTION]... ORIGINAL [PATCH]...\n"},
             {{"--version"}, "zelkpatch (ZelkPatcher) "},
             {{"-V"}, "zelkpatch (ZelkPatcher) "}}) {
        EXPECT_EQ(Run(args), 0) << args[0];
        EXPECT_EQ(out_.rfind(first, 0), 0u) << out_;
        EXPECT_TRUE(err_.empty());
    }
    EXPECT_NE(out_.find("License: MIT"), std::string::npos);
    Write("-a.rom", {1, 2});
    const auto home = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    EXPECT_EQ(Run({"make", "--", "-a.rom", "-a.rom", "-p.ppp"}), 0);
    EXPECT_EQ(Run({"apply", "-a.rom", "-p.ppp", "-o.rom"}), 2);
    EXPECT_EQ(Run({"apply", "--", "-a.rom", "-p.ppp", "-o.rom"}), 0);
    std::filesystem::current_path(home);
    EXPECT_EQ(Read("-p.ppp"), PatchBytes({}, ""));
    EXPECT_EQ(Read("-o.rom"), (Bytes{1, 2}));
}

// The help and the completion learn the formats from the list: every
// format's key, name and summary in the help (make's own help, the ones
// make writes), and --formats, which the completion asks, the keys of
// those make writes, ours first.
TEST_F(CliTest, HelpAndCompletionNameEveryFormat) {
    ASSERT_EQ(Run({"--help"}), 0);
    const std::string help = out_;
    ASSERT_EQ(Run({"make", "--help"}), 0);
    const std::string makeHelp = out_;
    ASSERT_EQ(Run({"--formats"}), 0);
    const auto flowed = [](const std::string& text) {
        std::string one;
        for (const char c : text)
            if (!(c == ' ' || c == '\n') || (!one.empty() && one.back() != ' ')) one += c == '\n' ? ' ' : c;
        return one;
    };
    std::string keys = std::string(OwnFormat().Key()) + "\n";
    for (const PatchFormat* format : Formats()) {
        const std::string line = "  " + std::string(format->Key()) + " ";
        const std::string said = std::string(format->Name()) + " (" + (format->Makes() ? "make" : "read only");
        for (const std::string* one : {&help, &makeHelp}) {
            const std::string& text = *one;
            if (one == &makeHelp && !format->Makes()) {
                EXPECT_EQ(text.find(line), std::string::npos) << format->Key();
                continue;
            }
            EXPECT_NE(text.find(line), std::string::npos) << format->Key();
            EXPECT_NE(flowed(text).find(said), std::string::npos) << said;
            EXPECT_NE(flowed(text).find(std::string(format->Summary()) + "."), std::string::npos) << format->Summary();
        }
        if (format->Makes() && format != &OwnFormat()) keys += std::string(format->Key()) + "\n";
    }
    EXPECT_EQ(out_, keys);
#ifdef ZELK_COMPLETION
    std::ifstream file(ZELK_COMPLETION);
    const std::string completion((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const PatchFormat* format : Formats()) {
        std::string word(1, ' ');
        (word += format->Key()) += ' ';
        EXPECT_EQ(completion.find(word), std::string::npos) << format->Key();
    }
#endif
}

namespace checksum_model {

// Each system's rule, written from its documentation for the test alone.
std::uint32_t Be(const Bytes& b, std::size_t at) { return std::uint32_t{b[at]} << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]; }

void Snes(Bytes& rom) {  // LoROM, header at 0x7FC0; sizes 2^n + 2^(n-1) mirror the last part twice
    rom[0x7FDC] = rom[0x7FDD] = 0xFF;
    rom[0x7FDE] = rom[0x7FDF] = 0;
    std::uint32_t low = 0, high = 0;
    std::size_t power = 1;
    while (power * 2 <= rom.size()) power *= 2;
    for (std::size_t i = 0; i < rom.size(); ++i) (i < power ? low : high) += rom[i];
    const std::uint32_t sum = (low + (rom.size() > power ? high * (power / (rom.size() - power)) : 0)) & 0xFFFF;
    rom[0x7FDE] = static_cast<std::uint8_t>(sum);
    rom[0x7FDF] = static_cast<std::uint8_t>(sum >> 8);
    rom[0x7FDC] = static_cast<std::uint8_t>(~sum);
    rom[0x7FDD] = static_cast<std::uint8_t>(~sum >> 8);
}
void GameBoy(Bytes& rom) {
    std::uint8_t x = 0;
    for (std::size_t i = 0x134; i <= 0x14C; ++i) x = static_cast<std::uint8_t>(x - rom[i] - 1);
    rom[0x14D] = x;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < rom.size(); ++i)
        if (i != 0x14E && i != 0x14F) sum += rom[i];
    rom[0x14E] = static_cast<std::uint8_t>(sum >> 8);
    rom[0x14F] = static_cast<std::uint8_t>(sum);
}
void GameBoyAdvance(Bytes& rom) {
    int c = 0;
    for (std::size_t i = 0xA0; i <= 0xBC; ++i) c -= rom[i];
    rom[0xBD] = static_cast<std::uint8_t>(c - 0x19);
}
void MegaDrive(Bytes& rom) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0x200; i + 1 < rom.size(); i += 2) sum += rom[i] << 8 | rom[i + 1];
    rom[0x18E] = static_cast<std::uint8_t>(sum >> 8);
    rom[0x18F] = static_cast<std::uint8_t>(sum);
}
void Nintendo64(Bytes& rom) {  // boot chip 6102
    std::uint32_t t1, t2, t3, t4, t5, t6;
    t1 = t2 = t3 = t4 = t5 = t6 = 0xF8CA4DDC;
    for (std::size_t i = 0x1000; i < 0x101000; i += 4) {
        const std::uint32_t d = Be(rom, i);
        if (t6 + d < t6) ++t4;
        t6 += d;
        t3 ^= d;
        const std::uint32_t r = (d << (d & 31)) | (d >> ((32 - (d & 31)) & 31));
        t5 += r;
        if (t2 > d) t2 ^= r; else t2 ^= t6 ^ d;
        t1 += t5 ^ d;
    }
    const std::uint32_t crc[2] = {t6 ^ t4 ^ t3, t5 ^ t2 ^ t1};
    for (int w = 0; w < 2; ++w)
        for (int k = 0; k < 4; ++k) rom[static_cast<std::size_t>(0x10 + 4 * w + k)] = static_cast<std::uint8_t>(crc[w] >> (24 - 8 * k));
}

// A ROM of each system, its header sound.
Bytes Built(const std::string& system) {
    if (system == "SNES") {
        Bytes rom = Random(0x180000, 61);
        std::memcpy(rom.data() + 0x7FC0, "ZELK TEST GAME       ", 21);
        rom[0x7FD5] = 0x20;
        rom[0x7FD7] = 0x0B;
        Snes(rom);
        return rom;
    }
    if (system == "Game Boy Color") {
        Bytes rom = Random(0x8000, 62);
        const std::uint8_t logo[48] = {0xCE, 0xED, 0x66, 0x66, 0xCC, 0x0D, 0x00, 0x0B, 0x03, 0x73, 0x00, 0x83,
                                       0x00, 0x0C, 0x00, 0x0D, 0x00, 0x08, 0x11, 0x1F, 0x88, 0x89, 0x00, 0x0E,
                                       0xDC, 0xCC, 0x6E, 0xE6, 0xDD, 0xDD, 0xD9, 0x99, 0xBB, 0xBB, 0x67, 0x63,
                                       0x6E, 0x0E, 0xEC, 0xCC, 0xDD, 0xDC, 0x99, 0x9F, 0xBB, 0xB9, 0x33, 0x3E};
        std::memcpy(rom.data() + 0x104, logo, 48);
        rom[0x143] = 0x80;
        GameBoy(rom);
        return rom;
    }
    if (system == "Game Boy Advance") {
        Bytes rom = Random(0x10000, 63);
        rom[3] = 0xEA;
        rom[0xB2] = 0x96;
        GameBoyAdvance(rom);
        return rom;
    }
    if (system == "Mega Drive") {
        Bytes rom = Random(0x20000, 64);
        std::memcpy(rom.data() + 0x100, "SEGA MEGA DRIVE ", 16);
        MegaDrive(rom);
        return rom;
    }
    Bytes rom = Random(0x102000, 65);
    const std::uint8_t first[4] = {0x80, 0x37, 0x12, 0x40};
    std::memcpy(rom.data(), first, 4);
    // The boot code's last word makes its CRC-32 that of chip 6102: the
    // register run back over 32 zero bits from the CRC wanted, against the
    // one the code before it leaves.
    std::uint32_t want = ~0x90BB6CB5u;
    for (int bit = 0; bit < 32; ++bit) want = (want & 0x80000000u) != 0 ? ((want ^ 0xEDB88320u) << 1) | 1 : want << 1;
    const std::uint32_t word = want ^ ~model::Crc(rom, 0x40, 0xFFC);
    for (int k = 0; k < 4; ++k) rom[static_cast<std::size_t>(0xFFC + k)] = static_cast<std::uint8_t>(word >> (8 * k));
    Nintendo64(rom);
    return rom;
}

void Seal(const std::string& system, Bytes& rom) {
    if (system == "SNES") Snes(rom);
    else if (system == "Game Boy Color") GameBoy(rom);
    else if (system == "Game Boy Advance") GameBoyAdvance(rom);
    else if (system == "Mega Drive") MegaDrive(rom);
    else Nintendo64(rom);
}

}  // namespace checksum_model

// Each system's own header checksum: checked, told when a patch leaves it
// wrong, and mended on request, held to each system's rule; in the window
// the same question is asked (here answered by the host's Ask).
TEST_F(CliTest, HeaderChecksumsAreToldAndMendedOnRequest) {
    const struct {
        std::string system, field;
        std::size_t changedAt;
        bool n64Order = false;
    } rows[] = {
        {"SNES", "SNES header checksum", 0x100000},
        {"Game Boy Color", "Game Boy Color global checksum", 0x4000},
        {"Game Boy Advance", "Game Boy Advance header complement", 0xA0},
        {"Mega Drive", "Mega Drive checksum", 0x10000},
        {"Nintendo 64", "Nintendo 64 CRC (boot chip 6102)", 0x20000},
    };
    for (const auto& row : rows) {
        const Bytes sound = checksum_model::Built(row.system);
        const auto a = Write("sound.rom", sound);
        host_.messages.clear();
        ASSERT_EQ(Run({"check", a}), 0) << row.system;
        EXPECT_NE(out_.find("System: " + row.system + "\n"), std::string::npos) << out_;
        EXPECT_NE(out_.find(row.field + ": right"), std::string::npos) << out_;
        EXPECT_EQ(out_.find("wrong"), std::string::npos) << out_;
        Bytes changed = sound;
        for (std::size_t i = row.changedAt; i < row.changedAt + 16; ++i) changed[i] ^= 0x5A;
        const auto b = Write("changed.rom", changed);
        ASSERT_EQ(Run({"make", a, b, Path("p.ppp")}), 0);
        ASSERT_EQ(Run({"apply", a, Path("p.ppp"), Path("out.rom")}), 0) << row.system;
        EXPECT_EQ(Read("out.rom"), changed) << row.system;
        EXPECT_NE(out_.find("The result's " + row.field), std::string::npos) << out_;
        EXPECT_NE(out_.find("--fix-checksum"), std::string::npos) << out_;
        Bytes mended = changed;
        checksum_model::Seal(row.system, mended);
        host_.messages.clear();
        ASSERT_EQ(Run({"check", Path("out.rom")}), 0);
        EXPECT_NE(out_.find(row.field + ": wrong: the header says "), std::string::npos) << out_;
        ASSERT_EQ(Run({"apply", "--fix-checksum", a, Path("p.ppp"), Path("out.rom")}), 0) << row.system;
        EXPECT_EQ(Read("out.rom"), mended) << row.system;
        EXPECT_NE(out_.find("Mended the result's " + row.field), std::string::npos) << out_;
        // The window asks; Yes mends it as well.
        host_.answer = true;
        ASSERT_EQ(Run({"apply", a, Path("p.ppp"), Path("asked.rom")}), 0) << row.system;
        host_.answer = false;
        EXPECT_EQ(Read("asked.rom"), mended) << row.system;
        EXPECT_NE(out_.find("Fix the ROM's internal checksum?\n"), std::string::npos) << out_;
    }
}

// The user's DATs name a ROM, behind its header too, and both sides of a
// check or a refusal; a DAT that cannot be used is skipped with one line
// naming it and why, and the run goes on.
TEST_F(CliTest, DatsNameRomsAndDamagedOnesAreSkipped) {
    const Bytes game = Random(0x40000, 71), other = Random(0x40000, 72);
    Bytes changed = game;
    changed[100] ^= 1;
    const auto a = Write("game.sfc", game);
    const auto headered = Write("game.smc", Concat({Random(512, 73), game}));
    const auto b = Write("other.sfc", other);
    ASSERT_EQ(Run({"make", a, Write("changed.sfc", changed), Path("p.bps")}), 0);
    const auto rom = [](const std::string& name, const Bytes& bytes) {
        return "<game name=\"" + name + "\"><rom name=\"" + name + ".sfc\" size=\"" + std::to_string(bytes.size()) +
               "\" crc=\"" + text::Crc(model::Crc(bytes)) + "\"/></game>";
    };
    const std::string dat = "<?xml version=\"1.0\"?>\n<datafile><header><name>Zelk Test DAT</name></header>" +
                            rom("Zelk Test Game (Japan) (Rev 1)", game) + rom("Other Game (Europe)", other) +
                            "</datafile>\n";
    std::filesystem::create_directories(Path("dats"));
    Write("dats/pack.zip", MakeArchive(Kind::ZipDeflated, {{"No-Intro/test.dat", Text(dat)}, {"readme.txt", Text("hi")}}));
    // clrmamepro's text form beside it, as Windows tools write it.
    const std::string textDat = "\xEF\xBB\xBF" "clrmamepro (\r\n\tname \"Zelk Text DAT\"\r\n\tversion 20261210\r\n)\r\n\r\n"
                                "game (\r\n\tname \"Zelk Test Game (Japan) (Rev 1) [T-En]\"\r\n\tdescription Сказка\r\n"
                                "\trom ( name \"g.sfc\" size " +
                                std::to_string(changed.size()) + " crc " + text::Crc(model::Crc(changed)) +
                                " flags verified )\r\n)\r\n";
    Write("dats/text.dat", Text(textDat));
    host_.datFolder = Path("dats");
    ASSERT_EQ(Run({"check", a}), 0);
    EXPECT_NE(out_.find("\nName:   Zelk Test Game (Japan) (Rev 1), in Zelk Test DAT\n"), std::string::npos) << out_;
    ASSERT_EQ(Run({"check", Path("changed.sfc")}), 0);
    EXPECT_NE(out_.find("\nName:   Zelk Test Game (Japan) (Rev 1) [T-En], in Zelk Text DAT\n"), std::string::npos) << out_;
    ASSERT_EQ(Run({"check", headered}), 0);
    EXPECT_NE(out_.find("\nName:   Zelk Test Game (Japan) (Rev 1), in Zelk Test DAT (behind its 512-byte copier header)"),
              std::string::npos) << out_;
    const std::string both = "This file is Other Game (Europe), in Zelk Test DAT.\n"
                             "The patch is for Zelk Test Game (Japan) (Rev 1), in Zelk Test DAT.";
    EXPECT_EQ(Run({"check", b, Path("p.bps")}), 1);
    EXPECT_NE(out_.find(both), std::string::npos) << out_;
    host_.messages.clear();
    EXPECT_EQ(Run({"apply", b, Path("p.bps"), Path("out.sfc")}), 1);
    EXPECT_TRUE(host_.messages.back().text.ends_with(both)) << host_.messages.back().text;
    // An xdelta patch names its original only by its file's name, which
    // is the DAT's own where its maker started from such a dump.
    ASSERT_EQ(Run({"make", Write("Zelk Test Game (Japan) (Rev 1).sfc", game), Path("changed.sfc"), Path("p.xdelta")}), 0);
    EXPECT_EQ(Run({"check", b, Path("p.xdelta")}), 1);
    EXPECT_NE(out_.find(both), std::string::npos) << out_;
    // The same as the first patch of several.
    EXPECT_EQ(Run({"check", b, Path("p.bps"), Path("p.bps")}), 1);
    EXPECT_NE(out_.find(both), std::string::npos) << out_;
    host_.messages.clear();
    EXPECT_EQ(Run({"apply", b, Path("p.bps"), Path("p.bps"), Path("out.sfc")}), 1);
    EXPECT_TRUE(host_.messages.back().text.ends_with(both)) << host_.messages.back().text;
    EXPECT_TRUE(host_.warnings.empty());
    // Damaged and hostile DATs, each given with --dat beside the good one.
    host_.datFolder.clear();
    std::string deep = "game ( name G ";
    for (int i = 0; i < 100000; ++i) deep += "x ( ";
    const struct {
        std::string name, bytes, why;
    } rows[] = {
        {"words.dat", "this is not XML", ": it is not a DAT this reads (neither XML nor clrmamepro's text)."},
        {"cut-text.dat", textDat.substr(0, textDat.size() - 5), ": it is not a DAT this reads (line 6: neither XML"},
        {"deep.dat", deep, ": it nests its groups deeper than any DAT."},
        {"size.dat", "game ( name G rom ( size 1k crc 12345678 ) )", ": the size of G is not a number (\"1k\")."},
        {"cut.dat", dat.substr(0, dat.size() / 2), ": it is not a DAT this reads (line "},
        {"other.xml", "<?xml version=\"1.0\"?><feed/>", ": it is XML, but not a DAT (its root is <feed>)."},
        {"crc.dat", "<datafile><game name=\"G\"><rom name=\"g\" size=\"1\" crc=\"123\"/></game></datafile>",
         ": the CRC-32 of G is not 8 hex digits (\"123\")."},
        {"laughs.dat", "<?xml version=\"1.0\"?><!DOCTYPE datafile [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                       "<datafile>&b;</datafile>", ": it declares entities, which no DAT needs."},
        {"huge.dat", "", ": it is larger than any DAT (314572800 bytes)."},
    };
    for (const auto& row : rows) {
        Write(row.name, Text(row.bytes));
        if (row.name == "huge.dat") std::filesystem::resize_file(Path(row.name), 300 << 20);
        host_.warnings.clear();
        ASSERT_EQ(Run({"check", a, "--dat", Path(row.name), "--dat=" + Path("dats")}), 0) << row.name;
        EXPECT_NE(out_.find("Name:   Zelk Test Game"), std::string::npos) << row.name;
        ASSERT_EQ(host_.warnings.size(), 1u) << row.name;
        EXPECT_TRUE(host_.warnings[0].starts_with("Skipped the DAT " + Path(row.name) + row.why)) << host_.warnings[0];
    }
}

}  // namespace
}  // namespace zelk::test
