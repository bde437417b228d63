#include "ui/qt/main_window.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QUrl>

namespace zelk {

namespace {

QString ToQt(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string FromQt(const QString& text) { return text.toStdString(); }

// Shows a busy cursor while an operation runs; message boxes lift it.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// What a field of `role` reads once the local files a drag carries are
// dropped on it: empty when it takes none of them.
QString DroppedText(form::Role role, const QMimeData* data) {
    if (data == nullptr || !data->hasUrls()) return {};
    std::vector<std::string> paths;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) return {};
        paths.push_back(FromQt(url.toLocalFile()));
    }
    return ToQt(form::DroppedText(role, paths));
}

form::Role RoleOf(const QObject* field) {
    const std::size_t index = form::IndexOf(FromQt(field->objectName()));
    return index < form::Controls.size() ? form::Controls[index].role : form::Role::None;
}

}  // namespace

namespace {

// A message box's answer, a busy cursor lifted while the user reads and put
// back afterwards.
QMessageBox::StandardButton Shown(QMessageBox& box) {
    int lifted = 0;
    while (QApplication::overrideCursor() != nullptr) {
        QApplication::restoreOverrideCursor();
        ++lifted;
    }
    box.setTextFormat(Qt::PlainText);
    const auto answer = static_cast<QMessageBox::StandardButton>(box.exec());
    while (lifted-- > 0) QApplication::setOverrideCursor(Qt::WaitCursor);
    return answer;
}

}  // namespace

void QtMessages::ShowMessage(const std::string& text, MessageStyle style) {
    QMessageBox box(style == MessageStyle::Critical ? QMessageBox::Critical : QMessageBox::NoIcon,
                    ToQt(form::MessageTitle), ToQt(text), QMessageBox::Ok, QApplication::activeWindow());
    Shown(box);
}

bool QtMessages::Ask(const std::string& question) {
    QMessageBox box(QMessageBox::Question, ToQt(form::MessageTitle), ToQt(question), QMessageBox::Yes | QMessageBox::No,
                    QApplication::activeWindow());
    box.setDefaultButton(QMessageBox::No);
    return Shown(box) == QMessageBox::Yes;
}

void QtMessages::EndProgram() { QApplication::quit(); }

ZelkPatchForm::ZelkPatchForm(HostServices& host, QWidget* parent) : QWidget(parent), host_(host) {
    setObjectName("ZelkPatchForm");
    setWindowTitle(ToQt(form::Caption));
    setWindowIcon(AppIcon());
    setFixedSize(form::Pixels(form::ClientWidthTwips), form::Pixels(form::ClientHeightTwips));

    for (const form::Control& control : form::Controls) {
        QWidget* widget = Create(control);
        widget->setObjectName(ToQt(control.name));
        widget->setGeometry(form::Pixels(control.left), form::Pixels(control.top), form::Pixels(control.width),
                            form::Pixels(control.height));
    }
    Label1 = findChild<QLabel*>("Label1");
    Label2 = findChild<QLabel*>("Label2");
    Label3 = findChild<QLabel*>("Label3");
    fldOrigRomFile = findChild<QLineEdit*>("fldOrigRomFile");
    fldChgRomFile = findChild<QLineEdit*>("fldChgRomFile");
    fldOutPatchFile = findChild<QLineEdit*>("fldOutPatchFile");
    Command2 = findChild<QPushButton*>("Command2");
    Command3 = findChild<QPushButton*>("Command3");
    btnExit = findChild<QPushButton*>("btnExit");
    fldPatchComment = findChild<QPlainTextEdit*>("fldPatchComment");

    QWidget* previous = nullptr;
    for (const std::string_view name : form::FocusOrder) {
        auto* widget = findChild<QWidget*>(ToQt(name));
        if (previous != nullptr) setTabOrder(previous, widget);
        previous = widget;
    }
    for (QWidget* field : std::initializer_list<QWidget*>{fldOrigRomFile, fldChgRomFile, fldOutPatchFile, fldPatchComment})
        field->installEventFilter(this);

    connect(Command2, &QPushButton::clicked, this, &ZelkPatchForm::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &ZelkPatchForm::Command3_Click);
    connect(btnExit, &QPushButton::clicked, this, &ZelkPatchForm::btnExit_Click);

    FitFont();
    Form_Load();
    findChild<QWidget*>(ToQt(form::FocusOrder.front()))->setFocus();
}

