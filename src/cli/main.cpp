#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "host/console_host.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "host/win32_text.h"
#endif

namespace {

int Run(const std::vector<std::string>& args) {
    zelk::PrepareProcess();
    try {
        zelk::ConsoleHost host;
        return host.Finish(zelk::RunCommandLine(args, host, stdin, stderr));
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "zelkpatch: %s\n", zelk::FailureText(failure).c_str());
        return 1;
    }
}

}  // namespace

#ifdef _WIN32
// Arguments arrive as UTF-16, so any file name works; inside they are UTF-8.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(zelk::ToUtf8(argv[i]));
    // A comment read from standard input keeps its bytes.
    _setmode(_fileno(stdin), _O_BINARY);
    return Run(args);
}
#else
int main(int argc, char** argv) { return Run({argv + 1, argv + argc}); }
#endif
