#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/about.h"
#include "ui/qt/main_window.h"

namespace {

// Without a display Qt would abort with a terse message; say what to do.
bool HasDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

constexpr const char* kHelp =
    "Usage: zelkpatcher [OPTION]...\n"
    "Open the ZelkPatcher window, which makes and applies ZelkPatch files:\n"
    "byte-level patches between two versions of a ROM (or any file), each\n"
    "carrying a free-text comment. The command line does the same: zelkpatch.\n"
    "\n"
    "Options:\n"
    "  -h, --help       show this help and exit\n"
    "  -V, --version    show the version and the licence, and exit\n";

}  // namespace

int main(int argc, char** argv) {
    zelk::PrepareProcess();
    if (argc > 1) {
        const std::string option = argv[1];
        const bool help = option == "-h" || option == "--help";
        if (argc == 2 && (help || option == "-V" || option == "--version")) {
            std::fputs(help ? kHelp : zelk::VersionText("zelkpatcher").c_str(), stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        // Qt takes its own options (-platform, -style, ...); anything else is a mistake.
        if (option.rfind("-", 0) != 0) {
            std::fprintf(stderr, "zelkpatcher: takes no file names\nTry 'zelkpatcher --help' for more information.\n");
            return 2;
        }
    }
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "zelkpatcher: there is no display to open the window on (DISPLAY and WAYLAND_DISPLAY are "
                     "not set).\nStart it from a desktop session, or use the command-line tool zelkpatch.\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(zelk::form::MessageTitle.data(), static_cast<qsizetype>(zelk::form::MessageTitle.size())));
    QApplication::setWindowIcon(zelk::AppIcon());
    zelk::QtHost host;
    zelk::ZelkPatchForm form(host);
    form.show();
    return QApplication::exec();
}
