// Draws the window and the icon to PNG files, for the README and the
// desktop menu, or the icon alone at any size (the web app's icons). Runs
// without a display on Qt's offscreen platform.
#include <QApplication>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/recording_host.h"
#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
    const bool iconOnly = argc == 4 && std::string(argv[1]) == "--icon";
    if (argc != 3 && !iconOnly) {
        std::fprintf(stderr, "usage: zelkpatcher-snapshot WINDOW.png ICON.png\n"
                             "       zelkpatcher-snapshot --icon SIZE ICON.png\n");
        return 2;
    }
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (iconOnly) {
        const int size = std::atoi(argv[2]);
        if (size > 0 && size <= 4096 && zelk::DrawIcon(size).save(QString::fromLocal8Bit(argv[3]), "PNG")) return 0;
        std::fprintf(stderr, "zelkpatcher-snapshot: cannot write %s\n", argv[3]);
        return 1;
    }
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
