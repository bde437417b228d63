// The Qt window on the offscreen platform, driven as a user would.
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "engine/user_texts.h"
#include "test_support.h"
#include "ui/form.h"
#include "ui/qt/main_window.h"

namespace zelk::test {
namespace {

// Remembers whether the busy cursor was up while the engine looked for files.
class CursorWatchingHost : public RecordingHost {
public:
    std::optional<std::string> InputProblem(const std::string& path) override {
        const QCursor* cursor = QApplication::overrideCursor();
        busyDuringWork = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
        return RecordingHost::InputProblem(path);
    }
    bool busyDuringWork = false;
};

class WindowTest : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        window_ = std::make_unique<ZelkPatchForm>(host_);
        window_->show();
        QApplication::setActiveWindow(window_.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }
    void TearDown() override {
        window_.reset();
        FileTest::TearDown();
    }
    QWidget* Child(const char* name) { return window_->findChild<QWidget*>(name); }

    // Makes a patch as the engine does, its message recorded.
    Outcome RunMake(const std::string& a, const std::string& b, const std::string& patch) {
        return form::PressMakePatch(host_, {a, b, patch, ""});
    }

    CursorWatchingHost host_;
    std::unique_ptr<ZelkPatchForm> window_;
};

TEST_F(WindowTest, ControlsHaveTheirDesignedTextsAndPixels) {
    EXPECT_EQ(window_->windowTitle(), "ZelkPatcher v1.0 beta");
    EXPECT_EQ(window_->size(), QSize(457, 208));
    EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
    struct Expected {
        const char* name;
        QString text;
        QRect geometry;
    };
    const Expected expected[] = {
        {"Label1", "Original ROM file", {8, 8, 137, 17}},
        {"fldOrigRomFile", "D:\\TEMP\\a\\test.rom", {152, 8, 297, 19}},
        {"Label2", "Changed /Output ROM file", {8, 32, 137, 17}},
        {"fldChgRomFile", "D:\\TEMP\\a\\test1.rom", {152, 32, 297, 19}},
        {"Label3", "Output Patch file", {8, 56, 137, 17}},
        {"fldOutPatchFile", "D:\\TEMP\\a\\ppp.ppp", {152, 56, 297, 19}},
        {"Command2", "Make Patch", {152, 80, 81, 25}},
        {"Command3", "Apply Patch", {248, 80, 81, 25}},
        {"btnExit", "Exit", {352, 80, 81, 25}},
        {"fldPatchComment", {}, {8, 112, 441, 89}},
    };
    for (const Expected& e : expected) {
        QWidget* widget = Child(e.name);
        ASSERT_NE(widget, nullptr) << e.name;
        EXPECT_EQ(widget->geometry(), e.geometry) << e.name;
        QString text;
        if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
        if (auto* field = qobject_cast<QLineEdit*>(widget)) text = field->text();
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            text = button->text();
            EXPECT_FALSE(button->isDefault() || button->autoDefault()) << e.name;
        }
        if (!e.text.isEmpty()) {
            EXPECT_EQ(text, e.text) << e.name;
        }
        EXPECT_FALSE(text.contains('&')) << e.name;
    }
    EXPECT_EQ(window_->fldOrigRomFile, Child("fldOrigRomFile"));
    EXPECT_EQ(window_->btnExit, Child("btnExit"));
    // Every caption is readable in the font chosen.
    for (QLabel* label : {window_->Label1, window_->Label2, window_->Label3})
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
}

