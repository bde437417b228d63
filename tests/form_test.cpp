// The window's logic without a window: the start-up comment and the calls
// each button makes with which field.
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

}  // namespace
}  // namespace zelk::test
