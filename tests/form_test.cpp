// The window's logic without a window: the start-up comment and the calls
// each button makes with which field.
#include "engine/user_texts.h"
#include "format_models.h"
#include "test_support.h"
#include "ui/form.h"

namespace zelk::test {
namespace {

TEST(Form, DefaultCommentHasThreeLinesWithCrLf) {
    EXPECT_EQ(form::ComposeDefaultComment("D:\\TEMP\\a\\test.rom", "D:\\TEMP\\a\\test1.rom"),
              "Коментарий к патчу сделанному из \r\nD:\\TEMP\\a\\test.rom и \r\nD:\\TEMP\\a\\test1.rom");
}

TEST(Form, EveryControlLiesInsideTheClientAreaOnWholePixels) {
    for (const form::Control& c : form::Controls) {
        EXPECT_EQ(c.left % form::TwipsPerPixel + c.top % form::TwipsPerPixel + c.width % form::TwipsPerPixel +
                      c.height % form::TwipsPerPixel,
                  0)
            << c.name;
        EXPECT_LE(c.left + c.width, form::ClientWidthTwips) << c.name;
        EXPECT_LE(c.top + c.height, form::ClientHeightTwips) << c.name;
    }
}

TEST(Form, FontShrinksByHalfPointsUntilTheCaptionsFitOrTheFloor) {
    struct Row {
        double start, fitsAtOrBelow, chosen;
    };
    for (const Row& row : {Row{9, 12, 9}, Row{9, 7.5, 7.5}, Row{9, 7.2, 7}, Row{9.25, 8, 7.75}, Row{9, 1, 6.5},
                           Row{6, 1, 6}}) {
        std::vector<double> tried;
        const double chosen = form::FittedFontPoints(row.start, [&](double points) {
            tried.push_back(points);
            return points <= row.fitsAtOrBelow;
        });
        EXPECT_EQ(chosen, row.chosen) << row.start << " " << row.fitsAtOrBelow;
        EXPECT_EQ(tried.back(), chosen);  // the size chosen is one that was measured
    }
}

TEST(Form, ThePatchFieldNamesSeveralPatchesEachQuoted) {
    using Paths = std::vector<std::string>;
    for (const auto& [text, paths] : std::vector<std::pair<std::string, Paths>>{
             {"D:\\TEMP\\a\\ppp.ppp", {"D:\\TEMP\\a\\ppp.ppp"}},
             {"\"C:\\my hacks\\a.bps\" \"fixes.zip/x.ips\"", {"C:\\my hacks\\a.bps", "fixes.zip/x.ips"}},
             {"  \"one.bps\"", {"one.bps"}},
             {"\"a.bps\"\"b.ips\"", {"\"a.bps\"\"b.ips\""}},  // not a list: taken as typed
             {"\"a.bps\" b.ips", {"\"a.bps\" b.ips"}},
             {"\"unclosed.bps", {"\"unclosed.bps"}}}) {
        EXPECT_EQ(form::PatchPaths(text), paths) << text;
    }
    const Paths two = {"/roms/a b.bps", "/roms/c.ips"};
    EXPECT_EQ(form::PatchPaths(form::PatchFieldText(two)), two);
    EXPECT_EQ(form::DroppedText(form::Role::Patch, two), "\"/roms/a b.bps\" \"/roms/c.ips\"");
    EXPECT_EQ(form::DroppedText(form::Role::Original, two), "");
    EXPECT_EQ(form::DroppedText(form::Role::Original, {"/roms/a.sfc"}), "/roms/a.sfc");
}

TEST_F(FileTest, ApplyPatchTakesThePatchesInTheFieldsOrder) {
    const Bytes c = WriteThreeVersions();
    EXPECT_EQ(form::PressMakePatch(host_, {Path("a.rom"), Path("b.rom"), Path("1.bps"), ""}), Outcome::Done);
    EXPECT_EQ(form::PressMakePatch(host_, {Path("b.rom"), Path("c.rom"), Path("2.ppp"), "second"}), Outcome::Done);
    host_.messages.clear();
    const std::string both = form::PatchFieldText({Path("1.bps"), Path("2.ppp")});
    EXPECT_EQ(form::PressApplyPatch(host_, {Path("a.rom"), Path("out.rom"), both, ""}), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), c);
    EXPECT_EQ(Messages(), (std::vector{Plain("second"), Plain("Done applying 2 patches!")}));
    // The other way round the BPS patch meets the result of the other: asked, No, nothing written.
    host_.messages.clear();
    const std::string swapped = form::PatchFieldText({Path("2.ppp"), Path("1.bps")});
    EXPECT_EQ(form::PressApplyPatch(host_, {Path("a.rom"), Path("new.rom"), swapped, ""}), Outcome::Stopped);
    ASSERT_EQ(host_.messages.size(), 3u) << ::testing::PrintToString(host_.messages);
    EXPECT_EQ(host_.messages[1].text.rfind("patch 2 of 2, " + Path("1.bps") + ", does not fit the result of patch 1: ", 0),
              0u)
        << host_.messages[1].text;
    EXPECT_EQ(host_.messages[2], Plain(form::ApplyAnywayQuestion));
    EXPECT_FALSE(Exists("new.rom"));
}

using FormFiles = FileTest;

TEST_F(FormFiles, ButtonsPassTheRightFields) {
    form::Fields fields{Write("a.rom", {1, 2, 3}), Write("b.rom", {1, 5, 3, 7}), Path("p.ppp"), "line\r\nnext"};
    ASSERT_EQ(form::PressMakePatch(host_, fields), Outcome::Done);
    EXPECT_EQ(Read("p.ppp"), PatchBytes({{1, {5}}, {3, {7}}}, "line\r\nnext"));
    // Apply writes to the changed/output field, reading the patch field.
    fields.chgRomFile = Path("out.rom");
    host_.messages.clear();
    ASSERT_EQ(form::PressApplyPatch(host_, fields), Outcome::Done);
    EXPECT_EQ(Read("out.rom"), Read("b.rom"));
    EXPECT_EQ(Messages(), (std::vector{Plain("line\r\nnext"), Plain("Done applying ZelkPatch! ")}));
    form::PressExit(host_);
    EXPECT_TRUE(host_.ended);
}

// A patch refused for the original's checksum asks, after the message that
// names both, whether to apply it anyway: No leaves everything; Yes applies
// with the warning shown. Our own format asks the same where its bytes say
// it is not for the file; its other refusals ask nothing.
TEST_F(FormFiles, ARefusalForTheChecksumAsksWhetherToApplyAnyway) {
    const Bytes source = Random(4000, 1), other = Random(4000, 2);
    Bytes target = source;
    target[7] ^= 1;
    form::Fields fields{Write("a.rom", other), Path("out.rom"), Write("p.ups", model::Ups(source, target)), ""};
    Write("out.rom", Text("old"));
    const std::string wrong = text::WrongFile(Path("a.rom"), "UPS", 4000, model::Crc(source), 4000, model::Crc(other));
    EXPECT_EQ(form::PressApplyPatch(host_, fields), Outcome::Stopped);
    EXPECT_EQ(Messages(), (std::vector<RecordedMessage>{{wrong, MessageStyle::Critical}, Plain("Apply anyway?")}));
    EXPECT_EQ(Read("out.rom"), Text("old"));
    host_.messages.clear();
    host_.answer = true;
    EXPECT_EQ(form::PressApplyPatch(host_, fields), Outcome::Done);
    ASSERT_EQ(Messages().size(), 5u);
    EXPECT_EQ(Messages()[1], Plain("Apply anyway?"));
    EXPECT_EQ(Messages()[2], Plain(text::AppliedAllTheSame(wrong)));
    EXPECT_EQ(Messages().back(), Plain(text::ForeignDone("UPS")));
    EXPECT_EQ(Read("out.rom").size(), 4000u);
    // Ours: the designed message alone.
    host_.messages.clear();
    fields.outPatchFile = Write("p.ppp", Text("Zelk Patch v1.0"));
    EXPECT_EQ(form::PressApplyPatch(host_, fields), Outcome::Stopped);
    EXPECT_EQ(Messages().size(), 1u);
    // Ours, where its own bytes say it is not for this file: the question
    // comes before the comment box, so that No leaves the output as it was.
    host_.messages.clear();
    host_.answer = false;
    fields.outPatchFile = Write("q.ppp", PatchBytes({{0, {other[0]}}}, "read me"));
    EXPECT_EQ(form::PressApplyPatch(host_, fields), Outcome::Stopped);
    ASSERT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Messages()[0].style, MessageStyle::Critical);
    EXPECT_EQ(Messages()[1], Plain("Apply anyway?"));
    EXPECT_EQ(Read("out.rom").size(), 4000u);
    host_.messages.clear();
    host_.answer = true;
    EXPECT_EQ(form::PressApplyPatch(host_, fields), Outcome::Done);
    ASSERT_EQ(Messages().size(), 5u);
    EXPECT_EQ(Messages()[2].text, text::AppliedAllTheSame(Messages()[0].text));
    EXPECT_EQ(Messages()[3], Plain("read me"));
    EXPECT_EQ(Messages()[4], Plain("Done applying ZelkPatch! "));
    // With DATs in the default folder: the refusal names the file, and
    // those that cannot be used are told in one message before it.
    std::filesystem::create_directories(Path("dats"));
    Write("dats/good.dat", Text("game ( name \"Other Game\" rom ( size 4000 crc " + text::Crc(model::Crc(other)) + " ) )"));
    Write("dats/bad.dat", Text("not a DAT"));
    Write("dats/bad.xml", Text("<feed/>"));
    host_.datFolder = Path("dats");
    host_.messages.clear();
    host_.answer = false;
    fields.outPatchFile = Path("p.ups");
    EXPECT_EQ(form::PressApplyPatch(host_, fields), Outcome::Stopped);
    const auto said = Messages();
    ASSERT_EQ(said.size(), 3u);
    EXPECT_EQ(std::count(said[0].text.begin(), said[0].text.end(), '\n'), 1) << said[0].text;
    EXPECT_TRUE(said[0].text.starts_with("Skipped the DAT ")) << said[0].text;
    EXPECT_NE(said[0].text.find("bad.dat: it is not a DAT this reads"), std::string::npos) << said[0].text;
    EXPECT_NE(said[0].text.find("bad.xml: it is XML, but not a DAT"), std::string::npos) << said[0].text;
    EXPECT_EQ(said[1], (RecordedMessage{wrong + "\nThis file is Other Game, in good.dat.", MessageStyle::Critical}));
}

}  // namespace
}  // namespace zelk::test