TEST_F(WindowTest, CommentFieldIsComposedAndScrollsWithoutWrapping) {
    QPlainTextEdit* comment = window_->fldPatchComment;
    EXPECT_EQ(comment->toPlainText(), "Коментарий к патчу сделанному из \nD:\\TEMP\\a\\test.rom и \nD:\\TEMP\\a\\test1.rom");
    EXPECT_EQ(window_->CurrentFields().patchComment,
              "Коментарий к патчу сделанному из \r\nD:\\TEMP\\a\\test.rom и \r\nD:\\TEMP\\a\\test1.rom");
    EXPECT_EQ(comment->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(comment->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(comment->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // Later edits of the paths leave the comment alone.
    window_->fldOrigRomFile->setText("other");
    EXPECT_TRUE(comment->toPlainText().contains("test.rom"));
}

TEST_F(WindowTest, TabWalksTheDesignedOrderThroughTheCommentField) {
    EXPECT_EQ(QApplication::focusWidget(), window_->fldOrigRomFile);
    const QString before = window_->fldPatchComment->toPlainText();
    const std::vector<const char*> order = {"fldChgRomFile", "Command2", "fldOutPatchFile", "Command3",
                                            "fldPatchComment", "btnExit", "fldOrigRomFile"};
    for (const char* name : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), name);
    }
    EXPECT_EQ(window_->fldPatchComment->toPlainText(), before);
}

TEST_F(WindowTest, EnterInAFieldPressesNothing) {
    for (QWidget* field : {static_cast<QWidget*>(window_->fldOrigRomFile), static_cast<QWidget*>(window_->fldChgRomFile),
                           static_cast<QWidget*>(window_->fldOutPatchFile)}) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_Return);
        QTest::keyClick(field, Qt::Key_Enter);
    }
    EXPECT_TRUE(host_.messages.empty());
    EXPECT_FALSE(host_.ended);
}

TEST_F(WindowTest, MakeThenApplyThroughTheButtons) {
    const Bytes original = Random(5000, 9);
    Bytes changed = original;
    changed[10] ^= 1;
    changed.push_back(3);
    window_->fldOrigRomFile->setText(QString::fromStdString(Write("a.rom", original)));
    window_->fldChgRomFile->setText(QString::fromStdString(Write("b.rom", changed)));
    window_->fldOutPatchFile->setText(QString::fromStdString(Path("p.ppp")));
    window_->fldPatchComment->setPlainText("Привет\nмир");
    QTest::mouseClick(window_->Command2, Qt::LeftButton);
    EXPECT_EQ(host_.messages, std::vector{Plain("Done ZelkPatch generation!")});
    EXPECT_TRUE(host_.busyDuringWork);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    host_.messages.clear();
    window_->fldChgRomFile->setText(QString::fromStdString(Path("rebuilt.rom")));
    QTest::mouseClick(window_->Command3, Qt::LeftButton);
    EXPECT_EQ(host_.messages, (std::vector{Plain("Привет\r\nмир"), Plain("Done applying ZelkPatch! ")}));
    EXPECT_EQ(Read("rebuilt.rom"), changed);

    QTest::mouseClick(window_->btnExit, Qt::LeftButton);
    EXPECT_TRUE(host_.ended);
}

// Types `text` into `widget` as a keyboard would, one character a key.
void Type(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QApplication::sendEvent(widget, &release);
    }
}

TEST_F(WindowTest, TheCommentReachesThePatchExactlyAsTyped) {
    QPlainTextEdit* comment = window_->fldPatchComment;
    comment->clear();
    comment->setFocus();
    // No-break space, soft hyphen, U+2028, Cyrillic; a tab can only be pasted.
    Type(comment, QString::fromUtf8("a\u00A0b\u00ADc\u2028d я"));
    comment->insertPlainText("\t");
    QTest::keyClick(comment, Qt::Key_Return);
    Type(comment, "e");
    QTest::keyClick(comment, Qt::Key_Return, Qt::ShiftModifier);  // a line break too, not a hidden U+2028
    Type(comment, "f");
    const std::string typed = "a\u00A0b\u00ADc\u2028d я\t\r\ne\r\nf";
    EXPECT_EQ(window_->CurrentFields().patchComment, typed);

    window_->fldOrigRomFile->setText(QString::fromStdString(Write("a.rom", {1})));
    window_->fldChgRomFile->setText(QString::fromStdString(Write("b.rom", {2})));
    window_->fldOutPatchFile->setText(QString::fromStdString(Path("p.ppp")));
    QTest::mouseClick(window_->Command2, Qt::LeftButton);
    // U+2028 alone has no place in the code page: it reads as "?", and the user is told.
    ASSERT_EQ(host_.messages, (std::vector{Plain(text::LostCharacters("U+2028")), Plain("Done ZelkPatch generation!")}));
    EXPECT_EQ(Read("p.ppp"), PatchBytes({{0, {2}}}, "a\xA0" "b\xAD" "c?d \xFF\t\r\ne\r\nf"));
}

