#include <cstdio>
#include <exception>

#include "cli/cli.h"
#include "host/console_host.h"

int main(int argc, char** argv) {
    zelk::PrepareProcess();
    try {
        zelk::ConsoleHost host;
        return host.Finish(zelk::RunCommandLine({argv + 1, argv + argc}, host, stdin, stdout, stderr));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "zelkpatch: %s\n", failure.what());
        return 1;
    }
}
