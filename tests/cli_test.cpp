// The command line: arguments, exit status, and what it prints.
#include <cstdio>

#include "cli/cli.h"
#include "test_support.h"

namespace zelk::test {
namespace {

class CliTest : public FileTest {
protected:
    int Run(std::vector<std::string> args) {
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int status = RunCommandLine(args, host_, out, err);
        out_ = Drain(out);
        err_ = Drain(err);
        return status;
    }
    static std::string Drain(std::FILE* f) {
        std::string text;
        std::rewind(f);
        for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
        std::fclose(f);
        return text;
    }
    std::string out_, err_;
};

TEST_F(CliTest, MakeApplyAndInfo) {
    const auto a = Write("a.rom", {1, 2, 3, 4});
    const auto b = Write("b.rom", {1, 9, 3, 4, 5});
    EXPECT_EQ(Run({"make", a, b, Path("p.ppp"), "--comment", "one\ntwo"}), 0);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({{1, {9}}, {4, {5}}}, "one\r\ntwo"));
    host_.messages.clear();
    EXPECT_EQ(Run({"apply", a, Path("p.ppp"), Path("c.rom")}), 0);
    EXPECT_EQ(Read("c.rom"), Read("b.rom"));
    EXPECT_EQ(Messages(), (std::vector{Plain("one\r\ntwo"), Plain("Done applying ZelkPatch! ")}));
    host_.messages.clear();
    EXPECT_EQ(Run({"info", Path("p.ppp")}), 0);
    ASSERT_EQ(host_.messages.size(), 2u);
    EXPECT_EQ(host_.messages[0].text, "Comment:\none\r\ntwo");
    EXPECT_NE(host_.messages[1].text.find("Blocks: 2"), std::string::npos);
    EXPECT_NE(host_.messages[1].text.find("offset          4 (0x00000004)  length          1"), std::string::npos);
    EXPECT_NE(host_.messages[1].text.find("Bytes covered: 2"), std::string::npos);
}

TEST_F(CliTest, CommentComesFromAFileOrIsEmpty) {
    const auto a = Write("a.rom", {1});
    Write("note.txt", Text("Привет\nмир"));
    EXPECT_EQ(Run({"make", a, a, Path("p.ppp"), "--comment-file", Path("note.txt")}), 0);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({}, "\xCF\xF0\xE8\xE2\xE5\xF2\r\n\xEC\xE8\xF0"));
    EXPECT_EQ(Run({"make", a, a, Path("p.ppp")}), 0);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({}, ""));
    host_.messages.clear();
    EXPECT_EQ(Run({"make", a, a, Path("q.ppp"), "--comment-file", Path("none.txt")}), 1);
    EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{"нету файла " + Path("none.txt"), MessageStyle::Critical}}));
    EXPECT_FALSE(Exists("q.ppp"));
}

TEST_F(CliTest, FailuresExitWithOneAndUsageWithTwo) {
    const auto a = Write("a.rom", {1});
    EXPECT_EQ(Run({"apply", a, Write("p.ppp", Text("nope")), Path("o.rom")}), 1);
    EXPECT_EQ(Messages(), std::vector{Plain("Это не файл зелк-патча...")});
    EXPECT_EQ(Run({"info", Path("p.ppp")}), 1);
    EXPECT_EQ(Run({"info", Path("none.ppp")}), 1);
    EXPECT_EQ(Run({"make", a, Path("none.rom"), Path("x.ppp")}), 1);

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate"},
                                               {"make", a, a},
                                               {"make", a, a, Path("x"), "--comment"},
                                               {"make", a, a, Path("x"), "--comment", "1", "--comment-file", a},
                                               {"apply", a, a},
                                               {"apply", a, a, a, "--force"},
                                               {"info"}}) {
        EXPECT_EQ(Run(args), 2);
        EXPECT_NE(err_.find("Usage:"), std::string::npos);
        EXPECT_TRUE(out_.empty());
    }
    EXPECT_FALSE(Exists("x"));
    EXPECT_FALSE(Exists("o.rom"));
}

TEST_F(CliTest, HelpVersionAndPathsAfterDoubleDash) {
    EXPECT_EQ(Run({"--help"}), 0);
    EXPECT_NE(out_.find("zelkpatch apply ORIGINAL PATCH OUTPUT"), std::string::npos);
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out_.rfind("zelkpatch ", 0), 0u);
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

}  // namespace
}  // namespace zelk::test
