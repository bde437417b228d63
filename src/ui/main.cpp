#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "ui/main_window.h"

namespace {

// Without a display Qt would abort with a terse message; say what to do.
bool HasDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    zelk::PrepareProcess();
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "zelkpatcher: there is no display to open the window on (DISPLAY and WAYLAND_DISPLAY are "
                     "not set).\nStart it from a desktop session, or use the command-line tool zelkpatch.\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(zelk::ApplicationTitle);
    QApplication::setWindowIcon(zelk::AppIcon());
    zelk::QtHost host;
    zelk::ZelkPatchForm form(host);
    form.show();
    return QApplication::exec();
}