TEST_F(WindowTest, DroppingAFileOnAPathFieldPutsItsPathThere) {
    const std::string path = Write("dropped.rom", {1});
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_->fldChgRomFile, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_->fldChgRomFile, &drop);
    EXPECT_EQ(window_->fldChgRomFile->text().toStdString(), path);
    EXPECT_EQ(window_->fldOrigRomFile->text(), "D:\\TEMP\\a\\test.rom");
}

// A drop of `paths` on `field`: whether it was taken.
bool Drop(QWidget* field, const std::vector<std::string>& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& path : paths) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(path)));
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(field, &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(field, &drop);
    return enter.isAccepted();
}

TEST_F(WindowTest, SeveralPatchesDroppedOnThePatchFieldApplyInOrderByKeyboard) {
    const Bytes c = WriteThreeVersions();
    ASSERT_EQ(RunMake(Path("a.rom"), Path("b.rom"), Path("1.bps")), Outcome::Done);
    ASSERT_EQ(RunMake(Path("b.rom"), Path("c.rom"), Path("2.ips")), Outcome::Done);
    Write("1.zip", MakeArchive(Kind::ZipDeflated, {{"readme.txt", Text("read me")}, {"hack/1.bps", Read("1.bps")}}));
    host_.messages.clear();
    EXPECT_FALSE(Drop(window_->fldOrigRomFile, {Path("1.zip"), Path("2.ips")}));
    EXPECT_EQ(window_->fldOrigRomFile->text(), "D:\\TEMP\\a\\test.rom");
    EXPECT_TRUE(Drop(window_->fldOutPatchFile, {Path("1.zip"), Path("2.ips")}));
    EXPECT_EQ(window_->fldOutPatchFile->text().toStdString(), form::PatchFieldText({Path("1.zip"), Path("2.ips")}));
    window_->fldOrigRomFile->setText(QString::fromStdString(Path("a.rom")));
    window_->fldChgRomFile->setText(QString::fromStdString(Path("out.rom")));
    window_->Command3->setFocus();
    QTest::keyClick(window_->Command3, Qt::Key_Space);
    EXPECT_EQ(host_.messages, std::vector{Plain("Done applying 2 patches!")});
    EXPECT_EQ(Read("out.rom"), c);
}

// What a Qt message box showed, read while it is open, then closed with OK.
struct SeenBox {
    bool seen = false;
    QMessageBox::Icon icon{};
    QString title, text;
    QMessageBox::StandardButtons buttons;
    Qt::TextFormat format{};
};

SeenBox ShowAndRead(const std::string& text, MessageStyle style) {
    SeenBox box;
    QTimer::singleShot(0, [&box] {
        auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (shown == nullptr) return;
        box = {true, shown->icon(), shown->windowTitle(), shown->text(), shown->standardButtons(), shown->textFormat()};
        QTest::mouseClick(shown->button(QMessageBox::Ok), Qt::LeftButton);
    });
    QtHost host;
    host.ShowMessage(text, style);
    return box;
}

TEST(QtMessageBox, ModalOkOnlyWithTheApplicationTitle) {
    const SeenBox critical = ShowAndRead("нету файла x.rom", MessageStyle::Critical);
    ASSERT_TRUE(critical.seen);
    EXPECT_EQ(critical.icon, QMessageBox::Critical);
    EXPECT_EQ(critical.title, "ZelkPatcher");
    EXPECT_EQ(critical.text, "нету файла x.rom");
    EXPECT_EQ(critical.buttons, QMessageBox::Ok);

    const SeenBox plain = ShowAndRead("<b>comment</b>\r\nline", MessageStyle::Plain);
    ASSERT_TRUE(plain.seen);
    EXPECT_EQ(plain.icon, QMessageBox::NoIcon);
    EXPECT_EQ(plain.format, Qt::PlainText);  // a comment is never markup
    EXPECT_EQ(plain.buttons, QMessageBox::Ok);
}

}  // namespace
}  // namespace zelk::test

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName("ZelkPatcher");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
