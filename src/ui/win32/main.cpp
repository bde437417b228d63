// zelkpatcher.exe: the ZelkPatcher window.
#include "ui/win32/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    zelk::PrepareProcess();
    zelk::Win32Host host;
    return zelk::RunMainWindow(host, instance, show);
}
