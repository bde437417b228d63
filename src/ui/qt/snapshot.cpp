// Draws the window and the icon to PNG files, for the README and the
// desktop menu. Runs without a display on Qt's offscreen platform.
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>

#include "host/recording_host.h"
#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zelkpatcher-snapshot WINDOW.png ICON.png\n");
        return 2;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    zelk::RecordingHost host;
    zelk::ZelkPatchForm form(host);
    form.show();
    QApplication::processEvents();
    const bool window = form.grab().save(QString::fromLocal8Bit(argv[1]), "PNG");
    const bool icon = zelk::AppIcon().pixmap(256, 256).save(QString::fromLocal8Bit(argv[2]), "PNG");
    if (!window || !icon) {
        std::fprintf(stderr, "zelkpatcher-snapshot: cannot write %s\n", window ? argv[2] : argv[1]);
        return 1;
    }
    return 0;
}
