// zelkpatch with buffer sizes and flushing chosen on the command line, so
// the benchmark can draw the curve that the built-in choice rests on and
// show what the flush to disk costs.
// Usage: zelk-bench-run SCAN_KIB STREAM_KIB sync|nosync ZELKPATCH_ARGS...
// (0 0 for the sizes the program chooses), or zelk-bench-run sizes.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/cli.h"
#include "host/console_host.h"

namespace {

class BenchHost : public zelk::ConsoleHost {
public:
    explicit BenchHost(bool flush) : flush_(flush) {}
    int FlushToDisk(NativeFile file) override { return flush_ ? ConsoleHost::FlushToDisk(file) : 0; }

private:
    bool flush_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "sizes") {
        const zelk::BufferSizes chosen = BenchHost(true).Buffers();
        std::printf("%zu %zu\n", chosen.scan / 1024, chosen.stream / 1024);
        return 0;
    }
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s SCAN_KIB STREAM_KIB sync|nosync ZELKPATCH_ARGS...\n", argv[0]);
        return 2;
    }
    zelk::PrepareProcess();
    BenchHost host(std::string(argv[3]) == "sync");
    const zelk::BufferSizes sizes{std::strtoul(argv[1], nullptr, 10) * 1024, std::strtoul(argv[2], nullptr, 10) * 1024};
    if (sizes.scan != 0 && sizes.stream != 0) host.buffers = sizes;
    return host.Finish(zelk::RunCommandLine({argv + 4, argv + argc}, host, stdin, stdout, stderr));
}
