// The code page of patch comments, and text made safe for a terminal.
#include "host/ansi_code_page.h"
#include "host/console_host.h"
#include "test_support.h"

namespace zelk::test {
namespace {

const AnsiCodePage& Page() { return AnsiCodePage::Host(); }

TEST(CodePage, ProgramTextsRoundTripOneBytePerCharacter) {
    for (const std::string text :
         {"нету файла ", "Это не файл зелк-патча...", "Коментарий к патчу сделанному из ", " и ", "Пояснения к патчу",
          "ЁёЇїЄєЎў№ «»—–€™"}) {
        const std::string ansi = Page().ToAnsi(text);
        std::size_t characters = 0;
        for (const char c : text) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        EXPECT_EQ(ansi.size(), characters) << text;
        EXPECT_EQ(Page().FromAnsi(ansi), text);
    }
    EXPECT_EQ(Page().ToAnsi("нету"), "\xED\xE5\xF2\xF3");
    EXPECT_EQ(Page().ToAnsi("Ёё№"), "\xA8\xB8\xB9");
}

TEST(CodePage, EveryByteSurvivesTheWayThroughUnicode) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(Page().ToAnsi(Page().FromAnsi(all)), all);
}

TEST(CodePage, MissingCharactersAndBrokenUtf8BecomeQuestionMarks) {
    EXPECT_EQ(Page().ToAnsi("a日b😀c"), "a?b?c");
    EXPECT_EQ(Page().ToAnsi("é"), "?");
    EXPECT_EQ(Page().ToAnsi("x\xFFy"), "x?y");
    EXPECT_EQ(Page().ToAnsi("\xD0"), "?");             // cut short
    EXPECT_EQ(Page().ToAnsi("\xC0\xAF"), "??");        // overlong
    EXPECT_EQ(Page().ToAnsi("\xED\xA0\x80"), "???");   // surrogate
}

TEST(TerminalSafe, ControlCharactersAreShownEscapedAndLineBreaksKept) {
    EXPECT_EQ(TerminalSafe("line1\r\nline2\nend\ttab"), "line1\nline2\nend\ttab");
    EXPECT_EQ(TerminalSafe("\x1b[2Jgone\a"), "\\x1B[2Jgone\\x07");
    EXPECT_EQ(TerminalSafe("bare\rcr"), "bare\\x0Dcr");
    EXPECT_EQ(TerminalSafe("\xC2\x9B" "31m"), "\\u{9B}31m");  // the one-character CSI
    EXPECT_EQ(TerminalSafe("\xE2\x80\xAE" "abc"), "\\u{202E}abc");
    EXPECT_EQ(TerminalSafe("bad\xFF"), "bad\\xFF");
    EXPECT_EQ(TerminalSafe("Привет"), "Привет");
}

}  // namespace
}  // namespace zelk::test
