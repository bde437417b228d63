// The main window in Qt Widgets, built from the form's description.
#pragma once

#include <QWidget>

#include "host/host_services.h"
#include "host/system_files.h"
#include "ui/form.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace zelk {

// Message boxes in Qt: modal, OK only, the application's title, the error
// icon for critical messages. Text is shown as plain text, never markup:
// patch comments come from anyone.
class QtMessages : public virtual FaceServices {
public:
    void ShowMessage(const std::string& text, MessageStyle style) override;
    bool Ask(const std::string& question) override;
    void EndProgram() override;
};

// The window's host on Linux: the system's files, Qt's message boxes.
class QtHost final : public HostServices, public SystemFiles, public QtMessages {};

class ZelkPatchForm : public QWidget {
    Q_OBJECT

public:
    explicit ZelkPatchForm(HostServices& host, QWidget* parent = nullptr);

    // The four fields as they stand, the comment with CR LF line breaks.
    form::Fields CurrentFields() const;

    QLabel* Label1;
    QLineEdit* fldOrigRomFile;
    QLabel* Label2;
    QLineEdit* fldChgRomFile;
    QLabel* Label3;
    QLineEdit* fldOutPatchFile;
    QPushButton* Command2;
    QPushButton* Command3;
    QPushButton* btnExit;
    QPlainTextEdit* fldPatchComment;

protected:
    // Files dropped from a file manager onto a path field.
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void Command2_Click();
    void Command3_Click();
    void btnExit_Click();

private:
    void Form_Load();
    void FitFont();
    QWidget* Create(const form::Control& control);

    HostServices& host_;
};

// The application's icon, drawn rather than shipped as a file.
QIcon AppIcon();
// The icon drawn at `size` pixels square, from its vector drawing.
QPixmap DrawIcon(int size);

}  // namespace zelk