// The form's font, fitted to its captions.
void ZelkPatchForm::FitFont() {
    QFont fitted = font();
    // A desktop may give its font in pixels.
    const double points =
        fitted.pointSizeF() > 0 ? fitted.pointSizeF() : fitted.pixelSize() * 72.0 / std::max(1, logicalDpiY());
    fitted.setPointSizeF(form::FittedFontPoints(points, [&fitted](double size) {
        QFont trial = fitted;
        trial.setPointSizeF(size);
        const QFontMetrics metrics(trial);
        return form::CaptionsFit([&](std::string_view text) { return metrics.horizontalAdvance(ToQt(text)); },
                                 form::Pixels);
    }));
    setFont(fitted);
}

QWidget* ZelkPatchForm::Create(const form::Control& control) {
    const QString text = ToQt(control.text);
    switch (control.kind) {
        case form::ControlKind::Label:
            return new QLabel(text, this);
        case form::ControlKind::LineField:
            return new QLineEdit(text, this);
        case form::ControlKind::Button: {
            auto* button = new QPushButton(text, this);
            // Enter in a field must press nothing.
            button->setAutoDefault(false);
            button->setDefault(false);
            return button;
        }
        case form::ControlKind::CommentField: {
            auto* field = new QPlainTextEdit(text, this);
            field->setLineWrapMode(QPlainTextEdit::NoWrap);
            field->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            field->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            field->setTabChangesFocus(true);
            return field;
        }
    }
    return nullptr;
}

void ZelkPatchForm::Form_Load() {
    const std::string comment = form::ComposeDefaultComment(FromQt(fldOrigRomFile->text()), FromQt(fldChgRomFile->text()));
    // The editor keeps lines apart by itself; CR LF comes back in CurrentFields.
    fldPatchComment->setPlainText(ToQt(comment).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

namespace {

// The comment exactly as typed. toPlainText() would turn a no-break space
// into a plain one and a typed U+2028 into a line break; the blocks' own
// texts keep every character, and only the breaks between blocks are lines.
std::string CommentText(const QPlainTextEdit& field) {
    QString text;
    for (QTextBlock block = field.document()->begin(); block.isValid(); block = block.next()) {
        if (block != field.document()->begin()) text += QStringLiteral("\r\n");
        text += block.text();
    }
    return FromQt(text);
}

}  // namespace

form::Fields ZelkPatchForm::CurrentFields() const {
    return {FromQt(fldOrigRomFile->text()), FromQt(fldChgRomFile->text()), FromQt(fldOutPatchFile->text()),
            CommentText(*fldPatchComment)};
}

void ZelkPatchForm::Command2_Click() {
    const form::Fields fields = CurrentFields();
    BusyCursor busy;
    form::PressMakePatch(host_, fields);
}

void ZelkPatchForm::Command3_Click() {
    const form::Fields fields = CurrentFields();
    BusyCursor busy;
    form::PressApplyPatch(host_, fields);
}

void ZelkPatchForm::btnExit_Click() { form::PressExit(host_); }

bool ZelkPatchForm::eventFilter(QObject* watched, QEvent* event) {
    // Shift+Enter would put an invisible U+2028 into the comment, which the
    // patch's code page cannot hold: every line break the user makes is one.
    if (watched == fldPatchComment && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::InsertLineSeparator)) {
        QTextCursor cursor = fldPatchComment->textCursor();
        cursor.insertBlock();
        fldPatchComment->setTextCursor(cursor);
        return true;
    }
    auto* field = qobject_cast<QLineEdit*>(watched);
    if (field == nullptr) return QWidget::eventFilter(watched, event);
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        auto* drag = static_cast<QDropEvent*>(event);
        if (DroppedText(RoleOf(field), drag->mimeData()).isEmpty()) return QWidget::eventFilter(watched, event);
        drag->acceptProposedAction();
        return true;
    }
    if (event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QString text = DroppedText(RoleOf(field), drop->mimeData());
        if (text.isEmpty()) return QWidget::eventFilter(watched, event);
        field->setText(text);
        drop->acceptProposedAction();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

QPixmap DrawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // A cartridge with a patch on its label.
    QPainterPath body;
    body.addRoundedRect(QRectF(8, 4, 48, 56), 6, 6);
    p.fillPath(body, QColor(0x3B, 0x4A, 0x6B));
    p.fillRect(QRectF(14, 52, 36, 8), QColor(0xC9, 0xA2, 0x27));
    p.fillRect(QRectF(14, 10, 36, 32), QColor(0xF2, 0xEE, 0xE4));
    p.setPen(QPen(QColor(0xB0, 0x2E, 0x26), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(21, 17), QPointF(43, 17), QPointF(21, 35), QPointF(43, 35)}));
    p.end();
    return pixmap;
}

QIcon AppIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) icon.addPixmap(DrawIcon(size));
    return icon;
}

}  // namespace zelk
